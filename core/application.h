#pragma once

#include <QString>
#include <functional>

class QWidget;

// Builds the window with makeWindow, titles it with the build date, shows it and runs the event
// loop; returns the loop's result. A std::exception escaping any of it is caught: the result is
// then -1 and a level-3 GUI record carries its text.
int RunMainWindow(const std::function<QWidget*()>& makeWindow);

// The form title followed by " (<build date>)".
QString MainWindowTitle(const QString& formTitle);
