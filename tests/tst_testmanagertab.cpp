#include "core/common.h"
#include "core/logging.h"
#include "core/mainwindow.h"
#include "manager/cryptoprocedures.h"
#include "manager/feedbackdialog.h"
#include "manager/managerconnection.h"
#include "manager/testmanagerconfig.h"
#include "settings/settings.h"
#include "grab.h"

#include <QCheckBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTextBrowser>
#include <QtTest>

#include "widgets.h"

namespace {

// Clicks a button of the next modal dialog once it is up. It looks for 5 s at most, so that
// a dialog shown where none should be cannot hang the test, and one that never shows is seen.
class ModalClicker
{
public:
    explicit ModalClicker(const char* buttonName) : buttonName(buttonName)
    {
        timer.setInterval(10);
        QObject::connect(&timer, &QTimer::timeout, [this] { poll(); });
        timer.start();
    }
    bool seen = false;
    QString seenText;

private:
    void poll()
    {
        if (QWidget* modal = QApplication::activeModalWidget()) {
            seen = true;
            timer.stop();
            // Without a name: the message box's only button.
            QPushButton* button = buttonName ? Child<QPushButton>(modal, buttonName)
                                             : modal->findChild<QPushButton*>();
            seenText = modal->findChild<QLabel*>(QStringLiteral("qt_msgbox_label"))
                           ? modal->findChild<QLabel*>(QStringLiteral("qt_msgbox_label"))->text()
                           : QString();
            QTest::mouseClick(button, Qt::LeftButton);
        } else if (++attempts > 500) {
            timer.stop();
        }
    }
    const char* buttonName;
    QTimer timer;
    int attempts = 0;
};

} // namespace

