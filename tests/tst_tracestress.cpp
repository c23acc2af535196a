#include <QtTest>

class Tst_tracestress : public QObject
{
    Q_OBJECT
};

QTEST_MAIN(Tst_tracestress)
#include "tst_tracestress.moc"
