// The stand-in test manager, run as a real process on loopback: sealed and plain frames in,
// response chunks out, the plan's accounts and signals, the request log, and its refusals.

#include "core/common.h"
#include "core/logging.h"
#include "manager/cryptoprocedures.h"
#include "manager/frames.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QUuid>
#include <QXmlStreamReader>
#include <QtTest>

#include <arpa/inet.h>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <netinet/in.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

namespace {

const char* const SchedRxSignal =
    "<udpRxStreamsConfig><udpRxStreamConfig LocalPort='40000' ReceiverObservationParams_codecPt='0' "
    "ReceiverObservationParams_jbMaxSizeMs='60' /></udpRxStreamsConfig>";
const char* const SchedTxSignal =
    "<udpTxStreamsConfig><udpTxStreamConfig DestinationHost='127.0.0.1' DestinationPort='40000' "
    "TargetBandwidthBitsPerSecond='64000' PacketSizeInBytes='200' /></udpTxStreamsConfig>";
// Seconds after login at which SchedTxSignal is due.
constexpr double SchedTxAfterS = 1.5;

const char* const AlicePassword = "pa'ss<&>\"word";

// One plan for the shared server: users with and without agent entries, a token, a schedule,
// and one agent per kind of broken reply.
QByteArray SharedPlan()
{
    QJsonArray agents{
        QJsonObject{{"userId", "alice"}, {"userDefinedAgentId", "lab-1"}, {"pingPeriodS", 7},
                    {"minimalGuiStatus", "alice lab 1"}},
        QJsonObject{{"userId", "alice"}, {"pingPeriodS", 9}, {"minimalGuiStatus", "alice, any agent"}},
        QJsonObject{{"token", "TOKEN42"}, {"pingPeriodS", 3}, {"minimalGuiStatus", "kiosk <&> 'agent'"}},
        QJsonObject{{"userId", "sched"},
                    {"signals", QJsonArray{QJsonObject{{"afterS", 0}, {"xml", SchedRxSignal}},
                                           QJsonObject{{"afterS", SchedTxAfterS}, {"xml", SchedTxSignal}}}}},
    };
    for (const char* kind : {"empty", "shortBody", "badLength", "badPadding", "brokenXml"}) {
        agents.append(QJsonObject{
            {"userId", "broken"},
            {"userDefinedAgentId", kind},
            {"signals", QJsonArray{QJsonObject{{"afterS", 0}, {"brokenReply", kind}},
                                   QJsonObject{{"afterS", 0}, {"xml", "<voipReadinessServerTestConfig Enabled='true' />"}}}}});
    }
    const QJsonObject plan{
        {"pingPeriodS", 30},
        {"minimalGuiStatus", "default status"},
        {"badLoginStatus", "Bad credentials, try again"},
        {"unknownRunStatus", "unknown run"},
        {"accounts", QJsonArray{QJsonObject{{"userId", "alice"}, {"password", AlicePassword}},
                                QJsonObject{{"userId", "bob"}, {"password", "bobpw"}},
                                QJsonObject{{"userId", "sched"}, {"password", "x"}},
                                QJsonObject{{"userId", "broken"}, {"password", "x"}},
                                QJsonObject{{"token", "TOKEN42"}}}},
        {"agents", agents},
    };
    return QJsonDocument(plan).toJson();
}

std::string Esc(const QString& text)
{
    return EscapeXml(text.toStdString());
}

// The login ping as the agent sends it, values escaped.
std::string LoginPingText(const QString& userId, const QString& password, const QString& agentId,
                          const QString& token = QString())
{
    return "<pingRequest UserId='" + Esc(userId) + "' Password='" + Esc(password) +
           "' AuthTokenForFileName='" + Esc(token) + "' UserDefinedAgentId='" + Esc(agentId) +
           "' CompiledAt='Dec 11 2026' LocalIpAddresses='192.0.2.7;198.51.100.3' OperatingSystem='todo' "
           "DelaysReportHtml='&lt;table&gt;&lt;/table&gt;' />";
}

std::string RunPingText(const QString& runId)
{
    return "<pingRequest CurrentRunId='" + Esc(runId) + "' DelaysReportHtml='' />";
}

struct HttpResult
{
    int status = 0;
    QByteArray body;
    QString contentType;
    QString error;
};

struct Element
{
    QString name;
    QMap<QString, QString> attributes;
};

// A reply chunk opened and parsed; error is set when any step fails.
struct ReplyDocument
{
    bool sealed = false;
    QByteArray text;
    QList<Element> elements; // the root's children, in order
    QString error;

    QStringList Names() const
    {
        QStringList names;
        for (const Element& element : elements)
            names.append(element.name);
        return names;
    }
};

ReplyDocument OpenReply(const QByteArray& body)
{
    ReplyDocument document;
    try {
        document.sealed = !body.isEmpty() && body.at(0) != 0;
        const std::string text = DecodeResponseChunk(body);
        document.text = QByteArray(text.c_str()); // up to the first zero byte, as the agent reads it
    } catch (const std::exception& e) {
        document.error = QString::fromLatin1(e.what());
        return document;
    }
    QXmlStreamReader reader(document.text);
    if (!reader.readNextStartElement()) {
        document.error = QStringLiteral("no root element: ") + reader.errorString();
        return document;
    }
    while (reader.readNextStartElement()) {
        Element element;
        element.name = reader.name().toString();
        for (const QXmlStreamAttribute& attribute : reader.attributes())
            element.attributes.insert(attribute.qualifiedName().toString(), attribute.value().toString());
        document.elements.append(element);
        reader.skipCurrentElement();
    }
    if (reader.hasError())
        document.error = QStringLiteral("XML: ") + reader.errorString();
    return document;
}

// One request over a fresh connection, with plain blocking socket calls (safe on any thread):
// the request goes out whole, the response is read up to the end of the body that its
// Content-Length announces, or up to the server's close.
HttpResult RawRequest(quint16 port, const QByteArray& request)
{
    HttpResult result;
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    if (fd < 0) {
        result.error = QString::fromLocal8Bit(std::strerror(errno));
        return result;
    }
    const timeval timeout{10, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
    ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &timeout, sizeof timeout);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        result.error = QStringLiteral("connect: ") + QString::fromLocal8Bit(std::strerror(errno));
        ::close(fd);
        return result;
    }
    for (int sent = 0; sent < request.size();) {
        const ssize_t n = ::send(fd, request.constData() + sent, static_cast<size_t>(request.size() - sent), MSG_NOSIGNAL);
        if (n <= 0)
            break; // the server may answer and close before it has read everything
        sent += static_cast<int>(n);
    }
    QByteArray response;
    int headerEnd = -1;
    int bodyBytes = -1;
    char buffer[65536];
    while (bodyBytes < 0 || response.size() < headerEnd + 4 + bodyBytes) {
        const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
        if (n <= 0)
            break;
        response.append(buffer, static_cast<int>(n));
        headerEnd = response.indexOf("\r\n\r\n");
        if (headerEnd >= 0 && bodyBytes < 0) {
            const QByteArray header = response.left(headerEnd + 2).toLower();
            const int field = header.indexOf("\r\ncontent-length:");
            if (field >= 0)
                bodyBytes = header.mid(field + 17, header.indexOf('\r', field + 2) - field - 17).trimmed().toInt();
            const int type = header.indexOf("\r\ncontent-type:");
            if (type >= 0)
                result.contentType =
                    QString::fromLatin1(header.mid(type + 15, header.indexOf('\r', type + 2) - type - 15).trimmed());
        }
    }
    ::close(fd);
    if (!response.startsWith("HTTP/1.1 ") || headerEnd < 0) {
        result.error = QStringLiteral("no HTTP response: ") + QString::fromLatin1(response.left(200));
        return result;
    }
    result.status = response.mid(9, 3).toInt();
    result.body = response.mid(headerEnd + 4);
    return result;
}

