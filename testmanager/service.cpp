#include "testmanager/service.h"

#include "core/exception.h"
#include "manager/cryptoprocedures.h"
#include "manager/frames.h"
#include "testmanager/requestlog.h"

#include <QJsonArray>
#include <QUuid>
#include <QXmlStreamReader>

#include <QtEndian>

namespace {

// Bytes of a refused body shown in its error record, as hex.
constexpr int BodyHeadBytes = 32;
// Characters of an opened but refused text kept in its error record.
constexpr int OpenedTextMaxChars = 4096;

// Header of a response chunk: 1 flag byte, then the 32-bit payload length.
constexpr int ChunkHeaderBytes = 5;
constexpr int ChunkLengthOffset = 1;
constexpr int AesBlockBytes = 16;

// A request that is refused with HTTP 400; the message goes into the error record.
class BadRequest : public std::runtime_error
{
public:
    explicit BadRequest(const QString& message) : std::runtime_error(message.toStdString()) {}
};

QString XmlErrorText(const QXmlStreamReader& reader)
{
    return QStringLiteral("not well-formed XML: %1 (line %2, column %3)")
        .arg(reader.errorString())
        .arg(reader.lineNumber())
        .arg(reader.columnNumber());
}

// Reads on to the end of the document, so that an error after the part that was used still
// refuses the request.
void ReadToEnd(QXmlStreamReader* reader)
{
    while (!reader->atEnd())
        reader->readNext();
    if (reader->hasError())
        throw BadRequest(XmlErrorText(*reader));
}

// Moves to the root element and checks its name.
void ReadRoot(QXmlStreamReader* reader, const QString& expectedName)
{
    if (!reader->readNextStartElement()) {
        if (reader->hasError())
            throw BadRequest(XmlErrorText(*reader));
        throw BadRequest(QStringLiteral("no XML element in the body"));
    }
    if (reader->name() != expectedName)
        throw BadRequest(QStringLiteral("the root element is <%1>, not <%2>")
                             .arg(reader->name().toString(), expectedName));
}

std::string UpToFirstZero(const std::string& text)
{
    return text.substr(0, text.find('\0'));
}

// All attributes as a JSON object; the password's value is masked, since the log is meant to be
// read by people and kept.
QJsonObject AttributesForLog(const QXmlStreamAttributes& attributes)
{
    QJsonObject object;
    for (const QXmlStreamAttribute& attribute : attributes) {
        const QString name = attribute.qualifiedName().toString();
        QString value = attribute.value().toString();
        if (name == QLatin1String("Password") && !value.isEmpty())
            value = QStringLiteral("***");
        object.insert(name, value);
    }
    return object;
}

std::string Escaped(const QString& text)
{
    return EscapeXml(text.toStdString());
}

std::string PingResponseElement(const QString& runId, int pingPeriodS, const QString& status)
{
    return "<pingResponse CurrentRunId='" + Escaped(runId) + "' PingPeriodS='" +
           std::to_string(pingPeriodS) + "' MinimalGuiStatus='" + Escaped(status) + "' />";
}

QString Hex(const std::string& bytes, int maxBytes)
{
    return QString::fromLatin1(
        QByteArray(bytes.data(), std::min(static_cast<int>(bytes.size()), maxBytes)).toHex());
}

// The chunk of a deliberately damaged reply; see BrokenReply.
std::string BrokenChunk(BrokenReply kind, const std::string& document)
{
    switch (kind) {
    case BrokenReply::None:
        break;
    case BrokenReply::Empty:
        return std::string();
    case BrokenReply::ShortBody:
        return std::string("\x01\x00\x00", 3);
    case BrokenReply::BadLength: {
        QByteArray chunk = BuildResponseChunk(document, true);
        const qint32 claimed = chunk.size() - ChunkHeaderBytes + 100;
        qToLittleEndian<qint32>(claimed, chunk.data() + ChunkLengthOffset);
        return chunk.toStdString();
    }
    case BrokenReply::BadPadding: {
        // In CBC the last plaintext block is the deciphered last block XOR the block before
        // it: XOR-ing the padding count into that block's last byte turns the last padding
        // byte into 0, which PKCS #7 never allows. Trailing blanks (still well-formed XML)
        // make sure that there is a block before the last; the sealed text is the padded
        // document plus its zero byte.
        const std::string padded = document + std::string(AesBlockBytes, ' ');
        QByteArray chunk = BuildResponseChunk(padded, true);
        const int plainBytes = static_cast<int>(padded.size()) + 1;
        const int paddingCount = AesBlockBytes - plainBytes % AesBlockBytes;
        const int changed = chunk.size() - AesBlockBytes - 1;
        chunk[changed] = static_cast<char>(chunk.at(changed) ^ paddingCount);
        return chunk.toStdString();
    }
    case BrokenReply::BrokenXml:
        return BuildResponseChunk(document.substr(0, document.size() / 2), true).toStdString();
    }
    return BuildResponseChunk(document, true).toStdString();
}

} // namespace

