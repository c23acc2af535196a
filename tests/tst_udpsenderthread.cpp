#include <QtTest>

class Tst_udpsenderthread : public QObject
{
    Q_OBJECT
};

QTEST_MAIN(Tst_udpsenderthread)
#include "tst_udpsenderthread.moc"
