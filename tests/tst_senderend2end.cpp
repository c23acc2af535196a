#include <QtTest>

class Tst_senderend2end : public QObject
{
    Q_OBJECT
};

QTEST_MAIN(Tst_senderend2end)
#include "tst_senderend2end.moc"
