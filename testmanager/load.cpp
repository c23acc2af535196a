// testmanager_load: starts a testmanager on a free loopback port, logs in many simulated agents
// and has them send sealed run pings as fast as the server answers, for a bounded time; then
// reports requests per second, reply latency and the server's CPU time. A benchmark to run by
// hand, never a test: its figures depend on the machine.

#include "core/common.h"
#include "core/logging.h"
#include "manager/frames.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QXmlStreamReader>

#include <httplib.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

struct Options
{
    QString server;
    int agents = 200;
    int connections = 8;
    double seconds = 10;
};

// A delay report of the size agents send with their pings (a few monitors).
const char* const DelaysReport =
    "&lt;table&gt;&lt;tr&gt;&lt;td&gt;ManagerC_ping&lt;/td&gt;&lt;td&gt;12.5 ms&lt;/td&gt;&lt;/tr&gt;"
    "&lt;tr&gt;&lt;td&gt;GUI_timer1s&lt;/td&gt;&lt;td&gt;0.8 ms&lt;/td&gt;&lt;/tr&gt;&lt;/table&gt;";

[[noreturn]] void Fail(const std::string& message)
{
    std::fprintf(stderr, "testmanager_load: %s\n", message.c_str());
    std::exit(1);
}

Options ParseCommandLine(const QStringList& arguments)
{
    Options options;
    options.server = QCoreApplication::applicationDirPath() + QStringLiteral("/testmanager");
    for (int i = 1; i < arguments.size(); ++i) {
        const QString argument = arguments.at(i);
        if (argument == QLatin1String("--help")) {
            std::puts("Usage: testmanager_load [--server PATH] [--agents N] [--connections N] [--seconds S]\n"
                      "Defaults: the testmanager beside this program, 200 agents, 8 connections, 10 s.");
            std::exit(0);
        }
        if (i + 1 >= arguments.size())
            Fail(argument.toStdString() + " needs a value");
        const QString value = arguments.at(++i);
        bool ok = true;
        if (argument == QLatin1String("--server"))
            options.server = value;
        else if (argument == QLatin1String("--agents"))
            options.agents = value.toInt(&ok);
        else if (argument == QLatin1String("--connections"))
            options.connections = value.toInt(&ok);
        else if (argument == QLatin1String("--seconds"))
            options.seconds = value.toDouble(&ok);
        else
            Fail("unknown argument " + argument.toStdString());
        if (!ok)
            Fail("bad value for " + argument.toStdString());
    }
    if (options.agents < 1 || options.connections < 1 || options.connections > options.agents ||
        options.seconds <= 0 || options.seconds > 600)
        Fail("need 1 <= connections <= agents and 0 < seconds <= 600");
    return options;
}

// User plus system CPU time of a process, in seconds.
double ProcessCpuSeconds(qint64 pid)
{
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string line;
    std::getline(stat, line);
    // Fields after the parenthesised command name; utime and stime are fields 14 and 15.
    std::istringstream fields(line.substr(line.rfind(')') + 2));
    std::string field;
    double ticks = 0;
    for (int index = 3; fields >> field && index <= 15; ++index) {
        if (index >= 14)
            ticks += std::stod(field);
    }
    return ticks / static_cast<double>(sysconf(_SC_CLK_TCK));
}

// The CurrentRunId of the reply's pingResponse, or empty.
std::string RunIdOfReply(const std::string& body)
{
    const std::string document = DecodeResponseChunk(QByteArray::fromStdString(body));
    QXmlStreamReader reader(QByteArray(document.c_str()));
    while (reader.readNextStartElement()) {
        if (reader.name() == QLatin1String("pingResponse"))
            return reader.attributes().value(QLatin1String("CurrentRunId")).toString().toStdString();
    }
    return std::string();
}

struct WorkerResult
{
    long requests = 0;
    long failures = 0;
    std::vector<double> latenciesUs;
};

// Logs in the worker's agents on its own kept-alive connection, waits for the common start,
// then sends their run pings in turn until the deadline.
void RunWorker(int port, int firstAgent, int agentCount, std::atomic<int>* loggedIn,
               std::atomic<int64_t>* deadlineNs, WorkerResult* result)
{
    httplib::Client client("127.0.0.1", port);
    client.set_keep_alive(true);
    client.set_tcp_nodelay(true);
    client.set_read_timeout(30, 0);
    std::vector<std::string> runIds;
    std::vector<std::string> frames;
    for (int i = 0; i < agentCount; ++i) {
        const std::string login = "<pingRequest UserId='load' Password='load' AuthTokenForFileName='' "
                                  "UserDefinedAgentId='agent-" + std::to_string(firstAgent + i) +
                                  "' CompiledAt='load' LocalIpAddresses='' OperatingSystem='todo' DelaysReportHtml='' />";
        const QByteArray frame = BuildRequestFrame(login, true);
        const auto reply = client.Post("/AgentManager.ashx", frame.constData(), static_cast<size_t>(frame.size()),
                                       "application/octet-stream");
        if (!reply)
            Fail("login failed: " + httplib::to_string(reply.error()));
        if (reply->status != 200)
            Fail("login failed: HTTP status " + std::to_string(reply->status));
        const std::string runId = RunIdOfReply(reply->body);
        if (runId.empty())
            Fail("login gave no run id");
        runIds.push_back(runId);
        // The agent seals every ping; sealing once here keeps the client's CPU for the server.
        const QByteArray ping = BuildRequestFrame(
            "<pingRequest CurrentRunId='" + runId + "' DelaysReportHtml='" + DelaysReport + "' />", true);
        frames.emplace_back(ping.constData(), static_cast<size_t>(ping.size()));
    }
    ++*loggedIn;
    while (deadlineNs->load() == 0)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    const auto deadline = std::chrono::steady_clock::time_point(std::chrono::nanoseconds(deadlineNs->load()));
    while (std::chrono::steady_clock::now() < deadline) {
        for (int i = 0; i < agentCount && std::chrono::steady_clock::now() < deadline; ++i) {
            const auto sent = std::chrono::steady_clock::now();
            const auto reply = client.Post("/AgentManager.ashx", frames[i], "application/octet-stream");
            const auto answered = std::chrono::steady_clock::now();
            ++result->requests;
            bool ok = reply && reply->status == 200;
            try {
                ok = ok && RunIdOfReply(reply->body) == runIds[i];
            } catch (const std::exception&) {
                ok = false;
            }
            if (!ok)
                ++result->failures;
            result->latenciesUs.push_back(std::chrono::duration<double, std::micro>(answered - sent).count());
        }
    }
}

