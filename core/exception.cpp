#include "core/exception.h"

#include <QMessageBox>

Exception::Exception(const char* message) : std::runtime_error(message) {}

namespace {

// Latin-1 text of a message, one '?' per character that Latin-1 lacks. QString::toLatin1 works
// on UTF-16 units and would give two for a character outside the Basic Multilingual Plane.
std::string ToLatin1PerCharacter(const QString& message)
{
    std::string text;
    text.reserve(static_cast<std::size_t>(message.size()));
    for (int i = 0; i < message.size(); ++i) {
        const QChar c = message.at(i);
        if (c.unicode() <= 0xff) {
            text.push_back(static_cast<char>(c.unicode()));
            continue;
        }
        if (c.isHighSurrogate() && i + 1 < message.size() && message.at(i + 1).isLowSurrogate())
            ++i;
        text.push_back('?');
    }
    return text;
}

} // namespace

Exception::Exception(const QString& message) : std::runtime_error(ToLatin1PerCharacter(message)) {}

void ShowErrorMessageToUser(const std::string& text)
{
    QMessageBox box(QMessageBox::Critical, QStringLiteral("Error"),
                    QString::fromLatin1(text.data(), static_cast<int>(text.size())), QMessageBox::Ok);
    box.exec();
}

void HandleException(std::exception& e)
{
    ShowErrorMessageToUser(e.what());
}