HttpResult RawPost(quint16 port, const QByteArray& path, const QByteArray& body)
{
    return RawRequest(port, "POST " + path + " HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n"
                                             "Content-Type: application/octet-stream\r\nContent-Length: " +
                                QByteArray::number(body.size()) + "\r\n\r\n" + body);
}

QByteArray WithLastByteChanged(const std::string& bytes)
{
    QByteArray changed = QByteArray::fromStdString(bytes);
    changed[changed.size() - 1] = static_cast<char>(changed.at(changed.size() - 1) ^ 0x5a);
    return changed;
}

// A request frame around any payload bytes, with any length field.
QByteArray Frame(qint32 lengthField, char flag, const QByteArray& payload)
{
    QByteArray frame(4, '\0');
    qToLittleEndian<qint32>(lengthField, frame.data());
    frame.append(flag);
    frame.append(payload);
    return frame;
}

} // namespace

class Tst_TestManager : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir dir;
    QProcess server;
    quint16 port = 0;
    QString logPath;

    // Starts a testmanager on a free loopback port; false (with the reason) when it does not
    // come up.
    static bool StartServer(QProcess* process, const QStringList& arguments, quint16* actualPort, QString* error)
    {
        process->setProgram(QStringLiteral(TESTMANAGER_PATH));
        process->setArguments(QStringList{QStringLiteral("--listen"), QStringLiteral("127.0.0.1:0")} + arguments);
        process->start();
        if (!process->waitForStarted(10000)) {
            *error = process->errorString();
            return false;
        }
        QByteArray firstLine;
        while (!firstLine.contains('\n') && process->waitForReadyRead(10000))
            firstLine += process->readLine();
        const QByteArray prefix = "listening on 127.0.0.1:";
        if (!firstLine.startsWith(prefix)) {
            *error = QStringLiteral("first line: ") + QString::fromLocal8Bit(firstLine) +
                     QStringLiteral(" stderr: ") + QString::fromLocal8Bit(process->readAllStandardError());
            return false;
        }
        *actualPort = static_cast<quint16>(firstLine.mid(prefix.size()).trimmed().toUInt());
        return *actualPort != 0;
    }

    HttpResult Send(const QString& method, const QString& path, const QByteArray& body = QByteArray())
    {
        return RawRequest(port, method.toLatin1() + " " + path.toLatin1() +
                                    " HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n"
                                    "Content-Type: application/octet-stream\r\nContent-Length: " +
                                    QByteArray::number(body.size()) + "\r\n\r\n" + body);
    }

    HttpResult PostSignal(const std::string& signal, bool seal)
    {
        return Send(QStringLiteral("POST"), QStringLiteral("/AgentManager.ashx"), BuildRequestFrame(signal, seal));
    }

    QList<QJsonObject> Records() const
    {
        QFile file(logPath);
        QList<QJsonObject> records;
        if (!file.open(QIODevice::ReadOnly))
            return records;
        for (const QByteArray& line : file.readAll().split('\n')) {
            if (!line.isEmpty())
                records.append(QJsonDocument::fromJson(line).object());
        }
        return records;
    }

    int RecordCount() const { return Records().size(); }

    QByteArray LogText() const
    {
        QFile file(logPath);
        return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
    }

    // Logs in and returns the run id from the reply, or an empty text.
    QString Login(const QString& userId, const QString& password, const QString& agentId = QString())
    {
        const HttpResult result = PostSignal(LoginPingText(userId, password, agentId), true);
        const ReplyDocument reply = OpenReply(result.body);
        if (reply.elements.isEmpty() || reply.elements.first().name != QLatin1String("pingResponse"))
            return QString();
        return reply.elements.first().attributes.value(QStringLiteral("CurrentRunId"));
    }

