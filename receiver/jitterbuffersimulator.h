#pragma once

#include "receiver/udpreceiverobservationparams.h"

#include <cstdint>

// Replays one source's test packets through a simulated jitter buffer of jbMaxSizeMs and counts,
// per measurement interval, what the G.107 E-model needs: packets seen, packets lost (missing by
// sequence number or discarded for arriving later than the buffer can hide) and the runs of
// packets that arrived in order and in time between losses. Pure arithmetic on the times passed
// in; used by the observation's receiving thread only.
class JitterBufferSimulator
{
public:
    // The two ratios of the E-model's bursty-loss impairment (ITU-T G.107), single precision.
    struct LossRatios
    {
        float packetLossRatio = 0; // ppl = lost / packets
        float burstRatio = 0;      // BurstR = |(lost / good runs) / (1 / (1 - ppl))|
    };

    explicit JitterBufferSimulator(const UdpReceiverObservationParams& params);

    // One test packet: its sequence number and send time (sender's clock, ns) and its receive
    // time (the observation's interval clock, ns). Does nothing while the buffer size is 0.
    void OnTestPacket(int64_t sequenceNumber, int64_t sendTimeNs, int64_t receiveTimeNs);

    // Starts a new interval: the counters go to zero. The previous packet's figures are kept,
    // but the next packet is only stored, since no packet of the new interval precedes it.
    void Reset();

    int32_t PayloadType() const { return payloadType; }
    int64_t BufferSizeNs() const { return bufferSizeNs; }
    int32_t Packets() const { return packets; }
    int32_t Lost() const { return lost; }
    int32_t GoodRuns() const { return goodRuns; }
    bool InGoodRun() const { return inGoodRun; }

    // True when the interval counted at least one test packet. Without one the loss ratio is
    // 0 / 0 and the estimate is not a number: the simulation is off (buffer size 0, as for every
    // port opened from the receiver tab) or the source sent no test packets. The report then
    // leaves the MOS out. With packets counted the estimate can still be undefined in one corner
    // (as many packets lost as counted and no good run: ppl 1, BurstR inf / inf); GetG107MOS
    // returns not-a-number then, which the report also leaves out.
    bool HasEstimate() const { return packets > 0; }

    // The ratios of this interval's counters (end-of-interval step 1); see ComputeLossRatios.
    LossRatios GetLossRatios() const { return ComputeLossRatios(packets, lost, goodRuns); }

    // ppl = lost / packets; mean burst = lost / good runs; BurstR = |mean burst / (1 / (1 - ppl))|:
    // the observed mean burst length over the one random loss would give (ITU-T G.107), all in
    // single precision. A zero divisor yields inf or not-a-number, as floating-point division does.
    static LossRatios ComputeLossRatios(int32_t packets, int32_t lost, int32_t goodRuns);

private:
    int32_t payloadType;
    int64_t bufferSizeNs;
    int32_t packets = 0;
    int32_t lost = 0;
    int32_t goodRuns = 0;
    bool inGoodRun = false;
    int64_t previousSendTimeNs = 0;
    int64_t previousReceiveTimeNs = 0;
    int64_t previousSequenceNumber = 0;
};
