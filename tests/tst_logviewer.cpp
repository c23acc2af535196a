#include <QtTest>

class Tst_logviewer : public QObject
{
    Q_OBJECT
};

QTEST_MAIN(Tst_logviewer)
#include "tst_logviewer.moc"