TestManagerService::TestManagerService(Plan plan, RequestLog* log) : plan(std::move(plan)), log(log) {}

int TestManagerService::RunCount()
{
    std::lock_guard<std::mutex> guard(runsLock);
    return runs.size();
}

HttpReply TestManagerService::AgentManager(const RequestContext& context, const std::string& body)
{
    QJsonObject record;
    record.insert(QStringLiteral("endpoint"), QString::fromStdString(context.endpoint));
    record.insert(QStringLiteral("remote"), QString::fromStdString(context.remote));

    RequestFrame frame;
    try {
        frame = DecodeRequestFrame(QByteArray::fromStdString(body));
    } catch (const Exception& e) {
        return Error(record, QString::fromLatin1(e.what()), body);
    } catch (const std::exception& e) {
        return Error(record, QStringLiteral("cannot open the sealed payload: ") + QString::fromLatin1(e.what()),
                     body);
    }
    record.insert(QStringLiteral("sealed"), frame.sealed);

    QString name;
    QXmlStreamAttributes attributes;
    try {
        QXmlStreamReader reader(QByteArray::fromStdString(frame.text));
        ReadRoot(&reader, QStringLiteral("request"));
        if (!reader.readNextStartElement()) {
            if (reader.hasError())
                throw BadRequest(XmlErrorText(reader));
            throw BadRequest(QStringLiteral("the request holds no signal"));
        }
        name = reader.name().toString();
        attributes = reader.attributes();
        ReadToEnd(&reader);
    } catch (const BadRequest& e) {
        return Error(record, QString::fromStdString(e.what()), body, frame.text);
    }
    record.insert(QStringLiteral("signal"), name);
    record.insert(QStringLiteral("attributes"), AttributesForLog(attributes));

    HttpReply reply;
    if (name == QLatin1String("pingRequest")) {
        if (attributes.hasAttribute(QLatin1String("CurrentRunId")))
            reply = RunPing(attributes, &record);
        else
            reply = LoginPing(attributes, &record);
    } else {
        reply = OtherSignal(name, attributes, &record);
    }
    record.insert(QStringLiteral("status"), reply.status);
    log->Write(record);
    return reply;
}

HttpReply TestManagerService::LoginPing(const QXmlStreamAttributes& attributes, QJsonObject* record)
{
    const QString userId = attributes.value(QLatin1String("UserId")).toString();
    const QString password = attributes.value(QLatin1String("Password")).toString();
    const QString token = attributes.value(QLatin1String("AuthTokenForFileName")).toString();
    const QString agentId = attributes.value(QLatin1String("UserDefinedAgentId")).toString();
    record->insert(QStringLiteral("kind"), QStringLiteral("loginPing"));
    record->insert(QStringLiteral("userId"), userId);
    record->insert(QStringLiteral("userDefinedAgentId"), agentId);
    record->insert(QStringLiteral("token"), token);

    QJsonObject answer;
    QString reason;
    if (!FindAccount(plan, userId, password, token, &reason)) {
        answer.insert(QStringLiteral("signals"), QJsonArray{QStringLiteral("badLogin")});
        answer.insert(QStringLiteral("minimalGuiStatus"), plan.badLoginStatus);
        answer.insert(QStringLiteral("reason"), reason);
        return Reply("<badLogin MinimalGuiStatus='" + Escaped(plan.badLoginStatus) + "' />", DueItems(),
                     &answer, record);
    }

    Run run;
    run.token = token;
    run.userId = token.isEmpty() ? userId : QString();
    run.userDefinedAgentId = token.isEmpty() ? agentId : QString();
    run.agent = FindAgent(plan, run.userId, run.userDefinedAgentId, run.token);
    run.loginAt = std::chrono::steady_clock::now();
    if (run.agent)
        run.delivered.assign(run.agent->items.size(), false);
    const QString runId = QUuid::createUuid().toString(QUuid::WithoutBraces);
    const int pingPeriodS = run.agent ? run.agent->pingPeriodS : plan.pingPeriodS;
    const QString status = run.agent ? run.agent->minimalGuiStatus : plan.minimalGuiStatus;
    DueItems due;
    {
        std::lock_guard<std::mutex> guard(runsLock);
        Run& stored = runs[runId];
        stored = run;
        due = TakeDueItems(&stored, false);
    }
    if (run.agent)
        record->insert(QStringLiteral("agent"), run.agent->label);
    record->insert(QStringLiteral("runId"), runId);
    answer.insert(QStringLiteral("runId"), runId);
    answer.insert(QStringLiteral("pingPeriodS"), pingPeriodS);
    answer.insert(QStringLiteral("minimalGuiStatus"), status);
    answer.insert(QStringLiteral("signals"), QJsonArray{QStringLiteral("pingResponse")});
    return Reply(PingResponseElement(runId, pingPeriodS, status), due, &answer, record);
}

