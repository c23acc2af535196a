#pragma once

#include "testmanager/plan.h"

#include <QHash>
#include <QJsonObject>
#include <QString>
#include <QXmlStreamAttributes>

#include <chrono>
#include <mutex>
#include <string>
#include <vector>

class RequestLog;

// What the HTTP layer sends back.
struct HttpReply
{
    int status = 200;
    std::string body;
    std::string contentType = "application/octet-stream";
};

// Where a request came from and which path it was sent to.
struct RequestContext
{
    std::string endpoint;
    std::string remote; // "address:port" of the peer
};

// The test manager's behaviour, apart from HTTP: opens and parses what agents send, keeps their
// runs, chooses the answers from the plan and writes one request-log record per request.
// Every entry point may be called from several threads at once.
class TestManagerService
{
public:
    TestManagerService(Plan plan, RequestLog* log);
    TestManagerService(const TestManagerService&) = delete;
    TestManagerService& operator=(const TestManagerService&) = delete;

    // "/AgentManager.ashx": a request frame in, a response chunk (sealed with key set 2) out.
    HttpReply AgentManager(const RequestContext& context, const std::string& body);
    // "/UxTracker.ashx": a usage text sealed with key set 1.
    HttpReply UxTracker(const RequestContext& context, const std::string& body);
    // "/FeedbackHandler.ashx": the plain feedback element.
    HttpReply Feedback(const RequestContext& context, const std::string& body);
    // "/", "/SignUp234.aspx", "/ForgotPassword.aspx".
    HttpReply Page(const RequestContext& context);
    // Logs a request that the HTTP layer refused before any handler saw it (unknown path,
    // oversized body, broken request line) or that failed unexpectedly (status 500, with the
    // exception's text as detail), and returns the text to send with the status.
    std::string HttpError(const RequestContext& context, const std::string& method, int status,
                          const std::string& detail = std::string());

    // Number of runs known (one per successful login).
    int RunCount();

private:
    struct Run
    {
        QString userId;
        QString userDefinedAgentId;
        QString token;
        const PlanAgent* agent = nullptr; // null: the plan has no entry for this agent
        std::chrono::steady_clock::time_point loginAt;
        std::vector<bool> delivered; // per item of agent->items
    };

    // Signals of the plan that are due now, or one due broken reply (then nothing else).
    struct DueItems
    {
        std::string xml;
        QStringList elementNames;
        BrokenReply broken = BrokenReply::None;
    };

    HttpReply LoginPing(const QXmlStreamAttributes& attributes, QJsonObject* record);
    HttpReply RunPing(const QXmlStreamAttributes& attributes, QJsonObject* record);
    HttpReply OtherSignal(const QString& name, const QXmlStreamAttributes& attributes,
                          QJsonObject* record);

    // Takes the items of the run that are due; a broken reply is never taken when allowBroken is
    // false (the login reply must arrive whole, or the agent would log in again and again).
    // Call with runsLock held.
    static DueItems TakeDueItems(Run* run, bool allowBroken);
    static void AddIdentity(const Run& run, QJsonObject* record);
    HttpReply Reply(const std::string& document, const DueItems& due, QJsonObject* answer,
                    QJsonObject* record);
    HttpReply Error(QJsonObject record, const QString& message, const std::string& body,
                    const std::string& openedText = std::string());

    const Plan plan;
    RequestLog* const log;
    std::mutex runsLock;
    QHash<QString, Run> runs; // by run id
};
