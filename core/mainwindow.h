#pragma once

#include <QMainWindow>
#include <QTimer>

namespace Ui {
class MainWindow;
}
class UdpSender;
class UdpReceiver;

// The agent's one top-level window: five tabs, the 1 s manager tick and the 10 min usage report.
class MainWindow : public QMainWindow
{
    Q_OBJECT
public:
    explicit MainWindow(QWidget* parent = nullptr);
    ~MainWindow() override;

protected:
    void closeEvent(QCloseEvent* event) override;

public slots:
    void ReportUX();
    void ManagerConnectionOnTimer1S();

private:
    void ApplyMinimalGuiVisibility_IfNeeded();
    void LeaveUxReport();

    Ui::MainWindow* ui;
    QTimer* reportTimer;
    QTimer* managerTimer;
    UdpReceiver* udpReceiver;
    UdpSender* udpSender;
};