HttpReply TestManagerService::RunPing(const QXmlStreamAttributes& attributes, QJsonObject* record)
{
    const QString runId = attributes.value(QLatin1String("CurrentRunId")).toString();
    record->insert(QStringLiteral("kind"), QStringLiteral("runPing"));
    record->insert(QStringLiteral("runId"), runId);

    QJsonObject answer;
    answer.insert(QStringLiteral("signals"), QJsonArray{QStringLiteral("pingResponse")});
    DueItems due;
    const PlanAgent* agent = nullptr;
    bool known = false;
    {
        std::lock_guard<std::mutex> guard(runsLock);
        const auto it = runs.find(runId);
        if (it != runs.end()) {
            known = true;
            agent = it->agent;
            AddIdentity(*it, record);
            due = TakeDueItems(&*it, true);
        }
    }
    if (!known) {
        // An empty run id sends the agent back to its login pings.
        answer.insert(QStringLiteral("runId"), QString());
        answer.insert(QStringLiteral("unknownRun"), true);
        answer.insert(QStringLiteral("pingPeriodS"), plan.pingPeriodS);
        answer.insert(QStringLiteral("minimalGuiStatus"), plan.unknownRunStatus);
        return Reply(PingResponseElement(QString(), plan.pingPeriodS, plan.unknownRunStatus),
                     due, &answer, record);
    }
    const int pingPeriodS = agent ? agent->pingPeriodS : plan.pingPeriodS;
    const QString status = agent ? agent->minimalGuiStatus : plan.minimalGuiStatus;
    answer.insert(QStringLiteral("runId"), runId);
    answer.insert(QStringLiteral("pingPeriodS"), pingPeriodS);
    answer.insert(QStringLiteral("minimalGuiStatus"), status);
    return Reply(PingResponseElement(runId, pingPeriodS, status), due, &answer, record);
}

HttpReply TestManagerService::OtherSignal(const QString& name, const QXmlStreamAttributes& attributes,
                                          QJsonObject* record)
{
    record->insert(QStringLiteral("kind"), name);
    // The run id that names the sending agent: a receiver reports as the destination of the
    // stream it measured.
    const QString runIdAttribute = name == QLatin1String("udpRxObservation")
                                       ? QStringLiteral("DestinationAgentRunId")
                                       : QStringLiteral("CurrentRunId");
    const QString runId = attributes.value(runIdAttribute).toString();
    DueItems due;
    if (!runId.isEmpty()) {
        std::lock_guard<std::mutex> guard(runsLock);
        const auto it = runs.find(runId);
        if (it != runs.end()) {
            record->insert(QStringLiteral("runId"), runId);
            AddIdentity(*it, record);
            due = TakeDueItems(&*it, true);
        }
    }
    QJsonObject answer;
    answer.insert(QStringLiteral("signals"), QJsonArray());
    return Reply(std::string(), due, &answer, record);
}

