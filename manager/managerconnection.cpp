#include "manager/managerconnection.h"

#include "core/common.h"
#include "core/exception.h"
#include "core/isignalhandler.h"
#include "core/logging.h"
#include "manager/cryptoprocedures.h"
#include "manager/frames.h"
#include "settings/settings.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QHostAddress>
#include <QNetworkAccessManager>
#include <QNetworkInterface>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QPointer>
#include <QTimer>
#include <QXmlStreamReader>

ManagerConnection* managerConnection = nullptr;

namespace {

const char* const agentManagerRelativeUrl = "/AgentManager.ashx";
const char* const itIsAgentManager_propertyName = "itIsAgentManager";
constexpr double LoginRetryMs = 10000;

std::string Local8Bit(const QString& text)
{
    return text.toLocal8Bit().toStdString();
}

std::string Attribute(const char* name, const std::string& value)
{
    return std::string(name) + "='" + value + "' ";
}

// IPv4 addresses of all local interfaces except 127.0.0.1, joined by ";".
std::string LocalIpAddresses()
{
    QStringList addresses;
    const QList<QHostAddress> all = QNetworkInterface::allAddresses();
    for (const QHostAddress& address : all) {
        if (address.protocol() == QAbstractSocket::IPv4Protocol &&
            address != QHostAddress(QHostAddress::LocalHost))
            addresses << address.toString();
    }
    return Local8Bit(addresses.join(QLatin1Char(';')));
}

constexpr int UploadTimeoutMs = 30000;

// Every start element of the document in order, nested ones included. Unlike
// QXmlStreamReader::readNextStartElement() it stops quietly at the end of the document instead
// of reading past it (which reports a premature end).
void ReadToNextStartElementOrEnd(QXmlStreamReader* reader)
{
    while (!reader->atEnd()) {
        reader->readNext();
        if (reader->isStartElement() || reader->isEndDocument())
            return;
    }
}

QNetworkRequest OctetStreamRequest(const QString& url, int timeoutMs)
{
    QNetworkRequest request(QUrl(url, QUrl::TolerantMode));
    request.setHeader(QNetworkRequest::ContentTypeHeader, QStringLiteral("application/octet-stream"));
    request.setTransferTimeout(timeoutMs);
    return request;
}

} // namespace

QString DefaultManagerHost()
{
    return QStringLiteral(NRI_DEFAULT_MANAGER_HOST);
}

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

std::string MaskPassword(const std::string& signalText)
{
    static const std::string attribute = "Password='";
    const size_t start = signalText.find(attribute);
    if (start == std::string::npos)
        return signalText;
    const size_t valueStart = start + attribute.size();
    const size_t valueEnd = signalText.find('\'', valueStart);
    if (valueEnd == std::string::npos || valueEnd == valueStart)
        return signalText;
    std::string masked = signalText;
    masked.replace(valueStart, valueEnd - valueStart, "***");
    return masked;
}

ManagerConnection::ManagerConnection()
    : networkAccessManager(new QNetworkAccessManager),
      pingDelayMonitor(DelayMonitorActions::ManagerC_ping)
{
    TRACE_SCOPE(ModuleManagerC, TraceLevelNotable);
    connect(networkAccessManager, &QNetworkAccessManager::finished, this,
            &ManagerConnection::OnNetworkReplyFinished);
    const QString executable = QCoreApplication::applicationFilePath();
    authTokenForFileName = GetParameterFromFileName(executable, QStringLiteral("token"));
    enabled = !authTokenForFileName.isEmpty() ||
              GetSettingsInt32Value(TestManager_DisableConnection) == 0;
    host = GetParameterFromFileName(executable, QStringLiteral("host"));
    if (host.isEmpty())
        host = DefaultManagerHost();
}

ManagerConnection::~ManagerConnection()
{
    delete networkAccessManager;
}

