// testmanager: a small stand-in for the test manager web server that agents log in to.
// See testmanager/README.md for the command line and the plan and log formats.

#include "core/common.h"
#include "core/logging.h"
#include "testmanager/httpfront.h"
#include "testmanager/plan.h"
#include "testmanager/requestlog.h"
#include "testmanager/service.h"

#include <QJsonObject>
#include <QXmlStreamReader>

#include <httplib.h>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <netdb.h>
#include <pthread.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

namespace {

const char* const UsageText =
    "Usage: testmanager --plan FILE [--listen ADDR:PORT] [--log FILE]\n"
    "\n"
    "A stand-in test manager for NorvastelleRavidadIrerod agents: it serves /AgentManager.ashx,\n"
    "/UxTracker.ashx, /FeedbackHandler.ashx and the sign-up pages, logs agents in from the plan's\n"
    "accounts, sends them the plan's signals, and records every request as one JSON line.\n"
    "\n"
    "  --plan FILE         the plan (JSON): accounts, and what each agent is sent and when\n"
    "  --listen ADDR:PORT  where to serve (default 127.0.0.1:8080; [::1]:PORT for IPv6);\n"
    "                      port 0 picks a free port\n"
    "  --log FILE          append the request log to FILE instead of writing it to stdout\n"
    "  --help              show this text and exit\n"
    "\n"
    "Once it serves, it prints \"listening on ADDR:PORT\" (the actual port) on stdout.\n"
    "SIGINT (Ctrl+C) or SIGTERM ends it. Exit status: 0 after a signal, 1 when it cannot start\n"
    "(plan, log file, address), 2 for a bad command line.\n";

constexpr int ExitCannotStart = 1;
constexpr int ExitBadCommandLine = 2;

// Connections served at once: an agent keeps its connection open between requests, and the
// HTTP layer gives each open connection a thread until it closes or idles out.
constexpr size_t ServerThreads = 32;
// Seconds an idle kept-alive connection is held open, and requests served on one connection
// before it is closed (the HTTP layer's default of 5 makes busy agents reconnect all the time).
constexpr time_t KeepAliveTimeoutS = 5;
constexpr size_t KeepAliveMaxRequests = 1000;
// Milliseconds that requests in progress get to finish after SIGINT or SIGTERM.
constexpr int ShutdownGraceMs = 1000;

struct Options
{
    std::string planPath;
    std::string logPath;
    std::string host = "127.0.0.1";
    int port = 8080;
};

[[noreturn]] void Fail(int exitCode, const std::string& message)
{
    std::fprintf(stderr, "testmanager: %s\n", message.c_str());
    std::exit(exitCode);
}

// "ADDR:PORT" or "[IPv6]:PORT"; false when it is neither.
bool ParseListen(const std::string& text, std::string* host, int* port)
{
    std::string portText;
    if (!text.empty() && text[0] == '[') {
        const size_t close = text.find(']');
        if (close == std::string::npos || close + 1 >= text.size() || text[close + 1] != ':')
            return false;
        *host = text.substr(1, close - 1);
        portText = text.substr(close + 2);
    } else {
        const size_t colon = text.rfind(':');
        if (colon == std::string::npos)
            return false;
        *host = text.substr(0, colon);
        portText = text.substr(colon + 1);
        if (host->find(':') != std::string::npos)
            return false; // a bare IPv6 address needs brackets
    }
    if (host->empty() || portText.empty() || portText.size() > 5 ||
        portText.find_first_not_of("0123456789") != std::string::npos)
        return false;
    *port = std::stoi(portText);
    return *port <= 65535;
}

std::string AddressText(const std::string& host, int port)
{
    const std::string shownHost = host.find(':') != std::string::npos ? "[" + host + "]" : host;
    return shownHost + ":" + std::to_string(port);
}

Options ParseCommandLine(int argc, char* argv[])
{
    Options options;
    bool hasPlan = false;
    for (int i = 1; i < argc; ++i) {
        std::string argument = argv[i];
        std::string value;
        bool hasValue = false;
        const size_t equals = argument.find('=');
        if (argument.rfind("--", 0) == 0 && equals != std::string::npos) {
            value = argument.substr(equals + 1);
            argument = argument.substr(0, equals);
            hasValue = true;
        }
        if (argument == "--help" || argument == "-h") {
            std::fputs(UsageText, stdout);
            std::exit(0);
        }
        if (argument != "--plan" && argument != "--listen" && argument != "--log")
            Fail(ExitBadCommandLine, "unknown argument '" + argument + "' (see --help)");
        if (!hasValue) {
            if (i + 1 >= argc)
                Fail(ExitBadCommandLine, argument + " needs a value (see --help)");
            value = argv[++i];
        }
        if (argument == "--plan") {
            options.planPath = value;
            hasPlan = true;
        } else if (argument == "--log") {
            options.logPath = value;
        } else if (!ParseListen(value, &options.host, &options.port)) {
            Fail(ExitBadCommandLine, "--listen needs ADDR:PORT with a port from 0 to 65535, not '" + value + "'");
        }
    }
    if (!hasPlan || options.planPath.empty())
        Fail(ExitBadCommandLine, "--plan FILE is required (see --help)");
    return options;
}

// Why the address cannot be bound, found by trying it the way the server does; the HTTP layer
// itself only reports that it failed.
std::string BindError(const std::string& host, int port)
{
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_PASSIVE;
    addrinfo* addresses = nullptr;
    const int lookup = getaddrinfo(host.c_str(), std::to_string(port).c_str(), &hints, &addresses);
    if (lookup != 0)
        return gai_strerror(lookup);
    std::string error = "unknown error";
    for (addrinfo* address = addresses; address; address = address->ai_next) {
        const int fd = socket(address->ai_family, address->ai_socktype, address->ai_protocol);
        if (fd < 0) {
            error = std::strerror(errno);
            continue;
        }
        const int yes = 1;
        setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
        if (bind(fd, address->ai_addr, address->ai_addrlen) != 0 || listen(fd, 1) != 0)
            error = std::strerror(errno);
        close(fd);
    }
    freeaddrinfo(addresses);
    return error;
}

} // namespace

