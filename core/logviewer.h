#pragma once

#include <QWidget>

namespace Ui {
class LogViewer;
}

// The "System log" tab: the delay report and the newest notable trace records, on demand.
class LogViewer : public QWidget
{
    Q_OBJECT
public:
    explicit LogViewer(QWidget* parent = nullptr);
    ~LogViewer() override;

private slots:
    void on_refreshButton_clicked();

private:
    void refresh();

    Ui::LogViewer* ui;
};
