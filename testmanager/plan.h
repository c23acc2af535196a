#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>
#include <stdexcept>
#include <string>
#include <vector>

// What the stand-in test manager knows before any agent calls: who may log in, and what each
// agent is told after its login. Read from a JSON file; testmanager/README.md gives the format.

// One login: user id and password, or a file-name token (then user id and password are empty).
struct PlanAccount
{
    QString userId;
    QString password;
    QString token;
};

// A reply deliberately damaged in one way, for trying an agent's handling of bad replies.
enum class BrokenReply {
    None,
    Empty,       // no body at all
    ShortBody,   // 3 bytes: less than the 5-byte chunk header
    BadLength,   // the length field claims 100 bytes more than follow
    BadPadding,  // sealed, last byte of the ciphertext changed
    BrokenXml,   // sealed, the document cut in the middle of a tag
};

// Name of a BrokenReply in the plan and the request log ("shortBody", ...); empty for None.
QString BrokenReplyName(BrokenReply kind);

// One thing to send to an agent, once, in the reply to its first request at or after afterS
// seconds since its login: either signal XML (verbatim) or a broken reply.
struct PlannedItem
{
    double afterS = 0;
    std::string xml;          // UTF-8, one or more whole elements
    QStringList elementNames; // the top-level element names of xml, in order
    BrokenReply broken = BrokenReply::None;
};

// What one agent gets. An agent is known by user id plus, optionally, its user-defined agent id
// (hasAgentId false: any agent id of that user), or by its file-name token.
struct PlanAgent
{
    QString userId;
    bool hasAgentId = false;
    QString userDefinedAgentId;
    QString token;
    int pingPeriodS = 60;
    QString minimalGuiStatus;
    std::vector<PlannedItem> items;
    QString label; // "agents[i]", for the request log
};

struct Plan
{
    int pingPeriodS = 60;
    QString minimalGuiStatus;
    QString badLoginStatus;
    QString unknownRunStatus;
    std::vector<PlanAccount> accounts;
    std::vector<PlanAgent> agents;
};

// A plan that cannot be used; the message names the file part at fault, e.g.
// "agents[0].signals[1]: missing field \"afterS\"".
class PlanError : public std::runtime_error
{
public:
    explicit PlanError(const QString& message);
};

Plan ParsePlan(const QByteArray& json);
// Reads and parses the file; an unreadable file is a PlanError too.
Plan ReadPlanFile(const QString& path);

// The account that these credentials (or this token, when non-empty) log in to, or null.
// reason is set to why not: "unknown token", "unknown user id", "wrong password",
// "no credentials".
const PlanAccount* FindAccount(const Plan& plan, const QString& userId, const QString& password,
                               const QString& token, QString* reason);

// The agent entry for a logged-in agent: the token's entry, else the user's entry with this
// agent id, else the user's entry without an agent id; null when the plan has none.
const PlanAgent* FindAgent(const Plan& plan, const QString& userId, const QString& agentId,
                           const QString& token);
