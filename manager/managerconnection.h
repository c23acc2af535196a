#pragma once

#include "core/delaymonitor.h"

#include <QByteArray>
#include <QList>
#include <QMap>
#include <QObject>
#include <QString>
#include <atomic>
#include <mutex>
#include <string>

class ISignalHandler;
class QNetworkAccessManager;
class QNetworkReply;
class QXmlStreamReader;

// Value of a dash-separated parameter carried in a file name ("token", "host"), or empty.
QString GetParameterFromFileName(QString fileName, const QString& parameterName);

// The one connection to the test manager. Driven by the main window's 1 s tick on the GUI
// thread: it dispatches the signals of the replies that arrived, sends login or run pings, and
// posts the frames that other threads queued.
class ManagerConnection : public QObject
{
    Q_OBJECT
public:
    ManagerConnection();
    ~ManagerConnection() override;

    void OnTimer1S();

    // Sends one signal (its XML element). queue: only appends the frame for the next tick (any
    // thread); otherwise posts it at once (GUI thread).
    void SendSignalToServer(const std::string& signalText, bool encrypt, bool queue);
    void SendSignalToServerInternal(const QByteArray& frame);

    // Parses one response document and dispatches its signals; errors leave level-3 records.
    void HandleResponseFromServer(const std::string& payload);
    // Dispatches the element the reader stands on.
    void HandleResponseFromServer(QXmlStreamReader* reader, bool* handled);

    // Enters or replaces the handler of an element name. GUI thread.
    void RegisterSignalHandler(const QString& elementName, ISignalHandler* handler);
    // A handler that goes away removes its entry, unless another has taken the name over since.
    void UnregisterSignalHandler(const QString& elementName, ISignalHandler* handler);

    // Switches the link on or off and saves TestManager_DisableConnection as the negation.
    void setEnabled(bool enable);
    bool isEnabled() const { return enabled.load(); }

    QString getStatus() const;

    // The run id of the last pingResponse; empty while not logged in. Any thread.
    QString GetCurrentRunId() const;

    // The login ping's text (exposed for tests); throws when the stored password cannot be opened.
    std::string BuildLoginPing() const;
    std::string BuildRunPing() const;

    QNetworkAccessManager* networkAccessManager;
    QString authTokenForFileName;
    QString minimalGuiStatusText;
    QString host;

    // A request to the agent manager that has not finished by then is abandoned, so that one
    // lost reply cannot stop the pings for good.
    int requestTimeoutMs = 30000;

public slots:
    void OnNetworkReplyFinished(QNetworkReply* reply);

private:
    void ProcessIncomingResponses();
    void SendPingIfDue();
    void PostOutgoingSignals();
    void ProcessResponseChunk(const QByteArray& body);
    void SetCurrentRunId(const QString& runId);

    std::atomic<bool> enabled{false};
    std::atomic<int> requestsInProgress{0};
    bool noAuthenticationInfo = false;
    double pingPeriodMs = 60000;
    double lastPingRequestMs = 0;
    double lastPingResponseMs = 0;

    mutable std::mutex runIdLock;
    QString currentRunId;

    QMap<QString, ISignalHandler*> signalHandlers;

    std::mutex incomingLock;
    QList<QByteArray> incomingResponses;
    std::mutex outgoingLock;
    QList<QByteArray> outgoingSignals;

    DelayMonitor pingDelayMonitor;
};

extern ManagerConnection* managerConnection;

void InitializeManagerConnection();
void DeinitializeManagerConnection();

// The default test manager host ("host:port"), chosen at build time.
QString DefaultManagerHost();

// Usage tracking: posts E1("<uxTracking>" + text + "</uxTracking>") to the usage tracker and
// returns at once. GUI thread (it is called for every record of module UX).
void BeginSendToUxTracker(const char* text);

// Posts the feedback and waits, processing events, until the reply has finished and at least
// 2 s have passed, or 20 s at most.
void SendFeedbackToServer(const char* rating, const QString& whatYouLike,
                          const QString& whatNeedsToBeImproved, const QString& email);

// The feedback request's body (plain XML, texts escaped).
std::string BuildFeedbackXml(const char* rating, const QString& whatYouLike,
                             const QString& whatNeedsToBeImproved, const QString& email);

// The signal text as the trace shows it: a Password attribute's value is masked.
std::string MaskPassword(const std::string& signalText);