int main(int argc, char* argv[])
{
    // The sealing functions leave trace records; the rings must exist before the first one.
    InitializeCommonModule();
    InitializeLoggingModule();

    const Options options = ParseCommandLine(argc, argv);

    Plan plan;
    try {
        plan = ReadPlanFile(QString::fromLocal8Bit(options.planPath.c_str()));
    } catch (const PlanError& e) {
        Fail(ExitCannotStart, "bad plan " + options.planPath + ": " + e.what());
    }

    RequestLog log;
    if (!options.logPath.empty()) {
        QString error;
        if (!log.Open(QString::fromLocal8Bit(options.logPath.c_str()), &error))
            Fail(ExitCannotStart, "cannot open log file " + options.logPath + ": " + error.toStdString());
    }

    // A peer that closes its connection early must not kill the server with SIGPIPE. SIGINT and
    // SIGTERM are taken by one thread with sigwait; blocking them here, before any other thread
    // exists, keeps them away from the HTTP layer's threads.
    std::signal(SIGPIPE, SIG_IGN);
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    sigaddset(&stopSignals, SIGUSR1); // sent by main itself when the server ends on its own
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);

    // Qt builds its text codec registry on first use, under a lock of its own; building it
    // here, before the server's threads exist, leaves their XML parsing only lookups of it.
    QXmlStreamReader(QByteArrayLiteral("<warmUp/>")).readNextStartElement();

    TestManagerService service(std::move(plan), &log);
    httplib::Server server;
    server.new_task_queue = [] { return new httplib::ThreadPool(ServerThreads); };
    server.set_keep_alive_timeout(KeepAliveTimeoutS);
    server.set_keep_alive_max_count(KeepAliveMaxRequests);
    // The reply's header and body leave in separate writes; without TCP_NODELAY the body waits
    // for the peer's delayed ACK (about 40 ms on Linux).
    server.set_tcp_nodelay(true);
    // SO_REUSEADDR only: a restart may take over a port in TIME_WAIT, but a port that another
    // server is listening on stays busy (SO_REUSEPORT would let both bind it).
    // The hook also remembers the socket: the HTTP layer listens with a backlog of only 5, and
    // a burst of agents connecting at once (started together, say) overflows it, so that some
    // connections fail. The last socket the hook saw is the one that bound; listening on it
    // again below raises the backlog.
    socket_t listeningSocket = INVALID_SOCKET;
    server.set_socket_options([&listeningSocket](socket_t fd) {
        const int yes = 1;
        setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
        listeningSocket = fd;
    });
    InstallRoutes(&server, &service);

    int port = options.port;
    if (port == 0) {
        port = server.bind_to_any_port(options.host);
        if (port < 0)
            Fail(ExitCannotStart, "cannot listen on " + AddressText(options.host, 0) + ": " +
                                      BindError(options.host, 0));
    } else if (!server.bind_to_port(options.host, port)) {
        Fail(ExitCannotStart, "cannot listen on " + AddressText(options.host, port) + ": " +
                                  BindError(options.host, port));
    }
    const std::string address = AddressText(options.host, port);
    if (listeningSocket != INVALID_SOCKET)
        listen(listeningSocket, SOMAXCONN);

    // This line comes first on stdout, also when the request log goes there too.
    std::printf("listening on %s\n", address.c_str());
    std::fflush(stdout);
    QJsonObject start;
    start.insert(QStringLiteral("kind"), QStringLiteral("start"));
    start.insert(QStringLiteral("listen"), QString::fromStdString(address));
    start.insert(QStringLiteral("plan"), QString::fromLocal8Bit(options.planPath.c_str()));
    log.Write(start);

    std::atomic<bool> listenEnded{false};
    std::atomic<int> stopSignal{0};
    const auto writeStopRecord = [&log, &stopSignal] {
        QJsonObject stop;
        stop.insert(QStringLiteral("kind"), QStringLiteral("stop"));
        stop.insert(QStringLiteral("signal"), stopSignal == SIGINT    ? QStringLiteral("SIGINT")
                                              : stopSignal == SIGTERM ? QStringLiteral("SIGTERM")
                                                                      : QString());
        log.Write(stop);
    };
    std::thread signalThread([&] {
        int signalNumber = 0;
        while (sigwait(&stopSignals, &signalNumber) == 0 && signalNumber == SIGUSR1 && !listenEnded) {
        }
        if (listenEnded)
            return;
        stopSignal = signalNumber;
        // stop() only acts on a running server: wait for the listen loop to have begun.
        while (!listenEnded && !server.is_running())
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        if (listenEnded)
            return;
        server.stop();
        // The listen loop then waits for every connection's thread, and a connection kept
        // alive for an agent's next request holds its thread for up to KeepAliveTimeoutS.
        // Requests being answered finish well within the grace time; idle connections are
        // not waited for. Each log line is already flushed, and the stop record takes the
        // log's lock, so no line is cut.
        for (int waitedMs = 0; waitedMs < ShutdownGraceMs && !listenEnded; waitedMs += 10)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        if (!listenEnded) {
            writeStopRecord();
            std::fflush(stdout);
            std::_Exit(0);
        }
    });

    const bool listenedWell = server.listen_after_bind();
    listenEnded = true;
    pthread_kill(signalThread.native_handle(), SIGUSR1);
    signalThread.join();

    writeStopRecord();
    if (stopSignal == 0 && !listenedWell) {
        std::fprintf(stderr, "testmanager: serving on %s failed\n", address.c_str());
        return ExitCannotStart;
    }
    return 0;
}
