#include "core/logging.h"
#include "receiver/g107.h"
#include "receiver/jitterbuffersimulator.h"

#include <QtTest>
#include <cmath>
#include <limits>

namespace {

// One test packet as the observation hands it to the simulator.
struct TestPacket
{
    qint64 sequenceNumber;
    qint64 sendTimeNs;
    qint64 receiveTimeNs;
};

using TestPackets = QVector<TestPacket>;

constexpr qint64 Ms = 1000000; // ns

// Packets every 20 ms with a constant 10 ms transit time, numbered first..last except skipped.
TestPackets Stream(qint64 first, qint64 last, const QVector<qint64>& skipped = {})
{
    TestPackets packets;
    for (qint64 seq = first; seq <= last; ++seq) {
        if (!skipped.contains(seq))
            packets.append({seq, seq * 20 * Ms, seq * 20 * Ms + 10 * Ms});
    }
    return packets;
}

UdpReceiverObservationParams Params(int jbMaxSizeMs, int codecPt)
{
    UdpReceiverObservationParams params;
    params.jbMaxSizeMs = jbMaxSizeMs;
    params.codecPt = codecPt;
    return params;
}

void Feed(JitterBufferSimulator* simulator, const TestPackets& packets)
{
    for (const TestPacket& packet : packets)
        simulator->OnTestPacket(packet.sequenceNumber, packet.sendTimeNs, packet.receiveTimeNs);
}

QString Counters(const JitterBufferSimulator& simulator)
{
    return QStringLiteral("packets %1, lost %2, good runs %3, in good run %4")
        .arg(simulator.Packets())
        .arg(simulator.Lost())
        .arg(simulator.GoodRuns())
        .arg(simulator.InGoodRun());
}

// Equal within a relative tolerance, or both not-a-number, or the same infinity.
bool SameFloat(double actual, double expected, double relativeTolerance)
{
    if (std::isnan(expected))
        return std::isnan(actual);
    if (std::isinf(expected))
        return actual == expected;
    return std::fabs(actual - expected) <= relativeTolerance * std::max(1.0, std::fabs(expected));
}

// The newest notable record as "<module>: <text> @<function>", cut from its listing line
// "[<age>s <module>] <text> @<function> @<source file>:<line>".
QString NewestNotableRecord()
{
    const QString listing = GetRecentTrace(1, TraceLevelNotable);
    const int moduleStart = listing.indexOf(QLatin1Char(' ')) + 1;
    const int textStart = listing.indexOf(QLatin1String("] "));
    const int sourceStart = listing.lastIndexOf(QLatin1String(" @"));
    if (moduleStart <= 0 || textStart < moduleStart || sourceStart < textStart)
        return listing;
    return listing.mid(moduleStart, textStart - moduleStart) + QLatin1String(": ")
           + listing.mid(textStart + 2, sourceStart - textStart - 2);
}

const double notANumber = std::numeric_limits<double>::quiet_NaN();
const double infinity = std::numeric_limits<double>::infinity();

} // namespace

Q_DECLARE_METATYPE(TestPackets)

class TstVoiceQuality : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void simulatorCounts_data();
    void simulatorCounts();
    void resetKeepsPreviousPacketButStoresNextOnly();
    void simulationOffCountsNothing();
    void lossRatios_data();
    void lossRatios();
    void estimate_data();
    void estimate();
    void estimateFromSimulatedStream_data();
    void estimateFromSimulatedStream();
};

void TstVoiceQuality::initTestCase()
{
    InitializeLoggingModule();
}

