#include <QtTest>

class Tst_settings : public QObject
{
    Q_OBJECT
};

QTEST_MAIN(Tst_settings)
#include "tst_settings.moc"
