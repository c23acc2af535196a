#include "manager/testmanagerconfig.h"

TestManagerConfig::TestManagerConfig(QWidget* parent) : QWidget(parent)
{
    setObjectName(QStringLiteral("TestManagerConfig"));
}

