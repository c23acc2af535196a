#include <QtTest>

class Tst_crashhandler : public QObject
{
    Q_OBJECT
};

QTEST_MAIN(Tst_crashhandler)
#include "tst_crashhandler.moc"
