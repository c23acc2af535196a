#include "testmanager/plan.h"

#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QXmlStreamReader>

#include <cmath>

namespace {

const char* const DefaultMinimalGuiStatus = "Logged in to the test manager";
const char* const DefaultBadLoginStatus = "Wrong user id or password";
const char* const DefaultUnknownRunStatus = "The test manager does not know this run; logging in again";

// Longest accepted ping period: one day, in seconds.
constexpr int MaxPingPeriodS = 86400;

const struct
{
    BrokenReply kind;
    const char* name;
} brokenReplyNames[] = {
    {BrokenReply::Empty, "empty"},
    {BrokenReply::ShortBody, "shortBody"},
    {BrokenReply::BadLength, "badLength"},
    {BrokenReply::BadPadding, "badPadding"},
    {BrokenReply::BrokenXml, "brokenXml"},
};

QString Quoted(const QString& text)
{
    return QLatin1Char('"') + text + QLatin1Char('"');
}

// Reads the fields of one JSON object, refusing unknown ones so that a misspelt field name
// does not silently fall back to a default.
class ObjectReader
{
public:
    ObjectReader(const QJsonValue& value, const QString& where) : where(where)
    {
        if (!value.isObject())
            Fail(QStringLiteral("must be an object"));
        object = value.toObject();
    }

    [[noreturn]] void Fail(const QString& what) const
    {
        throw PlanError(where.isEmpty() ? what : where + QStringLiteral(": ") + what);
    }

    bool Has(const char* name) const { return object.contains(QLatin1String(name)); }

    void CheckKnownFields(const QStringList& known) const
    {
        for (auto it = object.begin(); it != object.end(); ++it) {
            if (!known.contains(it.key()))
                Fail(QStringLiteral("unknown field ") + Quoted(it.key()));
        }
    }

    QString String(const char* name, bool required, const QString& fallback = QString()) const
    {
        const QJsonValue value = object.value(QLatin1String(name));
        if (value.isUndefined()) {
            if (required)
                Fail(QStringLiteral("missing field ") + Quoted(QLatin1String(name)));
            return fallback;
        }
        if (!value.isString())
            Fail(QStringLiteral("field ") + Quoted(QLatin1String(name)) +
                 QStringLiteral(" must be a string"));
        return value.toString();
    }

    QString NonEmptyString(const char* name) const
    {
        const QString text = String(name, true);
        if (text.isEmpty())
            Fail(QStringLiteral("field ") + Quoted(QLatin1String(name)) +
                 QStringLiteral(" must not be empty"));
        return text;
    }

    double Number(const char* name, bool required, double fallback) const
    {
        const QJsonValue value = object.value(QLatin1String(name));
        if (value.isUndefined()) {
            if (required)
                Fail(QStringLiteral("missing field ") + Quoted(QLatin1String(name)));
            return fallback;
        }
        if (!value.isDouble())
            Fail(QStringLiteral("field ") + Quoted(QLatin1String(name)) +
                 QStringLiteral(" must be a number"));
        return value.toDouble();
    }

    int PingPeriod(int fallback) const
    {
        const double value = Number("pingPeriodS", false, fallback);
        if (value < 0 || value > MaxPingPeriodS || std::floor(value) != value)
            Fail(QStringLiteral("field \"pingPeriodS\" must be a whole number of seconds from 0 to ") +
                 QString::number(MaxPingPeriodS));
        return static_cast<int>(value);
    }

    QJsonArray Array(const char* name, bool required) const
    {
        const QJsonValue value = object.value(QLatin1String(name));
        if (value.isUndefined()) {
            if (required)
                Fail(QStringLiteral("missing field ") + Quoted(QLatin1String(name)));
            return QJsonArray();
        }
        if (!value.isArray())
            Fail(QStringLiteral("field ") + Quoted(QLatin1String(name)) +
                 QStringLiteral(" must be an array"));
        return value.toArray();
    }

