#pragma once

#include <QApplication>
#include <QString>
#include <functional>

class QWidget;

// The application object. Every GUI action catches its own errors; as a last resort an
// exception that still escapes an event handler is logged here (level 3, module GUI) instead
// of unwinding through Qt's event loop, which would end the process through abort.
class AgentApplication : public QApplication
{
    Q_OBJECT
public:
    AgentApplication(int& argc, char** argv);
    bool notify(QObject* receiver, QEvent* event) override;
};

// Builds the window with makeWindow, titles it with the build date, shows it and runs the event
// loop; returns the loop's result. A std::exception escaping any of it is caught: the result is
// then -1 and a level-3 GUI record carries its text.
int RunMainWindow(const std::function<QWidget*()>& makeWindow);

// The form title followed by " (<build date>)".
QString MainWindowTitle(const QString& formTitle);
