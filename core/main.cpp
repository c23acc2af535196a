#include "core/application.h"
#include "core/common.h"
#include "core/crashhandler.h"
#include "core/logging.h"
#include "core/mainwindow.h"
#include "manager/managerconnection.h"
#include "settings/settings.h"

#include <QApplication>

int main(int argc, char* argv[])
{
    InitializeCommonModule();
    InitializeLoggingModule();
    InitializeCrashHandler();

    int exitCode = 0;
    {
        TRACE_SCOPE(ModuleGUI, TraceLevelRoutine);
        auto* application = new AgentApplication(argc, argv);
        InitializeSettings();
        InitializeManagerConnection();
        TRACE_TEXT(ModuleUX, TraceLevelRoutine, "starting");

        exitCode = RunMainWindow([] { return new MainWindow(); });

        DeinitializeManagerConnection();
        delete application;
    }
    return exitCode;
}
