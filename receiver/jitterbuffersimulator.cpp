#include "receiver/jitterbuffersimulator.h"

#include <cmath>

namespace {

// Two's-complement arithmetic without signed overflow: sequence numbers and send times come off
// the wire and may be anything, so a crafted packet must not reach undefined behaviour.
int64_t WrappingSub(int64_t a, int64_t b)
{
    return static_cast<int64_t>(static_cast<uint64_t>(a) - static_cast<uint64_t>(b));
}

int32_t WrappingAdd32(int32_t a, int32_t b)
{
    return static_cast<int32_t>(static_cast<uint32_t>(a) + static_cast<uint32_t>(b));
}

} // namespace

JitterBufferSimulator::JitterBufferSimulator(const UdpReceiverObservationParams& params)
    : payloadType(params.codecPt),
      bufferSizeNs(static_cast<int64_t>(params.jbMaxSizeMs) * 1000000)
{
}

void JitterBufferSimulator::OnTestPacket(int64_t sequenceNumber, int64_t sendTimeNs,
                                         int64_t receiveTimeNs)
{
    if (bufferSizeNs == 0)
        return;

    if (packets != 0) {
        // Growth of the transit time since the previous test packet, ns.
        const int64_t transitGrowthNs =
            WrappingSub(WrappingSub(receiveTimeNs, previousReceiveTimeNs),
                        WrappingSub(sendTimeNs, previousSendTimeNs));
        // sequenceNumber > previousSequenceNumber + 1, without overflowing at the top of the range.
        const bool gap = sequenceNumber > previousSequenceNumber
                         && static_cast<uint64_t>(sequenceNumber)
                                        - static_cast<uint64_t>(previousSequenceNumber)
                                    > 1;
        if (transitGrowthNs > bufferSizeNs) {
            // Arrived after the buffer would have played it out: discarded although received.
            lost = WrappingAdd32(lost, 1);
            inGoodRun = false;
        } else if (gap) {
            // The missing numbers, counted in 32 bits; the packet after a gap starts no run.
            const int32_t missing = static_cast<int32_t>(
                static_cast<uint32_t>(sequenceNumber)
                - static_cast<uint32_t>(WrappingSub(previousSequenceNumber, -1)));
            lost = WrappingAdd32(lost, missing);
            inGoodRun = false;
        } else if (!inGoodRun) {
            // In order, or an older number that came in time.
            inGoodRun = true;
            goodRuns = WrappingAdd32(goodRuns, 1);
        }
    }

    // A late packet is stored too: the next one is judged against it.
    previousSendTimeNs = sendTimeNs;
    previousReceiveTimeNs = receiveTimeNs;
    previousSequenceNumber = sequenceNumber;
    packets = WrappingAdd32(packets, 1);
}

void JitterBufferSimulator::Reset()
{
    packets = 0;
    lost = 0;
    goodRuns = 0;
    inGoodRun = false;
}

JitterBufferSimulator::LossRatios JitterBufferSimulator::ComputeLossRatios(int32_t packets,
                                                                           int32_t lost,
                                                                           int32_t goodRuns)
{
    LossRatios ratios;
    ratios.packetLossRatio = static_cast<float>(lost) / static_cast<float>(packets);
    const float meanBurstLength = static_cast<float>(lost) / static_cast<float>(goodRuns);
    // Mean burst length random loss would give at this loss ratio (ITU-T G.107, BurstR).
    const float randomMeanBurstLength = 1.0f / (1.0f - ratios.packetLossRatio);
    ratios.burstRatio = std::fabs(meanBurstLength / randomMeanBurstLength);
    return ratios;
}
