#include <QtTest>

class Tst_common : public QObject
{
    Q_OBJECT
};

QTEST_MAIN(Tst_common)
#include "tst_common.moc"
