#include "core/delaymonitor.h"

#include "core/idnametable.h"

#include <QDateTime>
#include "core/annotatedmutexlocker.h"

namespace {
const char* const actionsListText = "UDPTX_generatingAndSending, UDPRX_processing, ManagerC_ping";
}

QMap<int, QByteArray> DelayMonitorActions::namesById = BuildNamesById(actionsListText);
QMap<QByteArray, int> DelayMonitorActions::idsByName = BuildIdsByName(actionsListText);

QList<DelayMonitor*> DelayMonitor::instances;
QMutex DelayMonitor::instancesLock;

DelayMonitor::DelayMonitor(int action) : action(action)
{
    {
        AnnotatedMutexLocker locker(&instancesLock);
        instances.append(this);
    }
    longestAtMsSinceEpoch.store(QDateTime::currentMSecsSinceEpoch(), std::memory_order_relaxed);
    timer.start();
}

DelayMonitor::~DelayMonitor()
{
    AnnotatedMutexLocker locker(&instancesLock);
    instances.removeOne(this);
}

void DelayMonitor::OnStarted()
{
    idleNs.fetch_add(timer.nsecsElapsed(), std::memory_order_relaxed);
    timer.restart();
}

void DelayMonitor::OnStopped()
{
    const int64_t runNs = timer.nsecsElapsed();
    busyNs.fetch_add(runNs, std::memory_order_relaxed);
    if (runNs > longestNs.load(std::memory_order_relaxed)) {
        // The time first, so a report that sees the new longest never shows an older time.
        longestAtMsSinceEpoch.store(QDateTime::currentMSecsSinceEpoch(), std::memory_order_relaxed);
        longestNs.store(runNs, std::memory_order_release);
    }
    timer.restart();
}

QString DelayMonitor::reportPiece() const
{
    const double longestMs = longestNs.load(std::memory_order_acquire) / 1e6;
    const QDateTime longestAt =
        QDateTime::fromMSecsSinceEpoch(longestAtMsSinceEpoch.load(std::memory_order_relaxed));
    const double busy = static_cast<double>(busyNs.load(std::memory_order_relaxed));
    const double idle = static_cast<double>(idleNs.load(std::memory_order_relaxed));
    const double busyPercent = busy / (busy + idle) * 100.0;
    return QStringLiteral("%1: %2ms at %3, %4%CPU total; ")
        .arg(QString::fromLatin1(DelayMonitorActions::namesById.value(action)),
             QString::number(longestMs, 'g', 6),
             longestAt.toString(QStringLiteral("yyyyMMdd hh:mm:ss.zzz")),
             QString::number(busyPercent, 'g', 6));
}

QString DelayMonitor::getReportForAllInstancesHtmlXmlEscaped()
{
    AnnotatedMutexLocker locker(&instancesLock);
    QString report;
    for (const DelayMonitor* monitor : qAsConst(instances))
        report += monitor->reportPiece();
    return report;
}