    QString where;
    QJsonObject object;
};

// The top-level element names of a signal text; throws when it is not one or more whole,
// well-formed elements.
QStringList SignalElementNames(const ObjectReader& reader, const std::string& xml)
{
    const QByteArray wrapped = "<plan>" + QByteArray::fromStdString(xml) + "</plan>";
    QXmlStreamReader xmlReader(wrapped);
    QStringList names;
    int depth = 0;
    while (!xmlReader.atEnd()) {
        const QXmlStreamReader::TokenType token = xmlReader.readNext();
        if (token == QXmlStreamReader::StartElement) {
            if (depth == 1)
                names.append(xmlReader.name().toString());
            ++depth;
        } else if (token == QXmlStreamReader::EndElement) {
            --depth;
        } else if (token == QXmlStreamReader::Characters && depth == 1 &&
                   !xmlReader.isWhitespace()) {
            reader.Fail(QStringLiteral("field \"xml\" has text outside its elements"));
        }
    }
    if (xmlReader.hasError())
        reader.Fail(QStringLiteral("field \"xml\" is not well-formed XML: ") + xmlReader.errorString());
    if (names.isEmpty())
        reader.Fail(QStringLiteral("field \"xml\" holds no element"));
    return names;
}

PlannedItem ReadItem(const QJsonValue& value, const QString& where)
{
    const ObjectReader reader(value, where);
    reader.CheckKnownFields({QStringLiteral("afterS"), QStringLiteral("xml"), QStringLiteral("brokenReply")});
    PlannedItem item;
    item.afterS = reader.Number("afterS", true, 0);
    if (!(item.afterS >= 0) || !std::isfinite(item.afterS))
        reader.Fail(QStringLiteral("field \"afterS\" must not be negative"));
    if (reader.Has("xml") == reader.Has("brokenReply"))
        reader.Fail(QStringLiteral("needs exactly one of \"xml\" and \"brokenReply\""));
    if (reader.Has("xml")) {
        item.xml = reader.NonEmptyString("xml").toStdString();
        item.elementNames = SignalElementNames(reader, item.xml);
        return item;
    }
    const QString name = reader.String("brokenReply", true);
    QStringList names;
    for (const auto& entry : brokenReplyNames) {
        names.append(QLatin1String(entry.name));
        if (name == QLatin1String(entry.name))
            item.broken = entry.kind;
    }
    if (item.broken == BrokenReply::None)
        reader.Fail(QStringLiteral("field \"brokenReply\" must be one of ") + names.join(QStringLiteral(", ")));
    return item;
}

PlanAccount ReadAccount(const QJsonValue& value, const QString& where)
{
    const ObjectReader reader(value, where);
    reader.CheckKnownFields({QStringLiteral("userId"), QStringLiteral("password"), QStringLiteral("token")});
    PlanAccount account;
    if (reader.Has("token")) {
        if (reader.Has("userId") || reader.Has("password"))
            reader.Fail(QStringLiteral("needs \"userId\" and \"password\", or \"token\", not both"));
        account.token = reader.NonEmptyString("token");
        return account;
    }
    if (!reader.Has("userId") && !reader.Has("password"))
        reader.Fail(QStringLiteral("needs \"userId\" and \"password\", or \"token\""));
    account.userId = reader.NonEmptyString("userId");
    account.password = reader.NonEmptyString("password");
    return account;
}

PlanAgent ReadAgent(const QJsonValue& value, const QString& where, const Plan& plan)
{
    const ObjectReader reader(value, where);
    reader.CheckKnownFields({QStringLiteral("userId"), QStringLiteral("userDefinedAgentId"),
                             QStringLiteral("token"), QStringLiteral("pingPeriodS"),
                             QStringLiteral("minimalGuiStatus"), QStringLiteral("signals")});
    PlanAgent agent;
    agent.label = where;
    if (reader.Has("token")) {
        if (reader.Has("userId") || reader.Has("userDefinedAgentId"))
            reader.Fail(QStringLiteral("is known by \"userId\" (and \"userDefinedAgentId\") or by \"token\", not both"));
        agent.token = reader.NonEmptyString("token");
        bool known = false;
        for (const PlanAccount& account : plan.accounts)
            known = known || account.token == agent.token;
        if (!known)
            reader.Fail(QStringLiteral("no account has the token ") + Quoted(agent.token));
    } else {
        if (!reader.Has("userId"))
            reader.Fail(QStringLiteral("needs \"userId\" or \"token\""));
        agent.userId = reader.NonEmptyString("userId");
        agent.hasAgentId = reader.Has("userDefinedAgentId");
        agent.userDefinedAgentId = reader.String("userDefinedAgentId", false);
        bool known = false;
        for (const PlanAccount& account : plan.accounts)
            known = known || (account.token.isEmpty() && account.userId == agent.userId);
        if (!known)
            reader.Fail(QStringLiteral("no account has the user id ") + Quoted(agent.userId));
    }
    agent.pingPeriodS = reader.PingPeriod(plan.pingPeriodS);
    agent.minimalGuiStatus = reader.String("minimalGuiStatus", false, plan.minimalGuiStatus);
    const QJsonArray items = reader.Array("signals", false);
    for (int i = 0; i < items.size(); ++i)
        agent.items.push_back(ReadItem(items.at(i), where + QStringLiteral(".signals[%1]").arg(i)));
    return agent;
}

bool SameAgent(const PlanAgent& a, const PlanAgent& b)
{
    return a.token == b.token && a.userId == b.userId && a.hasAgentId == b.hasAgentId &&
           a.userDefinedAgentId == b.userDefinedAgentId;
}

} // namespace

