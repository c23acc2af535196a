#pragma once

#include <QByteArray>
#include <QElapsedTimer>
#include <QList>
#include <QMap>
#include <QMutex>
#include <QString>
#include <atomic>
#include <cstdint>

class DelayMonitorActions
{
public:
    enum Id { UDPTX_generatingAndSending = 0, UDPRX_processing = 1, ManagerC_ping = 2 };
    static QMap<int, QByteArray> namesById;
    static QMap<QByteArray, int> idsByName;
};

// Timing probe of one repeated action. OnStarted()/OnStopped() are called in pairs by the one
// thread that owns the monitor; the report reads the figures from the GUI thread meanwhile,
// so they are atomics (longestAt as milliseconds since the epoch).
class DelayMonitor
{
public:
    explicit DelayMonitor(int action);
    ~DelayMonitor();
    DelayMonitor(const DelayMonitor&) = delete;
    DelayMonitor& operator=(const DelayMonitor&) = delete;

    void OnStarted();
    void OnStopped();

    // "name: <longest>ms at <yyyyMMdd hh:mm:ss.zzz>, <busy%>%CPU total; " for every live monitor.
    static QString getReportForAllInstancesHtmlXmlEscaped();

    static QList<DelayMonitor*> instances;
    static QMutex instancesLock;

private:
    QString reportPiece() const;

    int action;
    QElapsedTimer timer;
    std::atomic<int64_t> idleNs{0};
    std::atomic<int64_t> busyNs{0};
    std::atomic<int64_t> longestNs{0};
    std::atomic<int64_t> longestAtMsSinceEpoch{0};
};