double Percentile(const std::vector<double>& sorted, double fraction)
{
    if (sorted.empty())
        return 0;
    const size_t index = std::min(sorted.size() - 1, static_cast<size_t>(fraction * sorted.size()));
    return sorted[index];
}

} // namespace

int main(int argc, char* argv[])
{
    InitializeCommonModule();
    InitializeLoggingModule();
    QCoreApplication application(argc, argv);
    const Options options = ParseCommandLine(application.arguments());

    QTemporaryDir dir;
    if (!dir.isValid())
        Fail("no temporary folder");
    QFile planFile(dir.filePath(QStringLiteral("plan.json")));
    if (!planFile.open(QIODevice::WriteOnly) ||
        planFile.write(R"({"pingPeriodS": 1, "accounts": [{"userId": "load", "password": "load"}]})") < 0)
        Fail("cannot write the plan");
    planFile.close();

    QProcess server;
    server.setProgram(options.server);
    server.setArguments({QStringLiteral("--listen"), QStringLiteral("127.0.0.1:0"), QStringLiteral("--plan"),
                         planFile.fileName(), QStringLiteral("--log"), dir.filePath(QStringLiteral("log.jsonl"))});
    server.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    server.start();
    if (!server.waitForStarted(5000))
        Fail("cannot start " + options.server.toStdString());
    QByteArray firstLine;
    while (!firstLine.contains('\n') && server.waitForReadyRead(5000))
        firstLine += server.readAllStandardOutput();
    const QByteArray prefix = "listening on 127.0.0.1:";
    if (!firstLine.startsWith(prefix))
        Fail("the server did not start: " + firstLine.toStdString());
    const int port = firstLine.mid(prefix.size()).trimmed().toInt();

    // The codec registry that the XML reader uses is built on first use; build it before the
    // worker threads exist.
    QXmlStreamReader(QByteArrayLiteral("<warmUp/>")).readNextStartElement();

    // Log in first (not timed), then run pings for the given time.
    std::atomic<int> loggedIn{0};
    std::atomic<int64_t> deadlineNs{0};
    std::vector<WorkerResult> results(static_cast<size_t>(options.connections));
    std::vector<std::thread> workers;
    for (int c = 0; c < options.connections; ++c) {
        const int first = options.agents * c / options.connections;
        const int count = options.agents * (c + 1) / options.connections - first;
        workers.emplace_back(RunWorker, port, first, count, &loggedIn, &deadlineNs, &results[static_cast<size_t>(c)]);
    }
    while (loggedIn.load() < options.connections)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    const double cpuBefore = ProcessCpuSeconds(server.processId());
    const auto start = std::chrono::steady_clock::now();
    const auto deadline = start + std::chrono::duration_cast<std::chrono::nanoseconds>(
                                      std::chrono::duration<double>(options.seconds));
    deadlineNs = deadline.time_since_epoch().count();
    for (auto& worker : workers)
        worker.join();
    const double elapsedS = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    const double cpuS = ProcessCpuSeconds(server.processId()) - cpuBefore;

    long requests = 0;
    long failures = 0;
    std::vector<double> latencies;
    for (const WorkerResult& result : results) {
        requests += result.requests;
        failures += result.failures;
        latencies.insert(latencies.end(), result.latenciesUs.begin(), result.latenciesUs.end());
    }
    std::sort(latencies.begin(), latencies.end());
    std::printf("agents %d, connections %d, %.1f s on loopback (client and server share the machine)\n",
                options.agents, options.connections, elapsedS);
    std::printf("run pings answered: %ld, failed: %ld, %.0f requests/s\n", requests, failures,
                requests / elapsedS);
    std::printf("latency us: p50 %.0f, p90 %.0f, p99 %.0f, max %.0f\n", Percentile(latencies, 0.5),
                Percentile(latencies, 0.9), Percentile(latencies, 0.99), latencies.empty() ? 0.0 : latencies.back());
    std::printf("server CPU: %.2f s (%.0f%% of one core), %.1f us per request\n", cpuS, 100 * cpuS / elapsedS,
                requests > 0 ? 1e6 * cpuS / requests : 0.0);

    server.terminate();
    if (!server.waitForFinished(10000))
        server.kill();
    return failures == 0 ? 0 : 1;
}
