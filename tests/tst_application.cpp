#include <QtTest>

class Tst_application : public QObject
{
    Q_OBJECT
};

QTEST_MAIN(Tst_application)
#include "tst_application.moc"
