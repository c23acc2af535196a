#include <QtTest>

class Tst_mainwindow : public QObject
{
    Q_OBJECT
};

QTEST_MAIN(Tst_mainwindow)
#include "tst_mainwindow.moc"
