#include "core/application.h"
#include "core/common.h"
#include "core/logging.h"
#include "core/mainwindow.h"
#include "manager/managerconnection.h"
#include "grab.h"

#include <QLabel>
#include <QLayout>
#include <QTabWidget>
#include <QTimer>
#include <QtTest>

namespace {
QList<QByteArray> uxTexts;
void CaptureUx(const char* text)
{
    uxTexts.append(QByteArray(text));
}

} // namespace

class Tst_MainWindow : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        InitializeCommonModule();
        InitializeLoggingModule();
        InitializeManagerConnection();
        SetUxTrackerSink(CaptureUx);
    }
    void cleanupTestCase()
    {
        SetUxTrackerSink(nullptr);
        DeinitializeManagerConnection();
    }
    void init()
    {
        managerConnection->authTokenForFileName.clear();
        managerConnection->minimalGuiStatusText.clear();
        uxTexts.clear();
    }

    void normalModeHasFiveTabsInOrder()
    {
        MainWindow window;
        auto* tabs = window.findChild<QTabWidget*>(QStringLiteral("tabWidget"));
        QVERIFY(tabs);
        const QStringList captions{"UDP Sender", "UDP Receiver", "Settings", "Test manager",
                                   "System log"};
        const QStringList pages{"udpSenderTab", "udpReceiverTab", "settingsTab",
                                "managerConnectionTab", "loggingTab"};
        QCOMPARE(tabs->count(), captions.size());
        for (int i = 0; i < tabs->count(); ++i) {
            QCOMPARE(tabs->tabText(i), captions.at(i));
            QCOMPARE(tabs->widget(i)->objectName(), pages.at(i));
            QCOMPARE(tabs->widget(i)->layout()->count(), 1);
        }
        QCOMPARE(tabs->currentIndex(), 0);
        QCOMPARE(window.size(), QSize(815, 561));
        QCOMPARE(window.windowTitle(), QStringLiteral("Norvastelle Ravidad Irerod"));
        QCOMPARE(window.locale(), QLocale(QLocale::English, QLocale::UnitedStates));
        window.show();
        QVERIFY(!window.findChild<QLabel*>(QStringLiteral("minimalGuiStatus"))->isVisible());
        GrabIfAsked(&window, QStringLiteral("mainwindow-sender"));
        tabs->setCurrentIndex(2);
        GrabIfAsked(&window, QStringLiteral("mainwindow-settings"));
    }

    void titleCarriesBuildDate()
    {
        QCOMPARE(MainWindowTitle(QStringLiteral("Norvastelle Ravidad Irerod")),
                 QStringLiteral("Norvastelle Ravidad Irerod (%1)").arg(CompiledAt()));
    }

    void iconHoldsThreeSizes()
    {
        MainWindow window;
        const QList<QSize> sizes = window.windowIcon().availableSizes();
        QVERIFY2(sizes.contains(QSize(32, 32)) && sizes.contains(QSize(48, 48)) &&
                     sizes.contains(QSize(128, 128)),
                 qPrintable(QStringLiteral("icon sizes: %1").arg(sizes.size())));
    }

    void tokenSelectsMinimalMode()
    {
        managerConnection->authTokenForFileName = QStringLiteral("abc123");
        MainWindow window;
        window.show();
        auto* tabs = window.findChild<QTabWidget*>(QStringLiteral("tabWidget"));
        QCOMPARE(tabs->count(), 1);
        QCOMPARE(tabs->tabText(0), QStringLiteral("System log"));
        QVERIFY(window.findChild<QLabel*>(QStringLiteral("minimalGuiStatus"))->isVisible());
        QCOMPARE(window.size(), QSize(450, 190));
        managerConnection->minimalGuiStatusText = QStringLiteral("Agent 7: running");
        window.ManagerConnectionOnTimer1S();
        GrabIfAsked(&window, QStringLiteral("mainwindow-minimal"));
    }

    // The 1 s tick copies the manager connection's status text, visible label or not.
    void tickCopiesStatusText()
    {
        MainWindow window;
        auto* label = window.findChild<QLabel*>(QStringLiteral("minimalGuiStatus"));
        managerConnection->minimalGuiStatusText = QStringLiteral("Agent 7: running");
        QTRY_COMPARE_WITH_TIMEOUT(label->text(), QStringLiteral("Agent 7: running"), 3000);

        bool hasTickTimer = false;
        for (QTimer* timer : window.findChildren<QTimer*>())
            hasTickTimer |= timer->interval() == 1000 && timer->isActive() && !timer->isSingleShot();
        QVERIFY(hasTickTimer);
    }

    void usageReportMessage()
    {
        MainWindow window;
        window.ReportUX();
        QCOMPARE(uxTexts.size(), 1);
        const int minutes = static_cast<int>(TimeSinceStartMs() * 0.001) / 60;
        // Both status parts are empty while nothing runs: the message ends in two blanks.
        QCOMPARE(QString::fromLocal8Bit(uxTexts.first()),
                 QStringLiteral("running, %1 minutes. version: %2 (Linux).  ")
                     .arg(minutes)
                     .arg(CompiledAt()));
    }

    void exceptionFromWindowGivesMinusOne()
    {
        const int result = RunMainWindow([]() -> QWidget* {
            throw std::runtime_error("window could not be built");
        });
        QCOMPARE(result, -1);
        const QString listing = GetRecentTrace(50, TraceLevelError);
        QVERIFY2(listing.contains(QStringLiteral("GUI] window could not be built @")),
                 qPrintable(listing));
    }
};

QTEST_MAIN(Tst_MainWindow)
#include "tst_mainwindow.moc"
