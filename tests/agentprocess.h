#pragma once

// Runs a copy of the agent executable as a real process for a test: named with its file-name
// parameters ("-tokenX", "-hostH:P"), offscreen, in a folder of its own with its settings file.

#include "settings/settings.h"

#include <QFile>
#include <QProcess>
#include <QTemporaryDir>

class AgentProcess
{
public:
    bool Start(const QString& nameSuffix, const QMap<QString, QVariant>& settings)
    {
        const QString path = dir.filePath(QStringLiteral("NorvastelleRavidadIrerod") + nameSuffix);
        if (!QFile::copy(QStringLiteral(AGENT_PATH), path))
            return false;
        QFile settingsFile(path + QStringLiteral(".settings.xml"));
        if (!settingsFile.open(QIODevice::WriteOnly))
            return false;
        SettingsXmlProcedures::ExportSettingsToXml(&settingsFile, settings);
        settingsFile.close();
        process.setProgram(path);
        process.setArguments({QStringLiteral("-platform"), QStringLiteral("offscreen")});
        process.setWorkingDirectory(dir.path());
        process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        process.start();
        return process.waitForStarted(5000);
    }
    ~AgentProcess()
    {
        if (process.state() == QProcess::Running) {
            process.terminate();
            if (!process.waitForFinished(10000))
                process.kill();
        }
    }
    QTemporaryDir dir;
    QProcess process;
};
