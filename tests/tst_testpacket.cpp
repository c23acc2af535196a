#include <QtTest>

class Tst_testpacket : public QObject
{
    Q_OBJECT
};

QTEST_MAIN(Tst_testpacket)
#include "tst_testpacket.moc"