void TstVoiceQuality::simulatorCounts_data()
{
    QTest::addColumn<int>("jbMaxSizeMs");
    QTest::addColumn<TestPackets>("packets");
    QTest::addColumn<int>("expectedPackets");
    QTest::addColumn<int>("expectedLost");
    QTest::addColumn<int>("expectedGoodRuns");
    QTest::addColumn<bool>("expectedInGoodRun");

    QTest::newRow("first packet of the interval is only stored")
        << 60 << Stream(7, 7) << 1 << 0 << 0 << false;
    QTest::newRow("second packet in order starts the first good run")
        << 60 << Stream(0, 1) << 2 << 0 << 1 << true;
    QTest::newRow("in order 0..9: one good run") << 60 << Stream(0, 9) << 10 << 0 << 1 << true;
    QTest::newRow("gap of three adds 3; packet after the gap starts no run")
        << 60 << Stream(0, 5, {2, 3, 4}) << 3 << 3 << 1 << false;
    QTest::newRow("gap of three; the packet after the gap and the next make one new run")
        << 60 << Stream(0, 6, {2, 3, 4}) << 4 << 3 << 2 << true;
    QTest::newRow("two single gaps: three runs")
        << 60 << Stream(0, 11, {3, 7}) << 10 << 2 << 3 << true;
    QTest::newRow("older number in a run keeps the run")
        << 60 << TestPackets{{0, 0, 10 * Ms}, {1, 20 * Ms, 30 * Ms}, {2, 40 * Ms, 50 * Ms},
                             {1, 20 * Ms, 55 * Ms}, {2, 40 * Ms, 60 * Ms}}
        << 5 << 0 << 1 << true;
    // 0 1 3 2 4: the jump to 3 is a gap of one, 2 is older and restarts a run, the jump from 2
    // to 4 is a gap again.
    QTest::newRow("reordered 0,1,3,2,4: older number in time starts a run, both jumps are gaps")
        << 60 << TestPackets{{0, 0, 10 * Ms}, {1, 20 * Ms, 30 * Ms}, {3, 60 * Ms, 70 * Ms},
                             {2, 40 * Ms, 75 * Ms}, {4, 80 * Ms, 90 * Ms}}
        << 5 << 2 << 2 << false;
    QTest::newRow("reordered packet whose transit grew by more than the buffer is late")
        << 60 << TestPackets{{0, 0, 10 * Ms}, {1, 20 * Ms, 30 * Ms}, {3, 60 * Ms, 70 * Ms},
                             {2, 40 * Ms, 111 * Ms}}
        << 4 << 2 << 1 << false;
    QTest::newRow("transit growth of exactly the buffer size (60 ms) is in time")
        << 60 << TestPackets{{0, 0, 10 * Ms}, {1, 20 * Ms, 30 * Ms}, {2, 40 * Ms, 110 * Ms}}
        << 3 << 0 << 1 << true;
    QTest::newRow("transit growth of 61 ms beyond a 60 ms buffer: late, counted and lost")
        << 60 << TestPackets{{0, 0, 10 * Ms}, {1, 20 * Ms, 30 * Ms}, {2, 40 * Ms, 111 * Ms}}
        << 3 << 1 << 1 << false;
    QTest::newRow("growth of 1 ns beyond the buffer is late")
        << 60 << TestPackets{{0, 0, 10 * Ms}, {1, 20 * Ms, 30 * Ms}, {2, 40 * Ms, 110 * Ms + 1}}
        << 3 << 1 << 1 << false;
    QTest::newRow("late then in time: next judged against the late packet, starts a new run")
        << 60 << TestPackets{{0, 0, 10 * Ms}, {1, 20 * Ms, 30 * Ms}, {2, 40 * Ms, 111 * Ms},
                             {3, 60 * Ms, 131 * Ms}}
        << 4 << 1 << 2 << true;
    QTest::newRow("late then back to the old transit: a fall is never late")
        << 60 << TestPackets{{0, 0, 10 * Ms}, {1, 20 * Ms, 30 * Ms}, {2, 40 * Ms, 111 * Ms},
                             {3, 60 * Ms, 70 * Ms}}
        << 4 << 1 << 2 << true;
    QTest::newRow("late after a gap: judged late first, the gap is not counted")
        << 60 << TestPackets{{0, 0, 10 * Ms}, {1, 20 * Ms, 30 * Ms}, {5, 100 * Ms, 171 * Ms}}
        << 3 << 1 << 1 << false;
    QTest::newRow("slow transit growth within the buffer at every step is never late")
        << 20 << TestPackets{{0, 0, 10 * Ms}, {1, 20 * Ms, 50 * Ms}, {2, 40 * Ms, 90 * Ms},
                             {3, 60 * Ms, 130 * Ms}}
        << 4 << 0 << 1 << true;
    QTest::newRow("gap wider than 2^32 numbers counts its low 32 bits")
        << 60 << TestPackets{{0, 0, 10 * Ms}, {1, 20 * Ms, 30 * Ms},
                             {(qint64(1) << 32) + 7, 40 * Ms, 50 * Ms}}
        << 3 << 5 << 1 << false;
    // 0 to the top: 2^63 - 2 missing, whose low 32 bits read as -2; the fall to the bottom is
    // an older number and starts a run.
    QTest::newRow("extreme sequence numbers: 32-bit gap count, no overflow")
        << 60 << TestPackets{{0, 0, 10 * Ms},
                             {std::numeric_limits<qint64>::max(), 20 * Ms, 30 * Ms},
                             {std::numeric_limits<qint64>::min(), 40 * Ms, 50 * Ms}}
        << 3 << -2 << 1 << true;
    QTest::newRow("extreme send times wrap instead of overflowing")
        << 60 << TestPackets{{0, std::numeric_limits<qint64>::max(), 10 * Ms},
                             {1, std::numeric_limits<qint64>::min(), 30 * Ms}}
        << 2 << 0 << 1 << true;
}