PlanError::PlanError(const QString& message) : std::runtime_error(message.toStdString()) {}

QString BrokenReplyName(BrokenReply kind)
{
    for (const auto& entry : brokenReplyNames) {
        if (entry.kind == kind)
            return QLatin1String(entry.name);
    }
    return QString();
}

Plan ParsePlan(const QByteArray& json)
{
    QJsonParseError parseError;
    const QJsonDocument document = QJsonDocument::fromJson(json, &parseError);
    if (parseError.error != QJsonParseError::NoError)
        throw PlanError(QStringLiteral("invalid JSON at offset %1: %2")
                            .arg(parseError.offset)
                            .arg(parseError.errorString()));
    if (!document.isObject())
        throw PlanError(QStringLiteral("the top level must be an object"));

    const ObjectReader reader(document.object(), QString());
    reader.CheckKnownFields({QStringLiteral("pingPeriodS"), QStringLiteral("minimalGuiStatus"),
                             QStringLiteral("badLoginStatus"), QStringLiteral("unknownRunStatus"),
                             QStringLiteral("accounts"), QStringLiteral("agents")});
    Plan plan;
    plan.pingPeriodS = reader.PingPeriod(60);
    plan.minimalGuiStatus = reader.String("minimalGuiStatus", false, QLatin1String(DefaultMinimalGuiStatus));
    plan.badLoginStatus = reader.String("badLoginStatus", false, QLatin1String(DefaultBadLoginStatus));
    plan.unknownRunStatus = reader.String("unknownRunStatus", false, QLatin1String(DefaultUnknownRunStatus));

    const QJsonArray accounts = reader.Array("accounts", true);
    for (int i = 0; i < accounts.size(); ++i) {
        const QString where = QStringLiteral("accounts[%1]").arg(i);
        PlanAccount account = ReadAccount(accounts.at(i), where);
        for (const PlanAccount& other : plan.accounts) {
            if (!account.token.isEmpty() && account.token == other.token)
                throw PlanError(where + QStringLiteral(": the token ") + Quoted(account.token) +
                                QStringLiteral(" is given twice"));
            if (!account.userId.isEmpty() && account.userId == other.userId)
                throw PlanError(where + QStringLiteral(": the user id ") + Quoted(account.userId) +
                                QStringLiteral(" is given twice"));
        }
        plan.accounts.push_back(account);
    }

    const QJsonArray agents = reader.Array("agents", false);
    for (int i = 0; i < agents.size(); ++i) {
        PlanAgent agent = ReadAgent(agents.at(i), QStringLiteral("agents[%1]").arg(i), plan);
        for (const PlanAgent& other : plan.agents) {
            if (SameAgent(agent, other))
                throw PlanError(agent.label + QStringLiteral(": the same agent as ") + other.label);
        }
        plan.agents.push_back(agent);
    }
    return plan;
}

Plan ReadPlanFile(const QString& path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        throw PlanError(QStringLiteral("cannot read: ") + file.errorString());
    return ParsePlan(file.readAll());
}

const PlanAccount* FindAccount(const Plan& plan, const QString& userId, const QString& password,
                               const QString& token, QString* reason)
{
    if (!token.isEmpty()) {
        for (const PlanAccount& account : plan.accounts) {
            if (account.token == token)
                return &account;
        }
        *reason = QStringLiteral("unknown token");
        return nullptr;
    }
    if (userId.isEmpty() || password.isEmpty()) {
        *reason = QStringLiteral("no credentials");
        return nullptr;
    }
    for (const PlanAccount& account : plan.accounts) {
        if (account.token.isEmpty() && account.userId == userId) {
            if (account.password == password)
                return &account;
            *reason = QStringLiteral("wrong password");
            return nullptr;
        }
    }
    *reason = QStringLiteral("unknown user id");
    return nullptr;
}

const PlanAgent* FindAgent(const Plan& plan, const QString& userId, const QString& agentId,
                           const QString& token)
{
    if (!token.isEmpty()) {
        for (const PlanAgent& agent : plan.agents) {
            if (agent.token == token)
                return &agent;
        }
        return nullptr;
    }
    const PlanAgent* anyAgentOfUser = nullptr;
    for (const PlanAgent& agent : plan.agents) {
        if (!agent.token.isEmpty() || agent.userId != userId)
            continue;
        if (agent.hasAgentId && agent.userDefinedAgentId == agentId)
            return &agent;
        if (!agent.hasAgentId)
            anyAgentOfUser = &agent;
    }
    return anyAgentOfUser;
}
