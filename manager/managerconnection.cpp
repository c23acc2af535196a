#include "manager/managerconnection.h"

#include "core/logging.h"

#include <QCoreApplication>

ManagerConnection* managerConnection = nullptr;

QString GetParameterFromFileName(QString fileName, const QString& parameterName)
{
    int cut = fileName.lastIndexOf(QLatin1Char('/'));
    if (cut < 0)
        cut = fileName.lastIndexOf(QLatin1Char('\\'));
    const QString name = cut < 0 ? fileName : fileName.mid(cut + 1);

    const QStringList pieces = name.split(QLatin1Char('-'));
    for (const QString& piece : pieces) {
        if (!piece.startsWith(parameterName))
            continue;
        const QString value = piece.mid(parameterName.size());
        int end = value.indexOf(QLatin1Char(' '));
        if (end < 0)
            end = value.indexOf(QLatin1Char('('));
        if (end < 0)
            end = value.indexOf(QLatin1String(".exe"));
        return end < 0 ? value : value.left(end);
    }
    return QString();
}

ManagerConnection::ManagerConnection()
{
    TRACE_SCOPE(ModuleManagerC, TraceLevelNotable);
    const QString executable = QCoreApplication::applicationFilePath();
    authTokenForFileName = GetParameterFromFileName(executable, QStringLiteral("token"));
    host = GetParameterFromFileName(executable, QStringLiteral("host"));
    if (host.isEmpty())
        host = QStringLiteral(NRI_DEFAULT_MANAGER_HOST);
}

ManagerConnection::~ManagerConnection() = default;

void ManagerConnection::OnTimer1S() {}

void InitializeManagerConnection()
{
    managerConnection = new ManagerConnection();
}

void DeinitializeManagerConnection()
{
    delete managerConnection;
    managerConnection = nullptr;
}