void TstVoiceQuality::simulatorCounts()
{
    QFETCH(int, jbMaxSizeMs);
    QFETCH(TestPackets, packets);
    QFETCH(int, expectedPackets);
    QFETCH(int, expectedLost);
    QFETCH(int, expectedGoodRuns);
    QFETCH(bool, expectedInGoodRun);

    JitterBufferSimulator simulator(Params(jbMaxSizeMs, 0));
    QCOMPARE(simulator.BufferSizeNs(), qint64(jbMaxSizeMs) * Ms);
    Feed(&simulator, packets);

    const bool ok = simulator.Packets() == expectedPackets && simulator.Lost() == expectedLost
                    && simulator.GoodRuns() == expectedGoodRuns
                    && simulator.InGoodRun() == expectedInGoodRun;
    QVERIFY2(ok, qPrintable(QStringLiteral("got %1; expected packets %2, lost %3, good runs %4, "
                                           "in good run %5")
                                .arg(Counters(simulator))
                                .arg(expectedPackets)
                                .arg(expectedLost)
                                .arg(expectedGoodRuns)
                                .arg(expectedInGoodRun)));
    QCOMPARE(simulator.HasEstimate(), expectedPackets > 0);
}

void TstVoiceQuality::resetKeepsPreviousPacketButStoresNextOnly()
{
    JitterBufferSimulator simulator(Params(60, 18));
    Feed(&simulator, Stream(0, 5, {3}));
    QCOMPARE(Counters(simulator), QStringLiteral("packets 5, lost 1, good runs 2, in good run 1"));

    simulator.Reset();
    QCOMPARE(Counters(simulator), QStringLiteral("packets 0, lost 0, good runs 0, in good run 0"));
    QVERIFY(!simulator.HasEstimate());
    QCOMPARE(simulator.PayloadType(), 18);
    QCOMPARE(simulator.BufferSizeNs(), 60 * Ms);

    // Judged against packet 5 this would be both a gap of 94 and 500 ms late; as the first
    // packet of the new interval it is only stored.
    simulator.OnTestPacket(100, 2000 * Ms, 2510 * Ms);
    QCOMPARE(Counters(simulator), QStringLiteral("packets 1, lost 0, good runs 0, in good run 0"));

    // The next one is judged against the stored packet: in order and in time.
    simulator.OnTestPacket(101, 2020 * Ms, 2530 * Ms);
    QCOMPARE(Counters(simulator), QStringLiteral("packets 2, lost 0, good runs 1, in good run 1"));
}

void TstVoiceQuality::simulationOffCountsNothing()
{
    JitterBufferSimulator simulator(Params(0, 0));
    QCOMPARE(simulator.BufferSizeNs(), qint64(0));
    Feed(&simulator, Stream(0, 20, {4, 5, 6}));
    simulator.OnTestPacket(21, 420 * Ms, 10000 * Ms);
    QCOMPARE(Counters(simulator), QStringLiteral("packets 0, lost 0, good runs 0, in good run 0"));
    QVERIFY(!simulator.HasEstimate());

    const JitterBufferSimulator::LossRatios ratios = simulator.GetLossRatios();
    QVERIFY(std::isnan(ratios.packetLossRatio));
    QVERIFY(std::isnan(ratios.burstRatio));
}