void ManagerConnection::OnTimer1S()
{
    if (!enabled)
        return;
    TRACE_TEXT(ModuleManagerC, TraceLevelRoutine, "processing signals from server");
    ProcessIncomingResponses();
    try {
        SendPingIfDue();
        TRACE_TEXT(ModuleManagerC, TraceLevelRoutine, "sending signals to server");
        PostOutgoingSignals();
    } catch (const std::exception& e) {
        TRACE_MESSAGE(ModuleManagerC, TraceLevelError, QString::fromLatin1(e.what()));
    }
}

void ManagerConnection::ProcessIncomingResponses()
{
    std::lock_guard<std::mutex> lock(incomingLock);
    for (const QByteArray& body : qAsConst(incomingResponses)) {
        try {
            ProcessResponseChunk(body);
        } catch (const std::exception& e) {
            TRACE_MESSAGE(ModuleManagerC, TraceLevelError, QString::fromLatin1(e.what()));
        }
    }
    incomingResponses.clear();
}

void ManagerConnection::ProcessResponseChunk(const QByteArray& body)
{
    HandleResponseFromServer(DecodeResponseChunk(body));
}

// Logged in: a run ping once the period has passed. Otherwise a login ping at once and then
// every 10 s. Never while a request to the agent manager is unanswered.
void ManagerConnection::SendPingIfDue()
{
    const double now = TimeSinceStartMs();
    if (!GetCurrentRunId().isEmpty()) {
        if (now > lastPingRequestMs + pingPeriodMs && requestsInProgress == 0) {
            lastPingRequestMs = now;
            SendSignalToServer(BuildRunPing(), true, false);
            pingDelayMonitor.OnStarted();
        }
        return;
    }
    if (lastPingRequestMs != 0 && now <= lastPingRequestMs + LoginRetryMs)
        return;
    const std::string loginPing = BuildLoginPing(); // throws on an unreadable stored password
    if (loginPing.empty()) {
        noAuthenticationInfo = true;
        return;
    }
    noAuthenticationInfo = false;
    if (requestsInProgress != 0)
        return;
    lastPingRequestMs = now;
    SendSignalToServer(loginPing, true, false);
    pingDelayMonitor.OnStarted();
}

std::string ManagerConnection::BuildLoginPing() const
{
    std::string userId;
    std::string password;
    std::string agentId;
    if (authTokenForFileName.isEmpty()) {
        userId = Local8Bit(GetSettingsStringValue(TestManager_UserId));
        const std::string opened = D3_base64(Local8Bit(GetSettingsStringValue(TestManager_Password)));
        password = opened.substr(0, opened.find('\0'));
        if (userId.empty() || password.empty())
            return std::string();
        agentId = Local8Bit(GetSettingsStringValue(TestManager_UserDefinedAgentId));
    }
    return "<pingRequest " + Attribute("UserId", EscapeXml(userId)) +
           Attribute("Password", EscapeXml(password)) +
           Attribute("AuthTokenForFileName", EscapeXml(Local8Bit(authTokenForFileName))) +
           Attribute("UserDefinedAgentId", EscapeXml(agentId)) +
           Attribute("CompiledAt", EscapeXml(Local8Bit(CompiledAt()))) +
           Attribute("LocalIpAddresses", LocalIpAddresses()) + Attribute("OperatingSystem", "todo") +
           Attribute("DelaysReportHtml",
                     DelayMonitor::getReportForAllInstancesHtmlXmlEscaped().toLatin1().toStdString()) +
           "/>";
}

std::string ManagerConnection::BuildRunPing() const
{
    return "<pingRequest " + Attribute("CurrentRunId", EscapeXml(Local8Bit(GetCurrentRunId()))) +
           Attribute("DelaysReportHtml",
                     DelayMonitor::getReportForAllInstancesHtmlXmlEscaped().toLatin1().toStdString()) +
           "/>";
}

void ManagerConnection::PostOutgoingSignals()
{
    std::lock_guard<std::mutex> lock(outgoingLock);
    for (const QByteArray& frame : qAsConst(outgoingSignals))
        SendSignalToServerInternal(frame);
    outgoingSignals.clear();
}

