#include "core/delaymonitor.h"

#include <QDateTime>
#include <QRegularExpression>
#include <QThread>
#include <QtTest>
#include <atomic>
#include <thread>
#include <vector>

namespace {

struct Piece
{
    QString name;
    double longestMs = 0;
    QDateTime longestAt;
    QString busyPercentText;
};

QList<Piece> ParseReport(const QString& report)
{
    static const QRegularExpression pattern(QStringLiteral(
        "(\\w*): ([^m]+)ms at (\\d{8} \\d\\d:\\d\\d:\\d\\d\\.\\d{3}), ([^%]+)%CPU total; "));
    QList<Piece> pieces;
    int position = 0;
    while (position < report.size()) {
        const QRegularExpressionMatch match =
            pattern.match(report, position, QRegularExpression::NormalMatch,
                          QRegularExpression::AnchoredMatchOption);
        if (!match.hasMatch())
            return {}; // malformed text: callers compare against a non-empty expectation
        pieces.append({match.captured(1), match.captured(2).toDouble(),
                       QDateTime::fromString(match.captured(3), QStringLiteral("yyyyMMdd hh:mm:ss.zzz")),
                       match.captured(4)});
        position = match.capturedEnd();
    }
    return pieces;
}

void BusyFor(int ms)
{
    QThread::msleep(static_cast<unsigned long>(ms));
}

} // namespace

class Tst_DelayMonitor : public QObject
{
    Q_OBJECT

private slots:
    void emptyWithoutMonitors()
    {
        QCOMPARE(DelayMonitor::getReportForAllInstancesHtmlXmlEscaped(), QString());
    }

    void unusedMonitorReportsZeroAndNan()
    {
        const QDateTime before = QDateTime::currentDateTime().addMSecs(-1);
        DelayMonitor monitor(DelayMonitorActions::ManagerC_ping);
        const QList<Piece> pieces = ParseReport(DelayMonitor::getReportForAllInstancesHtmlXmlEscaped());
        QCOMPARE(pieces.size(), 1);
        QCOMPARE(pieces[0].name, QStringLiteral("ManagerC_ping"));
        QCOMPARE(pieces[0].longestMs, 0.0);
        QCOMPARE(pieces[0].busyPercentText, QStringLiteral("nan"));
        QVERIFY(pieces[0].longestAt >= before && pieces[0].longestAt <= QDateTime::currentDateTime());
    }

    void piecesInConstructionOrderWhileAlive()
    {
        auto* first = new DelayMonitor(DelayMonitorActions::UDPTX_generatingAndSending);
        DelayMonitor second(DelayMonitorActions::UDPRX_processing);
        auto* third = new DelayMonitor(DelayMonitorActions::UDPTX_generatingAndSending);
        DelayMonitor unnamed(42);
        QStringList names;
        for (const Piece& piece : ParseReport(DelayMonitor::getReportForAllInstancesHtmlXmlEscaped()))
            names << piece.name;
        QCOMPARE(names, (QStringList{"UDPTX_generatingAndSending", "UDPRX_processing",
                                     "UDPTX_generatingAndSending", ""}));
        delete first;
        delete third;
        names.clear();
        for (const Piece& piece : ParseReport(DelayMonitor::getReportForAllInstancesHtmlXmlEscaped()))
            names << piece.name;
        QCOMPARE(names, (QStringList{"UDPRX_processing", ""}));
    }

    // A longer run raises longest and its time; a shorter one changes neither.
    void longestRunAndBusyShare()
    {
        DelayMonitor monitor(DelayMonitorActions::UDPRX_processing);
        BusyFor(30);
        monitor.OnStarted();
        BusyFor(30);
        monitor.OnStopped();
        const Piece afterLong = ParseReport(DelayMonitor::getReportForAllInstancesHtmlXmlEscaped()).value(0);
        QVERIFY2(afterLong.longestMs >= 30.0, qPrintable(QString::number(afterLong.longestMs)));
        const double busyPercent = afterLong.busyPercentText.toDouble();
        QVERIFY2(busyPercent > 0.0 && busyPercent < 100.0, qPrintable(afterLong.busyPercentText));

        QThread::msleep(5); // lets the wall clock move on, so a changed time would show
        monitor.OnStarted();
        monitor.OnStopped();
        const Piece afterShort = ParseReport(DelayMonitor::getReportForAllInstancesHtmlXmlEscaped()).value(0);
        QCOMPARE(afterShort.longestMs, afterLong.longestMs);
        QCOMPARE(afterShort.longestAt, afterLong.longestAt);
    }

    void reportHasNothingToEscape()
    {
        DelayMonitor monitor(DelayMonitorActions::ManagerC_ping);
        monitor.OnStarted();
        monitor.OnStopped();
        const QString report = DelayMonitor::getReportForAllInstancesHtmlXmlEscaped();
        for (QChar c : {QChar('&'), QChar('<'), QChar('>'), QChar('"'), QChar('\'')})
            QVERIFY2(!report.contains(c), qPrintable(report));
    }

    // Owners time their runs and come and go on worker threads while the GUI thread reports.
    void reportRacesOwners()
    {
        std::atomic<bool> stop{false};
        std::vector<std::thread> owners;
        for (int t = 0; t < 3; ++t) {
            owners.emplace_back([&stop, t] {
                while (!stop.load()) {
                    DelayMonitor monitor(t % 3);
                    for (int i = 0; i < 200; ++i) {
                        monitor.OnStarted();
                        monitor.OnStopped();
                    }
                }
            });
        }
        QElapsedTimer elapsed;
        elapsed.start();
        int reports = 0;
        while (elapsed.elapsed() < 1000) {
            const QString report = DelayMonitor::getReportForAllInstancesHtmlXmlEscaped();
            QVERIFY2(report.isEmpty() || !ParseReport(report).isEmpty(), qPrintable(report));
            ++reports;
        }
        stop = true;
        for (std::thread& owner : owners)
            owner.join();
        QVERIFY(reports > 0);
        QCOMPARE(DelayMonitor::getReportForAllInstancesHtmlXmlEscaped(), QString());
    }
};

QTEST_GUILESS_MAIN(Tst_DelayMonitor)
#include "tst_delaymonitor.moc"