TestManagerService::DueItems TestManagerService::TakeDueItems(Run* run, bool allowBroken)
{
    DueItems due;
    if (!run->agent)
        return due;
    const double sinceLoginS =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - run->loginAt).count();
    const std::vector<PlannedItem>& items = run->agent->items;
    if (allowBroken) {
        for (size_t i = 0; i < items.size(); ++i) {
            if (!run->delivered[i] && items[i].broken != BrokenReply::None && items[i].afterS <= sinceLoginS) {
                run->delivered[i] = true;
                due.broken = items[i].broken;
                return due;
            }
        }
    }
    for (size_t i = 0; i < items.size(); ++i) {
        if (!run->delivered[i] && items[i].broken == BrokenReply::None && items[i].afterS <= sinceLoginS) {
            run->delivered[i] = true;
            due.xml += items[i].xml;
            due.elementNames += items[i].elementNames;
        }
    }
    return due;
}

void TestManagerService::AddIdentity(const Run& run, QJsonObject* record)
{
    if (run.token.isEmpty()) {
        record->insert(QStringLiteral("userId"), run.userId);
        record->insert(QStringLiteral("userDefinedAgentId"), run.userDefinedAgentId);
    } else {
        record->insert(QStringLiteral("token"), run.token);
    }
    if (run.agent)
        record->insert(QStringLiteral("agent"), run.agent->label);
}

// The reply document is <response> holding firstElements (the answer to the request itself)
// followed by the plan's due signals; "<response />" when it holds nothing.
HttpReply TestManagerService::Reply(const std::string& firstElements, const DueItems& due,
                                    QJsonObject* answer, QJsonObject* record)
{
    HttpReply reply;
    const std::string content = firstElements + due.xml;
    const std::string document = content.empty() ? "<response />" : "<response>" + content + "</response>";
    if (due.broken != BrokenReply::None) {
        answer->insert(QStringLiteral("brokenReply"), BrokenReplyName(due.broken));
        answer->insert(QStringLiteral("signals"), QJsonArray());
        reply.body = BrokenChunk(due.broken, document);
    } else {
        QJsonArray signalNames = answer->value(QStringLiteral("signals")).toArray();
        for (const QString& name : due.elementNames)
            signalNames.append(name);
        answer->insert(QStringLiteral("signals"), signalNames);
        if (!due.elementNames.isEmpty())
            answer->insert(QStringLiteral("delivered"), QJsonArray::fromStringList(due.elementNames));
        reply.body = BuildResponseChunk(document, true).toStdString();
    }
    record->insert(QStringLiteral("answer"), *answer);
    return reply;
}

HttpReply TestManagerService::Error(QJsonObject record, const QString& message, const std::string& body,
                                    const std::string& openedText)
{
    record.insert(QStringLiteral("kind"), QStringLiteral("error"));
    record.insert(QStringLiteral("error"), message);
    record.insert(QStringLiteral("status"), 400);
    record.insert(QStringLiteral("bodyBytes"), static_cast<qint64>(body.size()));
    record.insert(QStringLiteral("bodyHead"), Hex(body, BodyHeadBytes));
    if (!openedText.empty())
        record.insert(QStringLiteral("text"),
                      QString::fromUtf8(openedText.data(), static_cast<int>(std::min<size_t>(
                                                               openedText.size(), OpenedTextMaxChars))));
    log->Write(record);
    HttpReply reply;
    reply.status = 400;
    reply.contentType = "text/plain";
    reply.body = message.toStdString() + "\n";
    return reply;
}

HttpReply TestManagerService::UxTracker(const RequestContext& context, const std::string& body)
{
    QJsonObject record;
    record.insert(QStringLiteral("endpoint"), QString::fromStdString(context.endpoint));
    record.insert(QStringLiteral("remote"), QString::fromStdString(context.remote));
    std::string text;
    try {
        text = UpToFirstZero(D1(body));
    } catch (const std::exception& e) {
        return Error(record, QStringLiteral("cannot open the sealed body: ") + QString::fromLatin1(e.what()),
                     body);
    }
    QString usage;
    try {
        QXmlStreamReader reader(QByteArray::fromStdString(text));
        ReadRoot(&reader, QStringLiteral("uxTracking"));
        usage = reader.readElementText(QXmlStreamReader::ErrorOnUnexpectedElement);
        ReadToEnd(&reader);
    } catch (const BadRequest& e) {
        return Error(record, QString::fromStdString(e.what()), body, text);
    }
    record.insert(QStringLiteral("kind"), QStringLiteral("uxTracking"));
    record.insert(QStringLiteral("text"), usage);
    record.insert(QStringLiteral("status"), 200);
    log->Write(record);
    HttpReply reply;
    reply.contentType = "text/plain";
    return reply;
}

