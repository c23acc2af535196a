#pragma once

#include <QObject>
#include <QString>

// Value of a dash-separated parameter carried in a file name ("token", "host"), or empty.
QString GetParameterFromFileName(QString fileName, const QString& parameterName);

// The one connection to the test manager. The link itself (pings, signal dispatch, uploads)
// lives here; until it is built the object only carries the file-name parameters.
class ManagerConnection : public QObject
{
    Q_OBJECT
public:
    ManagerConnection();
    ~ManagerConnection() override;

    // Called by the main window every 1000 ms on the GUI thread.
    void OnTimer1S();

    QString authTokenForFileName;
    QString host;
    QString minimalGuiStatusText;
};

extern ManagerConnection* managerConnection;

void InitializeManagerConnection();
void DeinitializeManagerConnection();
