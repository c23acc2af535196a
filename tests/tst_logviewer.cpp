#include "core/common.h"
#include "core/delaymonitor.h"
#include "core/logging.h"
#include "core/logviewer.h"

#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTextBrowser>
#include <QtTest>

class Tst_LogViewer : public QObject
{
    Q_OBJECT

    struct Form
    {
        LogViewer viewer;
        QLineEdit* count = viewer.findChild<QLineEdit*>(QStringLiteral("maxRecordsCount"));
        QTextBrowser* display = viewer.findChild<QTextBrowser*>(QStringLiteral("logTextDisplay"));
        QPushButton* refresh = viewer.findChild<QPushButton*>(QStringLiteral("refreshButton"));

        QStringList refreshedLines(const QString& countText)
        {
            count->setText(countText);
            QTest::mouseClick(refresh, Qt::LeftButton);
            QStringList lines = display->toPlainText().split(QLatin1Char('\n'));
            if (lines.last().isEmpty()) // the text ends with a line break
                lines.removeLast();
            return lines;
        }
    };

private slots:
    void initTestCase()
    {
        InitializeCommonModule();
        InitializeLoggingModule();
    }

    void formAsBuilt()
    {
        Form form;
        QCOMPARE(form.viewer.objectName(), QStringLiteral("LogViewer"));
        QCOMPARE(form.refresh->text(), QStringLiteral("refresh"));
        QCOMPARE(form.viewer.findChild<QLabel*>(QStringLiteral("label_2"))->text(),
                 QStringLiteral("max records count:"));
        QCOMPARE(form.count->text(), QStringLiteral("1000"));
        QVERIFY(form.display->isReadOnly());
        QVERIFY(form.display->toPlainText().isEmpty());
    }

    void noRecordsForUnusableCounts_data()
    {
        QTest::addColumn<QString>("countText");
        QTest::newRow("zero") << "0";
        QTest::newRow("negative") << "-5";
        QTest::newRow("not a number") << "many";
    }
    void noRecordsForUnusableCounts()
    {
        QFETCH(QString, countText);
        TRACE_TEXT(ModuleGUI, TraceLevelNotable, "a notable record");
        DelayMonitor monitor(DelayMonitorActions::UDPRX_processing);
        Form form;
        const QStringList lines = form.refreshedLines(countText);
        QCOMPARE(lines.size(), 2);
        QVERIFY2(lines.at(0).startsWith(QStringLiteral("delays: UDPRX_processing: 0ms at ")),
                 qPrintable(lines.at(0)));
        QCOMPARE(lines.at(1), QString(82, QLatin1Char('=')));
    }

    void showsNotableRecordsNewestFirst()
    {
        TRACE_TEXT(ModuleGUI, TraceLevelRoutine, "routine record");
        TRACE_TEXT(ModuleGUI, TraceLevelNotable, "older notable");
        TRACE_TEXT(ModuleManagerC, TraceLevelError, "newest error <request>");
        Form form;
        const QStringList lines = form.refreshedLines(QStringLiteral("2"));
        QCOMPARE(lines.size(), 4);
        QVERIFY2(lines.at(2).contains(QStringLiteral("ManagerC] newest error <request> @")),
                 qPrintable(lines.at(2)));
        QVERIFY2(lines.at(3).contains(QStringLiteral("GUI] older notable @")), qPrintable(lines.at(3)));
        QVERIFY(!form.display->toPlainText().contains(QStringLiteral("routine record")));
    }

    void largeCountIsCapped()
    {
        for (int i = 0; i < TraceRingSize + 100; ++i)
            TRACE_TEXT(ModuleUDPRX, TraceLevelNotable, "filler");
        Form form;
        const QStringList lines = form.refreshedLines(QStringLiteral("100000"));
        QCOMPARE(lines.size() - 2, TraceListingMaxCount);
    }
};

QTEST_MAIN(Tst_LogViewer)
#include "tst_logviewer.moc"