void ManagerConnection::SendSignalToServer(const std::string& signalText, bool encrypt, bool queue)
{
    TRACE_MESSAGE(ModuleManagerC, TraceLevelNotable,
                  QStringLiteral("sending signal to server: ") +
                      QString::fromLocal8Bit(MaskPassword(signalText).c_str()));
    const QByteArray frame = BuildRequestFrame(signalText, encrypt);
    if (queue) {
        std::lock_guard<std::mutex> lock(outgoingLock);
        outgoingSignals.append(frame);
        return;
    }
    SendSignalToServerInternal(frame);
}

void ManagerConnection::SendSignalToServerInternal(const QByteArray& frame)
{
    const QNetworkRequest request = OctetStreamRequest(
        QStringLiteral("http://") + host + QLatin1String(agentManagerRelativeUrl), requestTimeoutMs);
    QNetworkReply* reply = networkAccessManager->post(request, frame);
    reply->setProperty(itIsAgentManager_propertyName, true);
    ++requestsInProgress;
}

void ManagerConnection::OnNetworkReplyFinished(QNetworkReply* reply)
{
    try {
        if (reply->property(itIsAgentManager_propertyName).toBool()) {
            if (requestsInProgress.fetch_sub(1) <= 0)
                requestsInProgress = 0;
            if (reply->isReadable()) {
                const QByteArray body = reply->readAll();
                if (!body.isEmpty()) {
                    std::lock_guard<std::mutex> lock(incomingLock);
                    incomingResponses.append(body);
                }
            }
        }
    } catch (const std::exception& e) {
        TRACE_MESSAGE(ModuleManagerC, TraceLevelError, QString::fromLatin1(e.what()));
    }
    reply->deleteLater();
}

void ManagerConnection::HandleResponseFromServer(const std::string& payload)
{
    const std::string text = payload.substr(0, payload.find('\0'));
    TRACE_MESSAGE(ModuleManagerC, TraceLevelNotable,
                  QStringLiteral("processing signal from server: ") + QString::fromLocal8Bit(text.c_str()));
    try {
        QXmlStreamReader reader(QByteArray::fromStdString(text));
        reader.readNext();
        NRI_ASSERT(reader.isStartDocument());
        NRI_ASSERT(reader.readNextStartElement()); // the root; its name is not examined
        ReadToNextStartElementOrEnd(&reader);
        while (!reader.atEnd() && !reader.hasError()) {
            bool handled = false;
            if (reader.isStartElement())
                HandleResponseFromServer(&reader, &handled);
            if (!handled)
                ReadToNextStartElementOrEnd(&reader);
        }
        if (reader.hasError())
            throw Exception(QStringLiteral("Error parsing XML response from server: ") + reader.errorString());
    } catch (const std::exception& e) {
        TRACE_MESSAGE(ModuleManagerC, TraceLevelError, QString::fromLatin1(e.what()));
    }
}

void ManagerConnection::HandleResponseFromServer(QXmlStreamReader* reader, bool* handled)
{
    *handled = false;
    const QString name = reader->name().toString();
    const QXmlStreamAttributes attributes = reader->attributes();
    if (name == QLatin1String("pingResponse")) {
        pingDelayMonitor.OnStopped();
        SetCurrentRunId(attributes.value(QLatin1String("CurrentRunId")).toString());
        pingPeriodMs = attributes.value(QLatin1String("PingPeriodS")).toString().toInt(nullptr, 10) * 1000.0;
        lastPingResponseMs = TimeSinceStartMs();
        minimalGuiStatusText = attributes.value(QLatin1String("MinimalGuiStatus")).toString();
        return;
    }
    if (name == QLatin1String("badLogin")) {
        pingDelayMonitor.OnStopped();
        minimalGuiStatusText = attributes.value(QLatin1String("MinimalGuiStatus")).toString();
        return;
    }
    ISignalHandler* handler = signalHandlers.value(name);
    if (!handler) {
        TRACE_MESSAGE(ModuleManagerC, TraceLevelWarning,
                      QStringLiteral("Client-side handler is not found for XML element '%1'").arg(name));
        return;
    }
    handler->HandleSignal(reader, handled);
}

void ManagerConnection::RegisterSignalHandler(const QString& elementName, ISignalHandler* handler)
{
    signalHandlers.insert(elementName, handler);
}

