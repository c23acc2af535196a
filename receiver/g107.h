#pragma once

// Voice-quality estimate of the simplified ITU-T G.107 E-model: default basic signal-to-noise
// ratio less simultaneous impairment (Ro - Is = 93.2), no delay impairment, no advantage factor,
// and the effective equipment impairment for random and bursty packet loss (Ie_eff with BurstR),
// with Ie and Bpl of ITU-T G.113 Appendix I.
//
// payloadType selects the codec by its RTP static payload type (RFC 3551): 18 G.729, 4 G.723,
// anything else G.711 with packet-loss concealment. packetLossRatio is ppl (lost / packets, not
// a percentage) and burstRatio is BurstR, both as JitterBufferSimulator::ComputeLossRatios
// forms them.
//
// Leaves one level-1 trace record of module UDPRX with the R-factor and the intermediate values
// and returns the MOS, which lies in 1..4.5 whenever the R-factor is a number. When the inputs
// leave the R-factor undefined (a not-a-number ratio, as after an interval without test packets,
// or BurstR not a number while there is loss) the MOS is not a number too, and the trace record
// shows "nan": the caller leaves such an estimate out of its report rather than inventing a score.
float GetG107MOS(int payloadType, float packetLossRatio, float burstRatio);
