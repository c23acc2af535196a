#pragma once

#include <QTimer>
#include <QWidget>

namespace Ui {
class TestManagerConfig;
}

// The "Test manager" tab: switches the link on or off, holds the credentials of the login ping
// and shows the link's status once a second.
class TestManagerConfig : public QWidget
{
    Q_OBJECT
public:
    explicit TestManagerConfig(QWidget* parent = nullptr);
    ~TestManagerConfig() override;

public slots:
    void DisplayStatus();

private slots:
    void on_apply_clicked();

private:
    void FillForm();
    void SetLink(const char* labelName, const QString& text, const QString& url);

    Ui::TestManagerConfig* ui;
    QTimer* statusTimer;
};
