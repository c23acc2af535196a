#pragma once

#include <QDialog>

namespace Ui {
class FeedbackDialog;
}

// Asks for a rating and two free texts when the main window closes, and posts them.
class FeedbackDialog : public QDialog
{
    Q_OBJECT
public:
    explicit FeedbackDialog(QWidget* parent = nullptr);
    ~FeedbackDialog() override;

    // The fixed rating text of the ticked button ("very bad" ... "very good").
    const char* SelectedRating() const;

private slots:
    void on_sendFeedback_clicked();
    void on_askMeNextTime_clicked();
    void on_dontAskAgain_clicked();
    void on_wouldLikeToContact_clicked(bool checked);

private:
    Ui::FeedbackDialog* ui;
};