void TstVoiceQuality::lossRatios_data()
{
    QTest::addColumn<int>("packets");
    QTest::addColumn<int>("lost");
    QTest::addColumn<int>("goodRuns");
    QTest::addColumn<double>("expectedPacketLossRatio");
    QTest::addColumn<double>("expectedBurstRatio");

    // 10/1000; mean burst 10/11 over 1/(1 - 0.01): 0.909091 * 0.99 = 0.9.
    QTest::newRow("1000 packets, 10 lost, 11 good runs") << 1000 << 10 << 11 << 0.01 << 0.9;
    QTest::newRow("no loss: BurstR 0") << 1000 << 0 << 1 << 0.0 << 0.0;
    // 50/100 = 0.5; mean burst 50/3 = 16.6667 over 1/(1 - 0.5) = 2.
    QTest::newRow("100 packets, 50 lost in bursts, 3 good runs")
        << 100 << 50 << 3 << 0.5 << 8.333333;
    // ppl counts lost against received packets, so it exceeds 1 when more are lost than arrive;
    // 30/10 = 3; mean burst 30/2 = 15 over 1/(1 - 3) = -0.5, taken absolute.
    QTest::newRow("more lost than received: ppl above 1, BurstR positive")
        << 10 << 30 << 2 << 3.0 << 30.0;
    QTest::newRow("no packets: 0/0") << 0 << 0 << 0 << notANumber << notANumber;
    QTest::newRow("loss without a good run: BurstR infinite") << 2 << 1 << 0 << 0.5 << infinity;
    QTest::newRow("as many lost as received, no good run: BurstR inf/inf")
        << 2 << 2 << 0 << 1.0 << notANumber;
}

void TstVoiceQuality::lossRatios()
{
    QFETCH(int, packets);
    QFETCH(int, lost);
    QFETCH(int, goodRuns);
    QFETCH(double, expectedPacketLossRatio);
    QFETCH(double, expectedBurstRatio);

    const JitterBufferSimulator::LossRatios ratios =
        JitterBufferSimulator::ComputeLossRatios(packets, lost, goodRuns);
    QVERIFY2(SameFloat(ratios.packetLossRatio, expectedPacketLossRatio, 1e-6),
             qPrintable(QStringLiteral("ppl %1, expected %2")
                            .arg(double(ratios.packetLossRatio), 0, 'g', 9)
                            .arg(expectedPacketLossRatio)));
    QVERIFY2(SameFloat(ratios.burstRatio, expectedBurstRatio, 1e-6),
             qPrintable(QStringLiteral("BurstR %1, expected %2")
                            .arg(double(ratios.burstRatio), 0, 'g', 9)
                            .arg(expectedBurstRatio)));
}

