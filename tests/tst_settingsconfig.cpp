#include <QtTest>

class Tst_settingsconfig : public QObject
{
    Q_OBJECT
};

QTEST_MAIN(Tst_settingsconfig)
#include "tst_settingsconfig.moc"
