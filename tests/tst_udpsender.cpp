#include <QtTest>

class Tst_udpsender : public QObject
{
    Q_OBJECT
};

QTEST_MAIN(Tst_udpsender)
#include "tst_udpsender.moc"