void TstVoiceQuality::estimate_data()
{
    QTest::addColumn<int>("payloadType");
    QTest::addColumn<float>("packetLossRatio");
    QTest::addColumn<float>("burstRatio");
    QTest::addColumn<double>("expectedMos");
    QTest::addColumn<QString>("expectedTrace");

    // Without loss R = 93.2 - Ie and MOS = 1 + 0.035 R + R (R - 60) (100 - R) 7e-6. Ie_eff is
    // computed anyway and is 0 / (0 / 0 + Bpl): not a number, shown as such.
    QTest::newRow("G.711 (type 0) without loss: R 93.2, MOS 4.409286")
        << 0 << 0.0f << 0.0f << 4.409286
        << "UDPRX: G.107 burstRate=0, packetLossRate=0, R-factor=93.2, MOS=4.40929, Ie=0, "
           "Ie_eff=nan, Bpl=25.1, PT=0";
    QTest::newRow("G.729 (type 18) without loss: R 82.2, MOS 4.104375")
        << 18 << 0.0f << 0.0f << 4.104375
        << "UDPRX: G.107 burstRate=0, packetLossRate=0, R-factor=82.2, MOS=4.10437, Ie=11, "
           "Ie_eff=nan, Bpl=19, PT=18";
    QTest::newRow("G.723 (type 4) without loss: R 78.2, MOS 3.954186")
        << 4 << 0.0f << 0.0f << 3.954186
        << "UDPRX: G.107 burstRate=0, packetLossRate=0, R-factor=78.2, MOS=3.95419, Ie=15, "
           "Ie_eff=nan, Bpl=16.1, PT=4";
    QTest::newRow("type 8 (not in the table) without loss is estimated as G.711")
        << 8 << 0.0f << 0.0f << 4.409286
        << "UDPRX: G.107 burstRate=0, packetLossRate=0, R-factor=93.2, MOS=4.40929, Ie=0, "
           "Ie_eff=nan, Bpl=25.1, PT=8";
    QTest::newRow("loss but BurstR 0: the codec's Ie alone")
        << 0 << 0.3f << 0.0f << 4.409286
        << "UDPRX: G.107 burstRate=0, packetLossRate=0.3, R-factor=93.2, MOS=4.40929, Ie=0, "
           "Ie_eff=0, Bpl=25.1, PT=0";
    // Ie_eff = 95 * 1 / (1 / 0.9 + 25.1) = 95 / 26.2111 = 3.62442; R = 89.5756.
    QTest::newRow("G.711, ppl 0.01, BurstR 0.9: Ie_eff 3.62442, R 89.5756, MOS 4.328464")
        << 0 << 0.01f << 0.9f << 4.328464
        << "UDPRX: G.107 burstRate=0.9, packetLossRate=0.01, R-factor=89.5756, MOS=4.32846, "
           "Ie=0, Ie_eff=3.62442, Bpl=25.1, PT=0";
    // Ie_eff = 11 + 84 / (1 / 0.9 + 19) = 11 + 84 / 20.1111 = 15.1768; R = 78.0232.
    QTest::newRow("G.729, ppl 0.01, BurstR 0.9: Ie_eff 15.1768, R 78.0232, MOS 3.947143")
        << 18 << 0.01f << 0.9f << 3.947143
        << "UDPRX: G.107 burstRate=0.9, packetLossRate=0.01, R-factor=78.0232, MOS=3.94714, "
           "Ie=11, Ie_eff=15.1768, Bpl=19, PT=18";
    // Ie_eff = 15 + 80 / (1 / 0.9 + 16.1) = 15 + 80 / 17.2111 = 19.6482; R = 73.5518.
    QTest::newRow("G.723, ppl 0.01, BurstR 0.9: Ie_eff 19.6482, R 73.5518, MOS 3.758852")
        << 4 << 0.01f << 0.9f << 3.758852
        << "UDPRX: G.107 burstRate=0.9, packetLossRate=0.01, R-factor=73.5518, MOS=3.75885, "
           "Ie=15, Ie_eff=19.6482, Bpl=16.1, PT=4";
    // Ie_eff = 95 * 50 / (50 / 8.33333 + 25.1) = 4750 / 31.1 = 152.733; R = -59.5 -> 0.
    QTest::newRow("R below 0 (half lost in long bursts): R 0, MOS 1")
        << 0 << 0.5f << 8.333333f << 1.0
        << "UDPRX: G.107 burstRate=8.33333, packetLossRate=0.5, R-factor=0, MOS=1, Ie=0, "
           "Ie_eff=152.733, Bpl=25.1, PT=0";
    // Ie_eff = 95 * -10 / (-10 / 1 + 25.1) = -62.9139; R = 156.1 -> 100.
    QTest::newRow("R above 100 (negative loss ratio): R 100, MOS 4.5")
        << 0 << -0.1f << 1.0f << 4.5
        << "UDPRX: G.107 burstRate=1, packetLossRate=-0.1, R-factor=100, MOS=4.5, Ie=0, "
           "Ie_eff=-62.9139, Bpl=25.1, PT=0";
    // Ie_eff = 95 * 50 / (50 / 1.8 + 25.1) = 89.8298; R = 3.37021, where the formula gives
    // 1 + 0.118 - 0.129 = 0.989: raised to 1.
    QTest::newRow("R 3.37 in range but MOS formula below 1: MOS raised to 1")
        << 0 << 0.5f << 1.8f << 1.0
        << "UDPRX: G.107 burstRate=1.8, packetLossRate=0.5, R-factor=3.37021, MOS=1, Ie=0, "
           "Ie_eff=89.8298, Bpl=25.1, PT=0";
    // Ie_eff = 95 * 50 / (50 / inf + 25.1) = 189.243; R below 0.
    QTest::newRow("infinite BurstR (loss, no good run): Ie_eff = Ie + (95 - Ie) Ppl / Bpl, MOS 1")
        << 0 << 0.5f << float(infinity) << 1.0
        << "UDPRX: G.107 burstRate=inf, packetLossRate=0.5, R-factor=0, MOS=1, Ie=0, "
           "Ie_eff=189.243, Bpl=25.1, PT=0";
    QTest::newRow("no packets (0/0 ratios): MOS not a number, trace says nan")
        << 0 << float(notANumber) << float(notANumber) << notANumber
        << "UDPRX: G.107 burstRate=nan, packetLossRate=nan, R-factor=nan, MOS=nan, Ie=0, "
           "Ie_eff=nan, Bpl=25.1, PT=0";
    QTest::newRow("loss with BurstR not a number: MOS not a number")
        << 18 << 1.0f << float(notANumber) << notANumber
        << "UDPRX: G.107 burstRate=nan, packetLossRate=1, R-factor=nan, MOS=nan, Ie=11, "
           "Ie_eff=nan, Bpl=19, PT=18";
}

