#include <QtTest>

class Tst_logging : public QObject
{
    Q_OBJECT
};

QTEST_MAIN(Tst_logging)
#include "tst_logging.moc"
