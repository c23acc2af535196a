// Drives one sender stream against a loopback sink for the comparison with iperf3
// (bench/sender_vs_iperf3.sh). Two roles:
//   bench_udpsender sink <port>
//       reads 127.0.0.1:<port> until SIGTERM or SIGINT, then prints "received <packets> <bytes>"
//   bench_udpsender send <port> <payload bytes> <target bits/s> <seconds>
//       runs a remotely configured stream to 127.0.0.1:<port> for the given time and prints one
//       line "packets=... bytes=... seconds=... bps=... cpu_s=... mallocs=..."; cpu_s is this
//       process's user+system time from the stream's start to its join, mallocs the number of
//       heap allocations of the whole process in that time.
#include "core/common.h"
#include "core/logging.h"
#include "sender/udpsenderthread.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <arpa/inet.h>
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

// Every heap allocation of the process passes here (C++ new and Qt's containers end in malloc).
extern "C" void* __libc_malloc(size_t size);
extern "C" void* __libc_calloc(size_t count, size_t size);
extern "C" void* __libc_realloc(void* pointer, size_t size);
static std::atomic<uint64_t> allocations{0};
extern "C" void* malloc(size_t size)
{
    allocations.fetch_add(1, std::memory_order_relaxed);
    return __libc_malloc(size);
}
extern "C" void* calloc(size_t count, size_t size)
{
    allocations.fetch_add(1, std::memory_order_relaxed);
    return __libc_calloc(count, size);
}
extern "C" void* realloc(void* pointer, size_t size)
{
    allocations.fetch_add(1, std::memory_order_relaxed);
    return __libc_realloc(pointer, size);
}

namespace {

volatile std::sig_atomic_t sinkStop = 0;

void OnStopSignal(int)
{
    sinkStop = 1;
}

int RunSink(int port)
{
    const int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const int bufferBytes = 4 << 20;
    ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &bufferBytes, sizeof bufferBytes);
    if (::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        std::perror("bind");
        return 1;
    }
    struct sigaction action{};
    action.sa_handler = OnStopSignal; // no SA_RESTART: the blocking read returns EINTR
    ::sigaction(SIGTERM, &action, nullptr);
    ::sigaction(SIGINT, &action, nullptr);
    std::printf("ready\n");
    std::fflush(stdout);

    constexpr int Batch = 64;
    static char buffers[Batch][2048];
    mmsghdr messages[Batch];
    iovec parts[Batch];
    uint64_t packets = 0;
    uint64_t bytes = 0;
    while (!sinkStop) {
        std::memset(messages, 0, sizeof messages);
        for (int i = 0; i < Batch; ++i) {
            parts[i] = {buffers[i], sizeof buffers[i]};
            messages[i].msg_hdr.msg_iov = &parts[i];
            messages[i].msg_hdr.msg_iovlen = 1;
        }
        const int count = ::recvmmsg(fd, messages, Batch, MSG_WAITFORONE, nullptr);
        for (int i = 0; i < count; ++i) {
            ++packets;
            bytes += messages[i].msg_len;
        }
    }
    std::printf("received %llu %llu\n", static_cast<unsigned long long>(packets),
                static_cast<unsigned long long>(bytes));
    return 0;
}

double CpuSeconds()
{
    rusage usage{};
    ::getrusage(RUSAGE_SELF, &usage);
    return usage.ru_utime.tv_sec + usage.ru_utime.tv_usec / 1e6 + usage.ru_stime.tv_sec +
           usage.ru_stime.tv_usec / 1e6;
}

int RunSender(int port, int payloadBytes, int bitsPerSecond, double seconds)
{
    UdpTxStreamConfigElement cfg;
    cfg.DestinationHost = QStringLiteral("127.0.0.1");
    cfg.DestinationPort = port;
    cfg.PacketSizeInBytes = payloadBytes;
    cfg.TargetBandwidthBitsPerSecond = bitsPerSecond;
    UdpSenderThread stream(nullptr, &cfg);

    const double cpuBefore = CpuSeconds();
    const uint64_t allocationsBefore = allocations.load();
    QElapsedTimer elapsed;
    elapsed.start();
    stream.start();
    std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
    stream.Abort();
    const double wallSeconds = elapsed.nsecsElapsed() / 1e9;
    const uint64_t allocationsDuring = allocations.load() - allocationsBefore;
    const double cpu = CpuSeconds() - cpuBefore;

    const uint64_t packets = stream.PacketsSent();
    const uint64_t bytes = stream.BytesSent();
    std::printf("packets=%llu bytes=%llu seconds=%.6f bps=%.3f cpu_s=%.3f mallocs=%llu\n",
                static_cast<unsigned long long>(packets), static_cast<unsigned long long>(bytes),
                wallSeconds, bytes * 8.0 / wallSeconds, cpu,
                static_cast<unsigned long long>(allocationsDuring));
    return 0;
}

} // namespace

int main(int argc, char** argv)
{
    if (argc == 3 && std::strcmp(argv[1], "sink") == 0)
        return RunSink(std::atoi(argv[2]));
    if (argc == 6 && std::strcmp(argv[1], "send") == 0) {
        QCoreApplication application(argc, argv);
        InitializeCommonModule();
        InitializeLoggingModule();
        return RunSender(std::atoi(argv[2]), std::atoi(argv[3]), std::atoi(argv[4]), std::atof(argv[5]));
    }
    std::fprintf(stderr, "usage: %s sink <port> | send <port> <payload bytes> <bits/s> <seconds>\n", argv[0]);
    return 2;
}
