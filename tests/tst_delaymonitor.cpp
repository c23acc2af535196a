#include <QtTest>

class Tst_delaymonitor : public QObject
{
    Q_OBJECT
};

QTEST_MAIN(Tst_delaymonitor)
#include "tst_delaymonitor.moc"