private slots:
    void initTestCase()
    {
        InitializeCommonModule();
        InitializeLoggingModule();
        QVERIFY(dir.isValid());
        QFile plan(dir.filePath(QStringLiteral("plan.json")));
        QVERIFY(plan.open(QIODevice::WriteOnly));
        plan.write(SharedPlan());
        plan.close();
        logPath = dir.filePath(QStringLiteral("log.jsonl"));
        QString error;
        QVERIFY2(StartServer(&server, {QStringLiteral("--plan"), plan.fileName(), QStringLiteral("--log"), logPath},
                             &port, &error),
                 qPrintable(error));
        QTRY_VERIFY(RecordCount() >= 1);
        const QJsonObject start = Records().first();
        QCOMPARE(start.value("kind").toString(), QStringLiteral("start"));
        QCOMPARE(start.value("listen").toString(), QStringLiteral("127.0.0.1:%1").arg(port));
    }

    void cleanupTestCase()
    {
        server.terminate();
        QVERIFY(server.waitForFinished(10000));
        QCOMPARE(server.exitStatus(), QProcess::NormalExit);
        QCOMPARE(server.exitCode(), 0);
        const QByteArray stderrText = server.readAllStandardError();
        QVERIFY2(stderrText.isEmpty(), stderrText.constData());
        // Every line of the whole run, the concurrent requests' too, is one whole object.
        const QList<QByteArray> lines = LogText().trimmed().split('\n');
        for (const QByteArray& line : lines)
            QVERIFY2(QJsonDocument::fromJson(line).isObject(), line.constData());
        QCOMPARE(QJsonDocument::fromJson(lines.last()).object().value("kind").toString(), QStringLiteral("stop"));
    }

    void loginPing_data()
    {
        QTest::addColumn<QString>("userId");
        QTest::addColumn<QString>("password");
        QTest::addColumn<QString>("agentId");
        QTest::addColumn<int>("pingPeriodS");
        QTest::addColumn<QString>("status");
        QTest::addColumn<QString>("agent");
        QTest::newRow("agent id picks its own entry; password full of markup")
            << "alice" << AlicePassword << "lab-1" << 7 << "alice lab 1" << "agents[0]";
        QTest::newRow("another agent id falls back to the user's entry")
            << "alice" << AlicePassword << "lab-2 <&>" << 9 << "alice, any agent" << "agents[1]";
        QTest::newRow("user without an agent entry gets the defaults")
            << "bob" << "bobpw" << "" << 30 << "default status" << "";
    }
    void loginPing()
    {
        QFETCH(QString, userId);
        QFETCH(QString, password);
        QFETCH(QString, agentId);
        QFETCH(int, pingPeriodS);
        QFETCH(QString, status);
        QFETCH(QString, agent);

        const int before = RecordCount();
        const HttpResult result = PostSignal(LoginPingText(userId, password, agentId), true);
        QVERIFY2(result.error.isEmpty(), qPrintable(result.error));
        QCOMPARE(result.status, 200);
        const ReplyDocument reply = OpenReply(result.body);
        QVERIFY2(reply.error.isEmpty(), qPrintable(reply.error));
        QVERIFY(reply.sealed);
        QCOMPARE(reply.Names(), QStringList{QStringLiteral("pingResponse")});
        const QString runId = reply.elements.first().attributes.value(QStringLiteral("CurrentRunId"));
        QVERIFY2(!QUuid(runId).isNull(), qPrintable(runId));
        QCOMPARE(QUuid(runId).toString(QUuid::WithoutBraces), runId);
        QCOMPARE(reply.elements.first().attributes.value(QStringLiteral("PingPeriodS")), QString::number(pingPeriodS));
        QCOMPARE(reply.elements.first().attributes.value(QStringLiteral("MinimalGuiStatus")), status);

        QTRY_COMPARE(RecordCount(), before + 1);
        const QJsonObject record = Records().at(before);
        QCOMPARE(record.value("kind").toString(), QStringLiteral("loginPing"));
        QCOMPARE(record.value("endpoint").toString(), QStringLiteral("/AgentManager.ashx"));
        QCOMPARE(record.value("sealed").toBool(), true);
        QCOMPARE(record.value("userId").toString(), userId);
        QCOMPARE(record.value("userDefinedAgentId").toString(), agentId);
        QCOMPARE(record.value("runId").toString(), runId);
        QCOMPARE(record.value("agent").toString(), agent);
        QCOMPARE(record.value("status").toInt(), 200);
        const QJsonObject attributes = record.value("attributes").toObject();
        QCOMPARE(attributes.value("UserId").toString(), userId);
        QCOMPARE(attributes.value("LocalIpAddresses").toString(), QStringLiteral("192.0.2.7;198.51.100.3"));
        QCOMPARE(attributes.value("DelaysReportHtml").toString(), QStringLiteral("<table></table>"));
        QCOMPARE(attributes.value("Password").toString(), QStringLiteral("***"));
        QVERIFY2(!LogText().contains(password.toUtf8()), "the password never reaches the log");
        const QJsonObject answer = record.value("answer").toObject();
        QCOMPARE(answer.value("runId").toString(), runId);
        QCOMPARE(answer.value("pingPeriodS").toInt(), pingPeriodS);
        QCOMPARE(answer.value("minimalGuiStatus").toString(), status);
        QCOMPARE(answer.value("signals").toArray(), QJsonArray{QStringLiteral("pingResponse")});
    }

    void eachLoginStartsItsOwnRun()
    {
        const QString first = Login(QStringLiteral("bob"), QStringLiteral("bobpw"));
        const QString second = Login(QStringLiteral("bob"), QStringLiteral("bobpw"));
        QVERIFY(!first.isEmpty());
        QVERIFY(!second.isEmpty());
        QVERIFY(first != second);
        for (const QString& runId : {first, second}) {
            const ReplyDocument reply = OpenReply(PostSignal(RunPingText(runId), true).body);
            QVERIFY2(reply.error.isEmpty(), qPrintable(reply.error));
            QCOMPARE(reply.elements.value(0).attributes.value(QStringLiteral("CurrentRunId")), runId);
        }
    }

    void badLogin_data()
    {
        QTest::addColumn<QString>("userId");
        QTest::addColumn<QString>("password");
        QTest::addColumn<QString>("token");
        QTest::addColumn<QString>("reason");
        QTest::newRow("wrong password") << "alice" << "pa'ss" << "" << "wrong password";
        QTest::newRow("password of another user") << "alice" << "bobpw" << "" << "wrong password";
        QTest::newRow("unknown user") << "carol" << "x" << "" << "unknown user id";
        QTest::newRow("unknown token") << "" << "" << "NOPE" << "unknown token";
        QTest::newRow("token of another case") << "" << "" << "token42" << "unknown token";
        QTest::newRow("empty credentials") << "" << "" << "" << "no credentials";
    }
    void badLogin()
    {
        QFETCH(QString, userId);
        QFETCH(QString, password);
        QFETCH(QString, token);
        QFETCH(QString, reason);

        const int before = RecordCount();
        const HttpResult result = PostSignal(LoginPingText(userId, password, QString(), token), true);
        QCOMPARE(result.status, 200);
        const ReplyDocument reply = OpenReply(result.body);
        QVERIFY2(reply.error.isEmpty(), qPrintable(reply.error));
        QCOMPARE(reply.Names(), QStringList{QStringLiteral("badLogin")});
        QCOMPARE(reply.elements.first().attributes.value(QStringLiteral("MinimalGuiStatus")),
                 QStringLiteral("Bad credentials, try again"));

        QTRY_COMPARE(RecordCount(), before + 1);
        const QJsonObject record = Records().at(before);
        QCOMPARE(record.value("kind").toString(), QStringLiteral("loginPing"));
        QVERIFY(!record.contains("runId"));
        QCOMPARE(record.value("answer").toObject().value("signals").toArray(), QJsonArray{QStringLiteral("badLogin")});
        QCOMPARE(record.value("answer").toObject().value("reason").toString(), reason);
    }

    void tokenLogin()
    {
        const int before = RecordCount();
        const ReplyDocument reply =
            OpenReply(PostSignal(LoginPingText(QString(), QString(), QString(), QStringLiteral("TOKEN42")), true).body);
        QVERIFY2(reply.error.isEmpty(), qPrintable(reply.error));
        QCOMPARE(reply.Names(), QStringList{QStringLiteral("pingResponse")});
        const QString runId = reply.elements.first().attributes.value(QStringLiteral("CurrentRunId"));
        QVERIFY(!QUuid(runId).isNull());
        QCOMPARE(reply.elements.first().attributes.value(QStringLiteral("PingPeriodS")), QStringLiteral("3"));
        QCOMPARE(reply.elements.first().attributes.value(QStringLiteral("MinimalGuiStatus")),
                 QStringLiteral("kiosk <&> 'agent'"));
        QTRY_COMPARE(RecordCount(), before + 1);
        QCOMPARE(Records().at(before).value("token").toString(), QStringLiteral("TOKEN42"));
        QCOMPARE(Records().at(before).value("agent").toString(), QStringLiteral("agents[2]"));

        // Its run pings are recorded under the token.
        const ReplyDocument runReply = OpenReply(PostSignal(RunPingText(runId), true).body);
        QCOMPARE(runReply.elements.value(0).attributes.value(QStringLiteral("CurrentRunId")), runId);
        QTRY_COMPARE(RecordCount(), before + 2);
        QCOMPARE(Records().at(before + 1).value("kind").toString(), QStringLiteral("runPing"));
        QCOMPARE(Records().at(before + 1).value("token").toString(), QStringLiteral("TOKEN42"));
    }

    void runPingRepeatsRunId()
    {
        const QString runId = Login(QStringLiteral("alice"), QString::fromLatin1(AlicePassword), QStringLiteral("lab-1"));
        QVERIFY(!runId.isEmpty());
        for (int i = 0; i < 3; ++i) {
            const int before = RecordCount();
            const ReplyDocument reply = OpenReply(PostSignal(RunPingText(runId), true).body);
            QVERIFY2(reply.error.isEmpty(), qPrintable(reply.error));
            QCOMPARE(reply.Names(), QStringList{QStringLiteral("pingResponse")});
            QCOMPARE(reply.elements.first().attributes.value(QStringLiteral("CurrentRunId")), runId);
            QCOMPARE(reply.elements.first().attributes.value(QStringLiteral("PingPeriodS")), QStringLiteral("7"));
            QCOMPARE(reply.elements.first().attributes.value(QStringLiteral("MinimalGuiStatus")),
                     QStringLiteral("alice lab 1"));
            QTRY_COMPARE(RecordCount(), before + 1);
            const QJsonObject record = Records().at(before);
            QCOMPARE(record.value("kind").toString(), QStringLiteral("runPing"));
            QCOMPARE(record.value("runId").toString(), runId);
            QCOMPARE(record.value("userId").toString(), QStringLiteral("alice"));
            QCOMPARE(record.value("userDefinedAgentId").toString(), QStringLiteral("lab-1"));
            QCOMPARE(record.value("answer").toObject().value("runId").toString(), runId);
        }
    }

    void unknownRunGoesBackToLogin_data()
    {
        QTest::addColumn<QString>("runId");
        QTest::newRow("a UUID the server never gave") << QUuid::createUuid().toString(QUuid::WithoutBraces);
        QTest::newRow("empty run id") << "";
        QTest::newRow("run id full of markup") << "<&>'\"";
    }
    void unknownRunGoesBackToLogin()
    {
        QFETCH(QString, runId);
        const int before = RecordCount();
        const ReplyDocument reply = OpenReply(PostSignal(RunPingText(runId), true).body);
        QVERIFY2(reply.error.isEmpty(), qPrintable(reply.error));
        QCOMPARE(reply.Names(), QStringList{QStringLiteral("pingResponse")});
        QVERIFY(reply.elements.first().attributes.contains(QStringLiteral("CurrentRunId")));
        QCOMPARE(reply.elements.first().attributes.value(QStringLiteral("CurrentRunId")), QString());
        QCOMPARE(reply.elements.first().attributes.value(QStringLiteral("MinimalGuiStatus")), QStringLiteral("unknown run"));
        QTRY_COMPARE(RecordCount(), before + 1);
        const QJsonObject record = Records().at(before);
        QCOMPARE(record.value("kind").toString(), QStringLiteral("runPing"));
        QCOMPARE(record.value("runId").toString(), runId);
        QCOMPARE(record.value("answer").toObject().value("unknownRun").toBool(), true);
        QCOMPARE(record.value("answer").toObject().value("runId").toString(), QString());
    }

    // The plan's signals go out verbatim, once each, in the first reply at or after their
    // time: the one due at 0 s with the login reply (after the pingResponse, so that the agent
    // has its run id when it handles them), the later one with whichever request of that run
    // comes first once it is due.
    void plannedSignalsDeliveredOnceAtTheirTime_data()
    {
        QTest::addColumn<bool>("byObservation");
        QTest::newRow("run pings") << false;
        QTest::newRow("udpRxObservation reports of the run") << true;
    }
    void plannedSignalsDeliveredOnceAtTheirTime()
    {
        QFETCH(bool, byObservation);

        QElapsedTimer sinceLogin;
        sinceLogin.start();
        const HttpResult loginResult = PostSignal(LoginPingText(QStringLiteral("sched"), QStringLiteral("x"), QString()), true);
        const ReplyDocument login = OpenReply(loginResult.body);
        QVERIFY2(login.error.isEmpty(), qPrintable(login.error));
        QCOMPARE(login.Names(), (QStringList{QStringLiteral("pingResponse"), QStringLiteral("udpRxStreamsConfig")}));
        QVERIFY2(login.text.contains(SchedRxSignal), login.text.constData());
        const QString runId = login.elements.first().attributes.value(QStringLiteral("CurrentRunId"));

        const std::string observation =
            "<udpRxObservation DestinationAgentRunId='" + runId.toStdString() +
            "' SourceAgentRunId='' ActualBitsPerSecond='64000.000000' ActualPacketsPerSecond='40.000000' "
            "DestinationIp='127.0.0.1' DestinationPort='40000' ThisObservationDurationMs='5000' "
            "MaxInstantJitterMs='0.100000' MaxRfc3550JitterMs='0.050000' PacketLoss='0.000000' "
            "G107MOS='4.400000' SourceIp='127.0.0.1' SourcePort='50000' StartTimeClientSideLocal='12:00:00' />";
        int requestsBeforeSignal = 0;
        qint64 deliveredAtMs = -1;
        QString failure;
        const auto requestOnce = [&]() {
            if (deliveredAtMs >= 0)
                return true; // QTRY_VERIFY evaluates its expression once more after success
            const ReplyDocument reply =
                OpenReply(byObservation ? PostSignal(observation, false).body : PostSignal(RunPingText(runId), true).body);
            const qint64 elapsedMs = sinceLogin.elapsed();
            if (!reply.error.isEmpty())
                failure = reply.error;
            if (reply.Names().contains(QStringLiteral("udpRxStreamsConfig")))
                failure = QStringLiteral("the login's signal came again");
            if (!reply.Names().contains(QStringLiteral("udpTxStreamsConfig"))) {
                ++requestsBeforeSignal;
                return false;
            }
            if (!reply.text.contains(SchedTxSignal))
                failure = QStringLiteral("not verbatim: ") + QString::fromUtf8(reply.text);
            deliveredAtMs = elapsedMs;
            return true;
        };
        QTRY_VERIFY_WITH_TIMEOUT(requestOnce() || !failure.isEmpty(), 10000);
        QVERIFY2(failure.isEmpty(), qPrintable(failure));
        QVERIFY2(requestsBeforeSignal > 0, "the request right after login came before the signal's time");
        QVERIFY2(deliveredAtMs >= SchedTxAfterS * 1000, qPrintable(QString::number(deliveredAtMs)));
        QTRY_VERIFY(!Records().isEmpty());
        const QJsonObject record = Records().last();
        QCOMPARE(record.value("kind").toString(),
                 byObservation ? QStringLiteral("udpRxObservation") : QStringLiteral("runPing"));
        QCOMPARE(record.value("runId").toString(), runId);
        QCOMPARE(record.value("userId").toString(), QStringLiteral("sched"));
        QCOMPARE(record.value("answer").toObject().value("delivered").toArray(),
                 QJsonArray{QStringLiteral("udpTxStreamsConfig")});

        // Delivered once: later replies of the run hold the run's answer only.
        for (int i = 0; i < 2; ++i) {
            const ReplyDocument later = OpenReply(PostSignal(RunPingText(runId), true).body);
            QCOMPARE(later.Names(), QStringList{QStringLiteral("pingResponse")});
        }
    }

    // A broken reply replaces one reply of the run, never the login's; the next reply is whole.
    void brokenReplies_data()
    {
        QTest::addColumn<QString>("kind");
        QTest::addColumn<QString>("error");
        QTest::newRow("empty body") << "empty" << "remainingSize > 5";
        QTest::newRow("shorter than the chunk header") << "shortBody" << "remainingSize > 5";
        QTest::newRow("length beyond the body") << "badLength" << "remainingSize >= chunkDataSize";
        QTest::newRow("bad padding") << "badPadding" << "padding";
        QTest::newRow("XML cut short") << "brokenXml" << "XML: ";
    }
    void brokenReplies()
    {
        QFETCH(QString, kind);
        QFETCH(QString, error);

        const ReplyDocument login =
            OpenReply(PostSignal(LoginPingText(QStringLiteral("broken"), QStringLiteral("x"), kind), true).body);
        QVERIFY2(login.error.isEmpty(), qPrintable(login.error));
        QCOMPARE(login.Names(), (QStringList{QStringLiteral("pingResponse"), QStringLiteral("voipReadinessServerTestConfig")}));
        const QString runId = login.elements.first().attributes.value(QStringLiteral("CurrentRunId"));

        const int before = RecordCount();
        const HttpResult brokenResult = PostSignal(RunPingText(runId), true);
        QCOMPARE(brokenResult.status, 200);
        const ReplyDocument broken = OpenReply(brokenResult.body);
        QVERIFY2(broken.error.contains(error), qPrintable(broken.error));
        QTRY_COMPARE(RecordCount(), before + 1);
        QCOMPARE(Records().at(before).value("answer").toObject().value("brokenReply").toString(), kind);

        const ReplyDocument next = OpenReply(PostSignal(RunPingText(runId), true).body);
        QVERIFY2(next.error.isEmpty(), qPrintable(next.error));
        QCOMPARE(next.Names(), QStringList{QStringLiteral("pingResponse")});
        QCOMPARE(next.elements.first().attributes.value(QStringLiteral("CurrentRunId")), runId);
    }

    // Reports and unknown signals: every attribute recorded (unescaped), an empty document in
    // reply, and the run found by its run id.
    void agentSignalsRecorded_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("runIdAttribute");
        QTest::addColumn<QStringList>("otherAttributes");
        QTest::newRow("udpRxObservation")
            << "udpRxObservation" << "DestinationAgentRunId"
            << QStringList{"SourceAgentRunId", "", "ActualBitsPerSecond", "64000.000000", "ActualPacketsPerSecond",
                           "40.000000", "DestinationIp", "127.0.0.1", "DestinationPort", "40000",
                           "ThisObservationDurationMs", "5000", "MaxInstantJitterMs", "1.250000", "MaxRfc3550JitterMs",
                           "0.500000", "PacketLoss", "0.010000", "G107MOS", "4.100000", "SourceIp", "192.0.2.7",
                           "SourcePort", "50000", "StartTimeClientSideLocal", "2026-12-11 12:00:00"};
        QTest::newRow("voipReadinessTestResult, completed")
            << "voipReadinessTestResult" << "CurrentRunId"
            << QStringList{"SipAlgIsPresent_UdpInvite5060", "false", "SipAlgIsPresent_UdpInvite5062", "true",
                           "SipAlgIsPresent_UdpRegister5060", "false", "SipAlgIsPresent_UdpRegister5062", "false",
                           "Result", "Test completed"};
        QTest::newRow("voipReadinessTestResult, no connection")
            << "voipReadinessTestResult" << "CurrentRunId"
            << QStringList{"Result", "No connection to server, 2/4 packets received in response from port(s) 5060 "};
        QTest::newRow("a signal the server does not know, with markup in a value")
            << "somethingNew" << "CurrentRunId" << QStringList{"Text", "a < b & 'c' > \"d\""};
    }
    void agentSignalsRecorded()
    {
        QFETCH(QString, name);
        QFETCH(QString, runIdAttribute);
        QFETCH(QStringList, otherAttributes);

        const QString runId = Login(QStringLiteral("bob"), QStringLiteral("bobpw"));
        QVERIFY(!runId.isEmpty());
        QJsonObject expected{{runIdAttribute, runId}};
        std::string signal = "<" + name.toStdString() + " " + runIdAttribute.toStdString() + "='" + Esc(runId) + "'";
        for (int i = 0; i + 1 < otherAttributes.size(); i += 2) {
            signal += " " + otherAttributes.at(i).toStdString() + "='" + Esc(otherAttributes.at(i + 1)) + "'";
            expected.insert(otherAttributes.at(i), otherAttributes.at(i + 1));
        }
        signal += " />";

        const int before = RecordCount();
        const HttpResult result = PostSignal(signal, false);
        QCOMPARE(result.status, 200);
        const ReplyDocument reply = OpenReply(result.body);
        QVERIFY2(reply.error.isEmpty(), qPrintable(reply.error));
        QCOMPARE(reply.text, QByteArray("<response />"));
        QTRY_COMPARE(RecordCount(), before + 1);
        const QJsonObject record = Records().at(before);
        QCOMPARE(record.value("kind").toString(), name);
        QCOMPARE(record.value("signal").toString(), name);
        QCOMPARE(record.value("sealed").toBool(), false);
        QCOMPARE(record.value("attributes").toObject(), expected);
        QCOMPARE(record.value("runId").toString(), runId);
        QCOMPARE(record.value("userId").toString(), QStringLiteral("bob"));
    }

    void usageTexts_data()
    {
        QTest::addColumn<QByteArray>("body");
        QTest::addColumn<QString>("text");
        // E1 of "<uxTracking>starting</uxTracking>", computed with an independent AES
        // implementation.
        QTest::newRow("starting, known ciphertext")
            << QByteArray::fromHex("982e7cbc14029268ea68aefea50bf8bf42cf7eb2c8a1733e3c3777c21eab31be"
                                   "9e8eb71054b31c705735662dfa2f0acc")
            << "starting";
        QTest::newRow("stream note with escaped markup")
            << QByteArray::fromStdString(E1("<uxTracking>started UDP TX stream. destinationAddress = a&amp;b&lt;c"
                                            "</uxTracking>"))
            << "started UDP TX stream. destinationAddress = a&b<c";
    }
    void usageTexts()
    {
        QFETCH(QByteArray, body);
        QFETCH(QString, text);
        const int before = RecordCount();
        const HttpResult result = Send(QStringLiteral("POST"), QStringLiteral("/UxTracker.ashx"), body);
        QCOMPARE(result.status, 200);
        QTRY_COMPARE(RecordCount(), before + 1);
        const QJsonObject record = Records().at(before);
        QCOMPARE(record.value("kind").toString(), QStringLiteral("uxTracking"));
        QCOMPARE(record.value("endpoint").toString(), QStringLiteral("/UxTracker.ashx"));
        QCOMPARE(record.value("text").toString(), text);
    }

    void feedbackRecorded()
    {
        const QByteArray body =
            "<feedback rating='very good' email='me@example.com'><whatYouLike>fast &amp; small</whatYouLike>"
            "<whatNeedsToBeImproved>it&apos;s &lt;grey&gt;</whatNeedsToBeImproved></feedback>";
        const int before = RecordCount();
        QCOMPARE(Send(QStringLiteral("POST"), QStringLiteral("/FeedbackHandler.ashx"), body).status, 200);
        QTRY_COMPARE(RecordCount(), before + 1);
        const QJsonObject record = Records().at(before);
        QCOMPARE(record.value("kind").toString(), QStringLiteral("feedback"));
        QCOMPARE(record.value("attributes").toObject(),
                 (QJsonObject{{"rating", "very good"}, {"email", "me@example.com"}}));
        QCOMPARE(record.value("texts").toObject(),
                 (QJsonObject{{"whatYouLike", "fast & small"}, {"whatNeedsToBeImproved", "it's <grey>"}}));
    }

    // Whatever cannot be opened or parsed gets HTTP 400 and an error record; the server goes on.
    void malformedRequests_data()
    {
        QTest::addColumn<QString>("endpoint");
        QTest::addColumn<QByteArray>("body");
        QTest::addColumn<QString>("error");
        const QString agentManager = QStringLiteral("/AgentManager.ashx");
        const QString uxTracker = QStringLiteral("/UxTracker.ashx");
        const QString feedback = QStringLiteral("/FeedbackHandler.ashx");
        const std::string sealedLogin = E2(WrapSignal(LoginPingText("bob", "bobpw", "")));

        QTest::newRow("frame: empty body") << agentManager << QByteArray() << "shorter than its 5-byte header";
        QTest::newRow("frame: 3 bytes") << agentManager << QByteArray("\x05\x00\x00", 3) << "shorter than its 5-byte header";
        QTest::newRow("frame: length beyond the body")
            << agentManager << Frame(100, 0, "<request/>") << "length field";
        QTest::newRow("frame: negative length") << agentManager << Frame(-1, 0, "<request/>") << "length field";
        QTest::newRow("frame: sealed payload with a changed last byte")
            << agentManager << Frame(static_cast<qint32>(sealedLogin.size()), 1, WithLastByteChanged(sealedLogin))
            << "cannot open the sealed payload";
        QTest::newRow("frame: sealed payload of 15 bytes")
            << agentManager << Frame(15, 1, QByteArray(15, 'x')) << "cannot open the sealed payload";
        QTest::newRow("frame: sealed flag on a plain payload")
            << agentManager << Frame(32, 1, QByteArray("<request><pingRequest/></request")) << "cannot open the sealed payload";
        QTest::newRow("xml: cut short")
            << agentManager << BuildRequestFrame("<pingRequest UserId='a'", false) << "not well-formed XML";
        QTest::newRow("xml: unescaped ampersand in a value")
            << agentManager << BuildRequestFrame("<pingRequest UserId='a&b' />", false) << "not well-formed XML";
        QTest::newRow("xml: plain text") << agentManager << Frame(5, 0, "hello") << "not well-formed XML";
        QTest::newRow("xml: request without a signal") << agentManager << BuildRequestFrame("", false) << "holds no signal";
        QTest::newRow("xml: other root element")
            << agentManager << Frame(29, 0, "<reply><pingRequest/></reply>") << "not <request>";
        QTest::newRow("usage: empty body") << uxTracker << QByteArray() << "cannot open the sealed body";
        QTest::newRow("usage: 15 bytes") << uxTracker << QByteArray(15, 'x') << "cannot open the sealed body";
        QTest::newRow("usage: changed last byte")
            << uxTracker << WithLastByteChanged(E1("<uxTracking>starting</uxTracking>")) << "cannot open the sealed body";
        QTest::newRow("usage: plain text") << uxTracker << QByteArray("<uxTracking>starting</uxTracking>")
                                           << "cannot open the sealed body";
        QTest::newRow("usage: other root element")
            << uxTracker << QByteArray::fromStdString(E1("<usage>starting</usage>")) << "not <uxTracking>";
        QTest::newRow("usage: unescaped markup")
            << uxTracker << QByteArray::fromStdString(E1("<uxTracking>a < b</uxTracking>")) << "not well-formed XML";
        QTest::newRow("feedback: cut short")
            << feedback << QByteArray("<feedback rating='good' email=''><whatYouLike>") << "not well-formed XML";
        QTest::newRow("feedback: cut at 4095 characters, closing tags lost")
            << feedback
            << (QByteArray("<feedback rating='good' email=''><whatYouLike>") + QByteArray(4095 - 46, 'a'))
            << "not well-formed XML";
        QTest::newRow("feedback: other root element") << feedback << QByteArray("<comment/>") << "not <feedback>";
        QTest::newRow("feedback: empty body") << feedback << QByteArray() << "not well-formed XML";
    }
    void malformedRequests()
    {
        QFETCH(QString, endpoint);
        QFETCH(QByteArray, body);
        QFETCH(QString, error);

        const int before = RecordCount();
        const HttpResult result = Send(QStringLiteral("POST"), endpoint, body);
        QCOMPARE(result.status, 400);
        QVERIFY2(QString::fromUtf8(result.body).contains(error), result.body.constData());
        QTRY_COMPARE(RecordCount(), before + 1);
        const QJsonObject record = Records().at(before);
        QCOMPARE(record.value("kind").toString(), QStringLiteral("error"));
        QCOMPARE(record.value("endpoint").toString(), endpoint);
        QCOMPARE(record.value("status").toInt(), 400);
        QCOMPARE(record.value("bodyBytes").toInt(), body.size());
        QVERIFY2(record.value("error").toString().contains(error), qPrintable(record.value("error").toString()));

        // Still serving.
        QCOMPARE(Send(QStringLiteral("GET"), QStringLiteral("/")).status, 200);
    }

    // What the HTTP layer refuses by itself is recorded too.
    void refusedByHttpLayer_data()
    {
        QTest::addColumn<QByteArray>("request");
        QTest::addColumn<int>("status");
        QTest::addColumn<QString>("error");
        QTest::newRow("unknown page") << QByteArray("GET /nothing HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n")
                                      << 404 << "no such page";
        QTest::newRow("GET on an agent endpoint")
            << QByteArray("GET /AgentManager.ashx HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n") << 404
            << "no such page";
        QTest::newRow("not HTTP") << QByteArray("HELLO THERE\r\n\r\n") << 400 << "request refused by the HTTP layer";
        // The limit is 4 MiB; the server reads such a body to its end, then refuses it.
        const int tooLarge = 4 * 1024 * 1024 + 1;
        QTest::newRow("body over the size limit")
            << (QByteArray("POST /AgentManager.ashx HTTP/1.1\r\nHost: x\r\nConnection: close\r\nContent-Length: ") +
                QByteArray::number(tooLarge) + "\r\n\r\n" + QByteArray(tooLarge, 'x'))
            << 413 << "body too large";
    }
    void refusedByHttpLayer()
    {
        QFETCH(QByteArray, request);
        QFETCH(int, status);
        QFETCH(QString, error);
        const int before = RecordCount();
        const HttpResult result = RawRequest(port, request);
        QVERIFY2(result.error.isEmpty(), qPrintable(result.error));
        QCOMPARE(result.status, status);
        QTRY_COMPARE(RecordCount(), before + 1);
        const QJsonObject record = Records().at(before);
        QCOMPARE(record.value("kind").toString(), QStringLiteral("error"));
        QCOMPARE(record.value("status").toInt(), status);
        QCOMPARE(record.value("error").toString(), error);
    }

    void pages_data()
    {
        QTest::addColumn<QString>("path");
        QTest::addColumn<QString>("title");
        QTest::newRow("site") << "/" << "<title>Test manager (stand-in)</title>";
        QTest::newRow("sign-up") << "/SignUp234.aspx" << "<title>Register a new user</title>";
        QTest::newRow("forgotten password") << "/ForgotPassword.aspx" << "<title>Forgot password</title>";
    }
    void pages()
    {
        QFETCH(QString, path);
        QFETCH(QString, title);
        const int before = RecordCount();
        const HttpResult result = Send(QStringLiteral("GET"), path);
        QCOMPARE(result.status, 200);
        QVERIFY2(result.contentType.startsWith(QLatin1String("text/html")), qPrintable(result.contentType));
        QVERIFY2(QString::fromUtf8(result.body).contains(title), result.body.constData());
        QTRY_COMPARE(RecordCount(), before + 1);
        QCOMPARE(Records().at(before).value("kind").toString(), QStringLiteral("page"));
        QCOMPARE(Records().at(before).value("endpoint").toString(), path);
    }

    // Agents on several threads log in and ping at once, each on its own connections: every
    // run id is distinct, every run ping gets its own back, and every request is one whole
    // log line.
    void concurrentAgents()
    {
        constexpr int Threads = 16;
        constexpr int AgentsPerThread = 3;
        constexpr int PingsPerAgent = 4;
        const int before = RecordCount();
        QVector<QStringList> runIds(Threads);
        QVector<QString> failures(Threads);
        std::vector<std::thread> threads;
        for (int t = 0; t < Threads; ++t) {
            threads.emplace_back([this, t, &runIds, &failures] {
                for (int a = 0; a < AgentsPerThread; ++a) {
                    const QString agentId = QStringLiteral("t%1-a%2").arg(t).arg(a);
                    const ReplyDocument login =
                        OpenReply(RawPost(port, "/AgentManager.ashx",
                                          BuildRequestFrame(LoginPingText("bob", "bobpw", agentId), true))
                                      .body);
                    const QString runId = login.elements.value(0).attributes.value(QStringLiteral("CurrentRunId"));
                    if (runId.isEmpty()) {
                        failures[t] = QStringLiteral("login failed: ") + login.error;
                        return;
                    }
                    runIds[t].append(runId);
                }
                for (int p = 0; p < PingsPerAgent; ++p) {
                    for (const QString& runId : runIds[t]) {
                        const ReplyDocument reply = OpenReply(
                            RawPost(port, "/AgentManager.ashx", BuildRequestFrame(RunPingText(runId), true)).body);
                        if (reply.elements.value(0).attributes.value(QStringLiteral("CurrentRunId")) != runId) {
                            failures[t] = QStringLiteral("run ping of %1 answered wrongly: %2").arg(runId, reply.error);
                            return;
                        }
                    }
                }
            });
        }
        for (std::thread& thread : threads)
            thread.join();
        QSet<QString> distinct;
        for (int t = 0; t < Threads; ++t) {
            QVERIFY2(failures[t].isEmpty(), qPrintable(failures[t]));
            for (const QString& runId : runIds[t])
                distinct.insert(runId);
        }
        QCOMPARE(distinct.size(), Threads * AgentsPerThread);
        const int expected = before + Threads * AgentsPerThread * (1 + PingsPerAgent);
        QTRY_COMPARE(RecordCount(), expected);
        const QList<QJsonObject> records = Records();
        for (int i = before; i < expected; ++i)
            QVERIFY2(records.at(i).value("status").toInt() == 200, qPrintable(QString::number(i)));
    }

    void startRefused_data()
    {
        QTest::addColumn<QByteArray>("plan");
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<int>("exitCode");
        QTest::addColumn<QString>("message");
        const QByteArray goodPlan = R"({"accounts": [{"userId": "a", "password": "b"}]})";
        const QStringList withPlan{"--plan", "PLAN"};
        QTest::newRow("plan file missing") << QByteArray() << QStringList{"--plan", "DIR/none.json"} << 1
                                           << "bad plan DIR/none.json: cannot read";
        QTest::newRow("plan not JSON") << QByteArray("{accounts: [") << withPlan << 1 << "bad plan PLAN: invalid JSON";
        QTest::newRow("plan is an array") << QByteArray("[]") << withPlan << 1 << "the top level must be an object";
        QTest::newRow("no accounts") << QByteArray("{}") << withPlan << 1 << "missing field \"accounts\"";
        QTest::newRow("account without password")
            << QByteArray(R"({"accounts": [{"userId": "a"}]})") << withPlan << 1
            << "accounts[0]: missing field \"password\"";
        QTest::newRow("account with both kinds of login")
            << QByteArray(R"({"accounts": [{"userId": "a", "password": "b", "token": "T"}]})") << withPlan << 1
            << "accounts[0]: needs \"userId\" and \"password\", or \"token\", not both";
        QTest::newRow("user id given twice")
            << QByteArray(R"({"accounts": [{"userId": "a", "password": "b"}, {"userId": "a", "password": "c"}]})")
            << withPlan << 1 << "accounts[1]: the user id \"a\" is given twice";
        QTest::newRow("misspelt field")
            << QByteArray(R"({"pingPeriod": 5, "accounts": []})") << withPlan << 1 << "unknown field \"pingPeriod\"";
        QTest::newRow("negative ping period")
            << QByteArray(R"({"pingPeriodS": -1, "accounts": []})") << withPlan << 1 << "\"pingPeriodS\" must be a whole number";
        QTest::newRow("agent of an unknown user")
            << QByteArray(R"({"accounts": [{"userId": "a", "password": "b"}], "agents": [{"userId": "z"}]})")
            << withPlan << 1 << "agents[0]: no account has the user id \"z\"";
        QTest::newRow("the same agent twice")
            << QByteArray(R"({"accounts": [{"token": "T"}], "agents": [{"token": "T"}, {"token": "T"}]})")
            << withPlan << 1 << "agents[1]: the same agent as agents[0]";
        QTest::newRow("signal without its time")
            << QByteArray(R"({"accounts": [{"token": "T"}], "agents": [{"token": "T", "signals": [{"xml": "<a/>"}]}]})")
            << withPlan << 1 << "agents[0].signals[0]: missing field \"afterS\"";
        QTest::newRow("signal XML not well-formed")
            << QByteArray(R"({"accounts": [{"token": "T"}], "agents": [{"token": "T", "signals": [{"afterS": 1, "xml": "<a>"}]}]})")
            << withPlan << 1 << "agents[0].signals[0]: field \"xml\" is not well-formed XML";
        QTest::newRow("signal with both XML and a broken reply")
            << QByteArray(R"({"accounts": [{"token": "T"}], "agents": [{"token": "T", "signals": [{"afterS": 1, "xml": "<a/>", "brokenReply": "empty"}]}]})")
            << withPlan << 1 << "needs exactly one of \"xml\" and \"brokenReply\"";
        QTest::newRow("unknown kind of broken reply")
            << QByteArray(R"({"accounts": [{"token": "T"}], "agents": [{"token": "T", "signals": [{"afterS": 1, "brokenReply": "odd"}]}]})")
            << withPlan << 1 << "\"brokenReply\" must be one of empty, shortBody";
        QTest::newRow("no --plan") << goodPlan << QStringList{} << 2 << "--plan FILE is required";
        QTest::newRow("unknown argument") << goodPlan << (withPlan + QStringList{"--verbose"}) << 2
                                          << "unknown argument '--verbose'";
        QTest::newRow("--listen without a port") << goodPlan << (withPlan + QStringList{"--listen", "127.0.0.1"}) << 2
                                                 << "--listen needs ADDR:PORT";
        QTest::newRow("--listen with a port too high") << goodPlan << (withPlan + QStringList{"--listen", "127.0.0.1:65536"})
                                                       << 2 << "--listen needs ADDR:PORT";
        QTest::newRow("busy port") << goodPlan << (withPlan + QStringList{"--listen", "127.0.0.1:BUSY"}) << 1
                                   << "cannot listen on 127.0.0.1:BUSY: Address already in use";
        QTest::newRow("address of no local interface")
            << goodPlan << (withPlan + QStringList{"--listen", "192.0.2.1:0"}) << 1
            << "cannot listen on 192.0.2.1:0: Cannot assign requested address";
        QTest::newRow("log file in a missing folder")
            << goodPlan << (withPlan + QStringList{"--log", "DIR/no/such/folder/log.jsonl"}) << 1
            << "cannot open log file DIR/no/such/folder/log.jsonl: No such file or directory";
    }
    void startRefused()
    {
        QFETCH(QByteArray, plan);
        QFETCH(QStringList, arguments);
        QFETCH(int, exitCode);
        QFETCH(QString, message);

        QTemporaryDir planDir;
        QVERIFY(planDir.isValid());
        const QString planPath = planDir.filePath(QStringLiteral("plan.json"));
        if (!plan.isNull()) {
            QFile file(planPath);
            QVERIFY(file.open(QIODevice::WriteOnly));
            file.write(plan);
        }
        QTcpServer busy;
        QVERIFY(busy.listen(QHostAddress::LocalHost, 0));
        const QString busyPort = QString::number(busy.serverPort());
        for (QString& argument : arguments) {
            argument.replace(QLatin1String("PLAN"), planPath);
            argument.replace(QLatin1String("DIR"), planDir.path());
            argument.replace(QLatin1String("BUSY"), busyPort);
        }
        message.replace(QLatin1String("PLAN"), planPath);
        message.replace(QLatin1String("DIR"), planDir.path());
        message.replace(QLatin1String("BUSY"), busyPort);

        QProcess process;
        process.start(QStringLiteral(TESTMANAGER_PATH), arguments);
        QVERIFY(process.waitForFinished(10000));
        QCOMPARE(process.exitStatus(), QProcess::NormalExit);
        QCOMPARE(process.exitCode(), exitCode);
        const QString stderrText = QString::fromLocal8Bit(process.readAllStandardError());
        QVERIFY2(stderrText.startsWith(QLatin1String("testmanager: ")) && stderrText.count(QLatin1Char('\n')) == 1 &&
                     stderrText.endsWith(QLatin1Char('\n')),
                 qPrintable(stderrText));
        QVERIFY2(stderrText.contains(message), qPrintable(stderrText));
        QVERIFY(!process.readAllStandardOutput().contains("listening on"));
    }

    void help()
    {
        QProcess process;
        process.start(QStringLiteral(TESTMANAGER_PATH), {QStringLiteral("--help")});
        QVERIFY(process.waitForFinished(10000));
        QCOMPARE(process.exitCode(), 0);
        const QByteArray text = process.readAllStandardOutput();
        QVERIFY2(text.startsWith("Usage: testmanager --plan FILE [--listen ADDR:PORT] [--log FILE]"), text.constData());
        QVERIFY(text.contains("--help"));
    }

    // Without --log the records follow the "listening on" line on stdout; SIGINT and SIGTERM
    // end the server with status 0 and a last "stop" record.
    void endsCleanlyOnSignal_data()
    {
        QTest::addColumn<int>("signalNumber");
        QTest::addColumn<QString>("signalName");
        QTest::newRow("SIGTERM") << int(SIGTERM) << "SIGTERM";
        QTest::newRow("SIGINT") << int(SIGINT) << "SIGINT";
    }
    void endsCleanlyOnSignal()
    {
        QFETCH(int, signalNumber);
        QFETCH(QString, signalName);

        QProcess process;
        quint16 ownPort = 0;
        QString error;
        QVERIFY2(StartServer(&process, {QStringLiteral("--plan"), dir.filePath(QStringLiteral("plan.json"))}, &ownPort,
                             &error),
                 qPrintable(error));
        QByteArray out;
        QTRY_VERIFY((out += process.readAllStandardOutput()).contains("\"kind\":\"start\""));
        const HttpResult login =
            RawPost(ownPort, "/AgentManager.ashx", BuildRequestFrame(LoginPingText("bob", "bobpw", ""), true));
        QCOMPARE(login.status, 200);
        QTRY_VERIFY((out += process.readAllStandardOutput()).contains("\"kind\":\"loginPing\""));

        ::kill(static_cast<pid_t>(process.processId()), signalNumber);
        QVERIFY(process.waitForFinished(10000));
        QCOMPARE(process.exitStatus(), QProcess::NormalExit);
        QCOMPARE(process.exitCode(), 0);
        out += process.readAllStandardOutput();
        const QList<QByteArray> lines = out.trimmed().split('\n');
        const QJsonObject last = QJsonDocument::fromJson(lines.last()).object();
        QCOMPARE(last.value("kind").toString(), QStringLiteral("stop"));
        QCOMPARE(last.value("signal").toString(), signalName);
        for (const QByteArray& line : lines)
            QVERIFY2(QJsonDocument::fromJson(line).isObject(), line.constData());
        const QByteArray stderrText = process.readAllStandardError();
        QVERIFY2(stderrText.isEmpty(), stderrText.constData());
    }
};

QTEST_GUILESS_MAIN(Tst_TestManager)
#include "tst_testmanager.moc"
