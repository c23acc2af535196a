#include "manager/feedbackdialog.h"

#include "core/exception.h"
#include "manager/managerconnection.h"
#include "settings/settings.h"
#include "ui_feedbackdialog.h"

#include <QApplication>
#include <QMessageBox>

FeedbackDialog::FeedbackDialog(QWidget* parent) : QDialog(parent), ui(new Ui::FeedbackDialog)
{
    ui->setupUi(this);
    on_wouldLikeToContact_clicked(false);
}

FeedbackDialog::~FeedbackDialog()
{
    delete ui;
}

const char* FeedbackDialog::SelectedRating() const
{
    if (ui->ratingVeryBad->isChecked())
        return "very bad";
    if (ui->ratingBad->isChecked())
        return "bad";
    if (ui->ratingGood->isChecked())
        return "good";
    if (ui->ratingVeryGood->isChecked())
        return "very good";
    return "satisfactory";
}

void FeedbackDialog::on_sendFeedback_clicked()
{
    try {
        setCursor(Qt::WaitCursor);
        QCoreApplication::processEvents();
        SendFeedbackToServer(SelectedRating(), ui->whatYouLike->toPlainText(),
                             ui->whatNeedsToBeImproved->toPlainText(), ui->email->text());
        QMessageBox thanks(QMessageBox::Information, QStringLiteral("Thank you"),
                           QStringLiteral("Thank you for your feedback"), QMessageBox::Ok);
        thanks.exec();
        SaveSettingsValue(UX_DontAskFeedback, 1);
    } catch (std::exception& e) {
        HandleException(e);
    }
    setCursor(Qt::ArrowCursor);
    accept();
}

void FeedbackDialog::on_askMeNextTime_clicked()
{
    reject();
}

void FeedbackDialog::on_dontAskAgain_clicked()
{
    try {
        SaveSettingsValue(UX_DontAskFeedback, 1);
    } catch (std::exception& e) {
        HandleException(e);
    }
    reject();
}

void FeedbackDialog::on_wouldLikeToContact_clicked(bool checked)
{
    ui->email->setVisible(checked);
    ui->emailLabel->setVisible(checked);
}