void ManagerConnection::UnregisterSignalHandler(const QString& elementName, ISignalHandler* handler)
{
    if (signalHandlers.value(elementName) == handler)
        signalHandlers.remove(elementName);
}

void ManagerConnection::setEnabled(bool enable)
{
    enabled = enable;
    SaveSettingsValue(TestManager_DisableConnection, enable ? 0 : 1);
}

QString ManagerConnection::GetCurrentRunId() const
{
    std::lock_guard<std::mutex> lock(runIdLock);
    return currentRunId;
}

void ManagerConnection::SetCurrentRunId(const QString& runId)
{
    std::lock_guard<std::mutex> lock(runIdLock);
    currentRunId = runId;
}

QString ManagerConnection::getStatus() const
{
    if (!enabled)
        return QStringLiteral("disabled");
    if (!GetCurrentRunId().isEmpty()) {
        const double sinceResponseS = (TimeSinceStartMs() - lastPingResponseMs) / 1000.0;
        return QStringLiteral("last ping response %1/%2 seconds ago")
            .arg(QString::number(sinceResponseS, 'g', 6), QString::number(pingPeriodMs / 1000.0, 'g', 6));
    }
    if (noAuthenticationInfo)
        return QStringLiteral("no authentication info to connect");
    return QStringLiteral("connecting...");
}

void InitializeManagerConnection()
{
    managerConnection = new ManagerConnection();
    SetUxTrackerSink(BeginSendToUxTracker);
}

void DeinitializeManagerConnection()
{
    SetUxTrackerSink(nullptr);
    delete managerConnection;
    managerConnection = nullptr;
}

void BeginSendToUxTracker(const char* text)
{
    TRACE_SCOPE(ModuleManagerC, TraceLevelRoutine);
    if (!managerConnection)
        return;
    const std::string body = E1("<uxTracking>" + std::string(text) + "</uxTracking>");
    managerConnection->networkAccessManager->post(
        OctetStreamRequest(QStringLiteral("http://") + DefaultManagerHost() + QStringLiteral("/UxTracker.ashx"), UploadTimeoutMs),
        QByteArray::fromStdString(body));
}

std::string BuildFeedbackXml(const char* rating, const QString& whatYouLike,
                             const QString& whatNeedsToBeImproved, const QString& email)
{
    return "<feedback rating='" + EscapeXml(rating) + "' email='" + EscapeXml(Local8Bit(email)) +
           "'><whatYouLike>" + EscapeXml(Local8Bit(whatYouLike)) +
           "</whatYouLike><whatNeedsToBeImproved>" + EscapeXml(Local8Bit(whatNeedsToBeImproved)) +
           "</whatNeedsToBeImproved></feedback>";
}

void SendFeedbackToServer(const char* rating, const QString& whatYouLike,
                          const QString& whatNeedsToBeImproved, const QString& email)
{
    TRACE_SCOPE(ModuleManagerC, TraceLevelRoutine);
    if (!managerConnection)
        return;
    const std::string body = BuildFeedbackXml(rating, whatYouLike, whatNeedsToBeImproved, email);
    QPointer<QNetworkReply> reply = managerConnection->networkAccessManager->post(
        OctetStreamRequest(QStringLiteral("http://") + DefaultManagerHost() +
                           QStringLiteral("/FeedbackHandler.ashx"), UploadTimeoutMs),
        QByteArray::fromStdString(body));
    // The connection's reply handler deletes the reply once it has finished: watch both.
    bool finished = false;
    QObject::connect(reply, &QNetworkReply::finished, [&finished] { finished = true; });
    QElapsedTimer elapsed;
    elapsed.start();
    while (elapsed.elapsed() < 20000) {
        if ((finished || !reply) && elapsed.elapsed() > 1999)
            break;
        QEventLoop loop;
        QTimer::singleShot(50, &loop, &QEventLoop::quit);
        loop.exec();
    }
    if (reply)
        QObject::disconnect(reply, &QNetworkReply::finished, nullptr, nullptr);
}