// The test manager tab and the feedback dialog, under the offscreen platform.
class Tst_TestManagerTab : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        InitializeCommonModule();
        InitializeLoggingModule();
        QFile::remove(GetSettingsFileName());
        InitializeSettings();
        InitializeManagerConnection();
    }
    void cleanupTestCase()
    {
        DeinitializeManagerConnection();
        QFile::remove(GetSettingsFileName());
    }
    void init() { managerConnection->authTokenForFileName.clear(); }

    void tokenLocksThePage()
    {
        managerConnection->authTokenForFileName = QStringLiteral("T0KEN");
        TestManagerConfig page;
        auto* enable = Child<QCheckBox>(&page, "enableConnection");
        QVERIFY(enable->isChecked() && !enable->isEnabled());
        QCOMPARE(Child<QLineEdit>(&page, "fileNameAuthToken")->text(), QStringLiteral("T0KEN"));
        QVERIFY(!Child<QLineEdit>(&page, "fileNameAuthToken")->isEnabled());
        for (const char* name : {"userId", "password", "userDefinedAgentId"})
            QVERIFY2(!Child<QLineEdit>(&page, name)->isEnabled(), name);
        QVERIFY(!Child<QPushButton>(&page, "apply")->isEnabled());
    }

    void linksPointAtTheManagerHost_data()
    {
        QTest::addColumn<QString>("label");
        QTest::addColumn<QString>("url");
        QTest::newRow("register") << "label" << "http://" + DefaultManagerHost() + "/SignUp234.aspx";
        QTest::newRow("site") << "label_7" << "http://" + DefaultManagerHost();
        QTest::newRow("forgot") << "label_8" << "http://" + DefaultManagerHost() + "/ForgotPassword.aspx";
    }
    void linksPointAtTheManagerHost()
    {
        QFETCH(QString, label);
        QFETCH(QString, url);
        TestManagerConfig page;
        auto* link = page.findChild<QLabel*>(label);
        QVERIFY(link->text().contains(QStringLiteral("href=\"%1\"").arg(url)));
        QVERIFY(link->openExternalLinks());
    }

    void applyStoresAndPageShowsItAgain()
    {
        {
            TestManagerConfig page;
            Child<QCheckBox>(&page, "enableConnection")->setChecked(true);
            Child<QLineEdit>(&page, "userId")->setText(QStringLiteral("alice"));
            Child<QLineEdit>(&page, "password")->setText(QStringLiteral("it's & <secret>"));
            Child<QLineEdit>(&page, "userDefinedAgentId")->setText(QStringLiteral("lab-1"));
            QTest::mouseClick(Child<QPushButton>(&page, "apply"), Qt::LeftButton);
        }
        QCOMPARE(GetSettingsStringValue(TestManager_UserId), QStringLiteral("alice"));
        QCOMPARE(GetSettingsStringValue(TestManager_Password),
                 QString::fromStdString(E3_base64("it's & <secret>")));
        QCOMPARE(GetSettingsInt32Value(TestManager_DisableConnection), 0);
        TestManagerConfig again;
        QCOMPARE(Child<QLineEdit>(&again, "password")->text(), QStringLiteral("it's & <secret>"));
        again.DisplayStatus();
        again.resize(800, 520);
        GrabIfAsked(&again, QStringLiteral("testmanagertab"));
        QCOMPARE(Child<QLineEdit>(&again, "userDefinedAgentId")->text(), QStringLiteral("lab-1"));
        QVERIFY(Child<QCheckBox>(&again, "enableConnection")->isChecked());
        // The login ping carries the password escaped for XML.
        QVERIFY(managerConnection->BuildLoginPing().find("Password='it&apos;s &amp; &lt;secret&gt;'") !=
                std::string::npos);
    }

    void disablingShowsInStatus()
    {
        TestManagerConfig page;
        Child<QCheckBox>(&page, "enableConnection")->setChecked(false);
        QTest::mouseClick(Child<QPushButton>(&page, "apply"), Qt::LeftButton);
        QCOMPARE(GetSettingsInt32Value(TestManager_DisableConnection), 1);
        QTRY_COMPARE_WITH_TIMEOUT(Child<QTextBrowser>(&page, "status")->toPlainText(),
                                  QStringLiteral("disabled"), 3000);
        managerConnection->setEnabled(true);
    }

    void emptyPasswordMeansNoAuthentication()
    {
        TestManagerConfig page;
        Child<QCheckBox>(&page, "enableConnection")->setChecked(true);
        Child<QLineEdit>(&page, "password")->clear();
        QTest::mouseClick(Child<QPushButton>(&page, "apply"), Qt::LeftButton);
        QCOMPARE(GetSettingsStringValue(TestManager_Password), QString());
        managerConnection->OnTimer1S();
        page.DisplayStatus();
        QCOMPARE(Child<QTextBrowser>(&page, "status")->toPlainText(),
                 QStringLiteral("no authentication info to connect"));
    }

    // A damaged stored password must not stop the agent: empty field, error records, no ping.
    void damagedPasswordIsReportedAndMended()
    {
        SaveSettingsValue(TestManager_UserId, QStringLiteral("alice"));
        SaveSettingsValue(TestManager_Password, QStringLiteral("bm90IHNlYWxlZA==")); // "not sealed"
        TRACE_TEXT(ModuleGUI, TraceLevelError, "marker");
        TestManagerConfig page;
        QCOMPARE(Child<QLineEdit>(&page, "password")->text(), QString());
        QVERIFY2(GetRecentTrace(1, TraceLevelError).contains(QStringLiteral("stored test manager password cannot be read")),
                 qPrintable(GetRecentTrace(1, TraceLevelError)));

        TRACE_TEXT(ModuleGUI, TraceLevelError, "marker");
        managerConnection->OnTimer1S();
        QVERIFY(GetRecentTrace(1, TraceLevelError).contains(QStringLiteral("ManagerC]")));
        QVERIFY(!GetRecentTrace(30, TraceLevelNotable).contains(QStringLiteral("sending signal to server")));

        Child<QLineEdit>(&page, "password")->setText(QStringLiteral("fresh"));
        QTest::mouseClick(Child<QPushButton>(&page, "apply"), Qt::LeftButton);
        QVERIFY(managerConnection->BuildLoginPing().find("Password='fresh'") != std::string::npos);
    }

    void feedbackDialogForm()
    {
        FeedbackDialog dialog;
        QCOMPARE(dialog.windowTitle(), QStringLiteral("Norvastelle Ravidad Irerod Feedback"));
        QCOMPARE(QString::fromLatin1(dialog.SelectedRating()), QStringLiteral("satisfactory"));
        dialog.show();
        auto* contact = Child<QCheckBox>(&dialog, "wouldLikeToContact");
        QVERIFY(!Child<QLineEdit>(&dialog, "email")->isVisible());
        QTest::mouseClick(contact, Qt::LeftButton);
        QVERIFY(Child<QLineEdit>(&dialog, "email")->isVisible());
        GrabIfAsked(&dialog, QStringLiteral("feedbackdialog"));
        QVERIFY(Child<QLabel>(&dialog, "emailLabel")->isVisible());
        QTest::mouseClick(contact, Qt::LeftButton);
        QVERIFY(!Child<QLineEdit>(&dialog, "email")->isVisible());
        QVERIFY(Child<QPushButton>(&dialog, "sendFeedback")->isDefault());
        const QStringList ratings{"very bad", "bad", "satisfactory", "good", "very good"};
        const char* buttons[] = {"ratingVeryBad", "ratingBad", "ratingSatisfactory", "ratingGood", "ratingVeryGood"};
        for (int i = 0; i < ratings.size(); ++i) {
            QTest::mouseClick(Child<QAbstractButton>(&dialog, buttons[i]), Qt::LeftButton);
            QCOMPARE(QString::fromLatin1(dialog.SelectedRating()), ratings.at(i));
        }
    }

    // Sending waits for the upload (2 s at least), thanks the user and stops the dialog coming back.
    void sendFeedbackThanksAndRemembers()
    {
        SaveSettingsValue(UX_DontAskFeedback, 0);
        FeedbackDialog dialog;
        dialog.show();
        ModalClicker thanks(nullptr);
        QElapsedTimer waited;
        waited.start();
        QTest::mouseClick(Child<QPushButton>(&dialog, "sendFeedback"), Qt::LeftButton);
        QVERIFY(waited.elapsed() >= 1950);
        QVERIFY(thanks.seen);
        QCOMPARE(thanks.seenText, QStringLiteral("Thank you for your feedback"));
        QCOMPARE(dialog.result(), int(QDialog::Accepted));
        QCOMPARE(GetSettingsInt32Value(UX_DontAskFeedback), 1);
    }

    // Closing the window offers the dialog until the user declines it for good.
    void closeOffersFeedback()
    {
        SaveSettingsValue(UX_DontAskFeedback, 0);
        {
            MainWindow window;
            window.show();
            ModalClicker clicker("askMeNextTime");
            window.close();
            QVERIFY(clicker.seen);
        }
        QCOMPARE(GetSettingsInt32Value(UX_DontAskFeedback), 0);
        {
            MainWindow window;
            window.show();
            ModalClicker clicker("dontAskAgain");
            window.close();
            QVERIFY(clicker.seen);
        }
        QCOMPARE(GetSettingsInt32Value(UX_DontAskFeedback), 1);

        MainWindow window;
        window.show();
        ModalClicker clicker("askMeNextTime");
        window.close();
        QVERIFY(!clicker.seen);
        QVERIFY(!window.isVisible());
    }

    void noFeedbackOfferWhenUnattended()
    {
        SaveSettingsValue(UX_DontAskFeedback, 0);
        managerConnection->authTokenForFileName = QStringLiteral("T0KEN");
        MainWindow window;
        window.show();
        ModalClicker clicker("askMeNextTime");
        window.close();
        QVERIFY(!clicker.seen);
        QVERIFY(!window.isVisible());
    }
};

QTEST_MAIN(Tst_TestManagerTab)
#include "tst_testmanagertab.moc"