HttpReply TestManagerService::Feedback(const RequestContext& context, const std::string& body)
{
    QJsonObject record;
    record.insert(QStringLiteral("endpoint"), QString::fromStdString(context.endpoint));
    record.insert(QStringLiteral("remote"), QString::fromStdString(context.remote));
    QJsonObject texts;
    QXmlStreamAttributes attributes;
    try {
        QXmlStreamReader reader(QByteArray::fromStdString(body));
        ReadRoot(&reader, QStringLiteral("feedback"));
        attributes = reader.attributes();
        while (reader.readNextStartElement()) {
            const QString name = reader.name().toString();
            texts.insert(name, reader.readElementText(QXmlStreamReader::ErrorOnUnexpectedElement));
        }
        ReadToEnd(&reader);
    } catch (const BadRequest& e) {
        return Error(record, QString::fromStdString(e.what()), body, body);
    }
    record.insert(QStringLiteral("kind"), QStringLiteral("feedback"));
    record.insert(QStringLiteral("attributes"), AttributesForLog(attributes));
    record.insert(QStringLiteral("texts"), texts);
    record.insert(QStringLiteral("status"), 200);
    log->Write(record);
    HttpReply reply;
    reply.contentType = "text/plain";
    return reply;
}

HttpReply TestManagerService::Page(const RequestContext& context)
{
    static const char* const head =
        "<!DOCTYPE html>\n<html><head><meta charset=\"utf-8\"><title>%1</title></head>\n<body>\n<h1>%1</h1>\n";
    QString title;
    QString text;
    if (context.endpoint == "/SignUp234.aspx") {
        title = QStringLiteral("Register a new user");
        text = QStringLiteral("<p>This stand-in test manager takes its accounts from its plan file. "
                              "Add an entry with \"userId\" and \"password\" to \"accounts\" and restart it.</p>");
    } else if (context.endpoint == "/ForgotPassword.aspx") {
        title = QStringLiteral("Forgot password");
        text = QStringLiteral("<p>Passwords are kept in the plan file that this stand-in test manager was "
                              "started with; look them up there.</p>");
    } else {
        title = QStringLiteral("Test manager (stand-in)");
        text = QStringLiteral("<p>Agents: %1 account(s), %2 agent plan(s), %3 run(s) since start.</p>\n"
                              "<p><a href=\"/SignUp234.aspx\">register new user</a> | "
                              "<a href=\"/ForgotPassword.aspx\">forgot password</a></p>")
                   .arg(plan.accounts.size())
                   .arg(plan.agents.size())
                   .arg(RunCount());
    }
    QJsonObject record;
    record.insert(QStringLiteral("endpoint"), QString::fromStdString(context.endpoint));
    record.insert(QStringLiteral("remote"), QString::fromStdString(context.remote));
    record.insert(QStringLiteral("kind"), QStringLiteral("page"));
    record.insert(QStringLiteral("status"), 200);
    log->Write(record);
    HttpReply reply;
    reply.contentType = "text/html; charset=utf-8";
    reply.body = (QString::fromLatin1(head).arg(title) + text + QStringLiteral("\n</body></html>\n")).toStdString();
    return reply;
}

std::string TestManagerService::HttpError(const RequestContext& context, const std::string& method, int status,
                                          const std::string& detail)
{
    QString message;
    switch (status) {
    case 404: message = QStringLiteral("no such page"); break;
    case 405: message = QStringLiteral("method not allowed"); break;
    case 413: message = QStringLiteral("body too large"); break;
    case 500: message = QStringLiteral("internal error"); break;
    default: message = QStringLiteral("request refused by the HTTP layer"); break;
    }
    if (!detail.empty())
        message += QStringLiteral(": ") + QString::fromStdString(detail);
    QJsonObject record;
    record.insert(QStringLiteral("endpoint"), QString::fromStdString(context.endpoint));
    record.insert(QStringLiteral("remote"), QString::fromStdString(context.remote));
    record.insert(QStringLiteral("kind"), QStringLiteral("error"));
    record.insert(QStringLiteral("method"), QString::fromStdString(method));
    record.insert(QStringLiteral("error"), message);
    record.insert(QStringLiteral("status"), status);
    log->Write(record);
    return message.toStdString() + "\n";
}
