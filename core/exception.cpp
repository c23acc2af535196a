#include "core/exception.h"

#include <QMessageBox>

Exception::Exception(const char* message) : std::runtime_error(message) {}

Exception::Exception(const QString& message) : std::runtime_error(message.toLatin1().toStdString())
{
}

void ShowErrorMessageToUser(const std::string& text)
{
    QMessageBox box(QMessageBox::Critical, QStringLiteral("Error"),
                    QString::fromLatin1(text.c_str()), QMessageBox::Ok);
    box.exec();
}

void HandleException(std::exception& e)
{
    ShowErrorMessageToUser(e.what());
}
