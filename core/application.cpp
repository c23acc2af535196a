#include "core/application.h"

#include "core/common.h"
#include "core/logging.h"

#include <QApplication>
#include <QWidget>
#include <clocale>
#include <exception>
#include <memory>

AgentApplication::AgentApplication(int& argc, char** argv) : QApplication(argc, argv)
{
    // QApplication adopts the user's locale for the C library too; reports formatted with
    // printf ("%f") must keep the decimal point whatever the locale.
    setlocale(LC_NUMERIC, "C");
}

bool AgentApplication::notify(QObject* receiver, QEvent* event)
{
    try {
        return QApplication::notify(receiver, event);
    } catch (const std::exception& e) {
        TRACE_MESSAGE(ModuleGUI, TraceLevelError,
                      QStringLiteral("exception in an event handler: ") + QString::fromLatin1(e.what()));
    } catch (...) {
        TRACE_TEXT(ModuleGUI, TraceLevelError, "unknown exception in an event handler");
    }
    return false;
}

QString MainWindowTitle(const QString& formTitle)
{
    return formTitle + QStringLiteral(" (") + CompiledAt() + QStringLiteral(")");
}

int RunMainWindow(const std::function<QWidget*()>& makeWindow)
{
    try {
        std::unique_ptr<QWidget> window(makeWindow());
        window->setWindowTitle(MainWindowTitle(window->windowTitle()));
        window->show();
        return QApplication::exec();
    } catch (const std::exception& e) {
        TRACE_MESSAGE(ModuleGUI, TraceLevelError, QString::fromLatin1(e.what()));
        return -1;
    }
}
