#include "core/mainwindow.h"

#include "core/common.h"
#include "core/logging.h"
#include "core/logviewer.h"
#include "manager/feedbackdialog.h"
#include "manager/managerconnection.h"
#include "manager/testmanagerconfig.h"
#include "receiver/udpreceiver.h"
#include "sender/udpsender.h"
#include "settings/settings.h"
#include "settings/settingsconfig.h"
#include "ui_mainwindow.h"

#include <QCloseEvent>
#include <QLayout>

namespace {
constexpr int ReportPeriodMs = 600000;
constexpr int ManagerTickMs = 1000;
} // namespace

MainWindow::MainWindow(QWidget* parent)
    : QMainWindow(parent), ui(new Ui::MainWindow), reportTimer(new QTimer),
      managerTimer(new QTimer(this)), udpReceiver(nullptr), udpSender(nullptr)
{
    TRACE_SCOPE(ModuleGUI, TraceLevelRoutine);
    ui->setupUi(this);
    ui->tabWidget->setCurrentIndex(0);

    udpSender = new UdpSender(this);
    udpReceiver = new UdpReceiver(this);
    auto* settingsConfig = new SettingsConfig(this);
    auto* testManagerConfig = new TestManagerConfig(this);
    auto* logViewer = new LogViewer(this);
    ui->udpSenderTab->layout()->addWidget(udpSender);
    ui->udpReceiverTab->layout()->addWidget(udpReceiver);
    ui->settingsTab->layout()->addWidget(settingsConfig);
    ui->managerConnectionTab->layout()->addWidget(testManagerConfig);
    ui->loggingTab->layout()->addWidget(logViewer);

    connect(reportTimer, &QTimer::timeout, this, &MainWindow::ReportUX);
    reportTimer->start(ReportPeriodMs);
    connect(managerTimer, &QTimer::timeout, this, &MainWindow::ManagerConnectionOnTimer1S);
    managerTimer->start(ManagerTickMs);

    ApplyMinimalGuiVisibility_IfNeeded();
}

MainWindow::~MainWindow()
{
    delete reportTimer;
    delete ui;
}

// A file-name token means an unattended agent: only the log tab and the status label remain.
void MainWindow::ApplyMinimalGuiVisibility_IfNeeded()
{
    const bool minimal = managerConnection && !managerConnection->authTokenForFileName.isEmpty();
    if (!minimal) {
        ui->minimalGuiStatus->hide();
        return;
    }
    while (ui->tabWidget->count() > 1)
        ui->tabWidget->removeTab(0);
    ui->minimalGuiStatus->show();
    // The log page's own minimum would keep the window taller than the small status display.
    ui->tabWidget->setMinimumSize(1, 1);
    resize(450, 190);
}

void MainWindow::ManagerConnectionOnTimer1S()
{
    if (!managerConnection)
        return;
    try {
        managerConnection->OnTimer1S();
    } catch (const std::exception& e) {
        TRACE_MESSAGE(ModuleGUI, TraceLevelError, QString::fromLatin1(e.what()));
    }
    ui->minimalGuiStatus->setText(managerConnection->minimalGuiStatusText);
}

void MainWindow::ReportUX()
{
    TRACE_SCOPE(ModuleGUI, TraceLevelRoutine);
    try {
        LeaveUxReport();
    } catch (const std::exception& e) {
        TRACE_MESSAGE(ModuleGUI, TraceLevelError, QString::fromLatin1(e.what()));
    }
}

void MainWindow::LeaveUxReport()
{
    QByteArray receiverPart = udpReceiver->getUxReport();
    if (!receiverPart.isEmpty())
        receiverPart.prepend("UDPRXstatus: ");
    QByteArray senderPart = udpSender->getUxReport();
    if (!senderPart.isEmpty())
        senderPart.prepend("UDPTXstatus: ");

    const int wholeSeconds = static_cast<int>(TimeSinceStartMs() * 0.001);
    const std::string message =
        Format("running, %i minutes. version: %s (%s). %s %s", wholeSeconds / 60,
               CompiledAt().toLocal8Bit().constData(), "Linux", receiverPart.constData(),
               senderPart.constData());
    TRACE_MESSAGE(ModuleUX, TraceLevelRoutine, QString::fromLocal8Bit(message.c_str()));
}

// Offers the feedback dialog unless the user declined it for good or the agent runs unattended
// (file-name token). The close itself always goes ahead.
void MainWindow::closeEvent(QCloseEvent* event)
{
    const bool unattended = managerConnection && !managerConnection->authTokenForFileName.isEmpty();
    if (GetSettingsInt32Value(UX_DontAskFeedback) == 0 && !unattended) {
        FeedbackDialog dialog(nullptr);
        dialog.exec();
    }
    QMainWindow::closeEvent(event);
}