void TstVoiceQuality::estimate()
{
    QFETCH(int, payloadType);
    QFETCH(float, packetLossRatio);
    QFETCH(float, burstRatio);
    QFETCH(double, expectedMos);
    QFETCH(QString, expectedTrace);

    const float mos = GetG107MOS(payloadType, packetLossRatio, burstRatio);
    QVERIFY2(SameFloat(mos, expectedMos, 1e-6),
             qPrintable(QStringLiteral("MOS %1, expected %2")
                            .arg(double(mos), 0, 'g', 9)
                            .arg(expectedMos)));
    if (!std::isnan(mos))
        QVERIFY2(mos >= 1.0f && mos <= 4.5f, qPrintable(QString::number(mos)));

    QCOMPARE(NewestNotableRecord(), expectedTrace + QLatin1String(" @GetG107MOS"));
}

void TstVoiceQuality::estimateFromSimulatedStream_data()
{
    QTest::addColumn<int>("codecPt");
    QTest::addColumn<TestPackets>("packets");
    QTest::addColumn<double>("expectedMos");
    QTest::addColumn<QString>("expectedTrace");

    // 0..1009 without 100, 200, ..., 1000: 1000 packets, 10 lost; the first packet and every
    // packet after a gap start no run, the next ones do: 11 good runs.
    QVector<qint64> tenSingleGaps;
    for (qint64 seq = 100; seq <= 1000; seq += 100)
        tenSingleGaps.append(seq);
    QTest::newRow("type 0, 1000 packets, 10 lost, 11 good runs: MOS 4.328464")
        << 0 << Stream(0, 1009, tenSingleGaps) << 4.328464
        << "UDPRX: G.107 burstRate=0.9, packetLossRate=0.01, R-factor=89.5756, MOS=4.32846, "
           "Ie=0, Ie_eff=3.62442, Bpl=25.1, PT=0";

    // 0..33, 59..91 and 117..149 arrive (100 packets), two bursts of 25 are lost, 3 good runs.
    QVector<qint64> twoBursts;
    for (qint64 seq = 34; seq <= 58; ++seq)
        twoBursts.append(seq);
    for (qint64 seq = 92; seq <= 116; ++seq)
        twoBursts.append(seq);
    QTest::newRow("type 0, half as many lost as received in two bursts: R 0, MOS 1")
        << 0 << Stream(0, 149, twoBursts) << 1.0
        << "UDPRX: G.107 burstRate=8.33333, packetLossRate=0.5, R-factor=0, MOS=1, Ie=0, "
           "Ie_eff=152.733, Bpl=25.1, PT=0";

    QTest::newRow("type 18, clean stream: MOS 4.104375")
        << 18 << Stream(0, 49) << 4.104375
        << "UDPRX: G.107 burstRate=0, packetLossRate=0, R-factor=82.2, MOS=4.10437, Ie=11, "
           "Ie_eff=nan, Bpl=19, PT=18";
}

void TstVoiceQuality::estimateFromSimulatedStream()
{
    QFETCH(int, codecPt);
    QFETCH(TestPackets, packets);
    QFETCH(double, expectedMos);
    QFETCH(QString, expectedTrace);

    JitterBufferSimulator simulator(Params(60, codecPt));
    Feed(&simulator, packets);
    QVERIFY(simulator.HasEstimate());
    const JitterBufferSimulator::LossRatios ratios = simulator.GetLossRatios();
    const float mos =
        GetG107MOS(simulator.PayloadType(), ratios.packetLossRatio, ratios.burstRatio);
    QVERIFY2(SameFloat(mos, expectedMos, 1e-6),
             qPrintable(QStringLiteral("MOS %1, expected %2 (%3)")
                            .arg(double(mos), 0, 'g', 9)
                            .arg(expectedMos)
                            .arg(Counters(simulator))));
    QCOMPARE(NewestNotableRecord(), expectedTrace + QLatin1String(" @GetG107MOS"));
}

QTEST_GUILESS_MAIN(TstVoiceQuality)
#include "tst_voicequality.moc"
