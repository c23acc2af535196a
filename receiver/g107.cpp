#include "receiver/g107.h"

#include "core/logging.h"

#include <QString>

namespace {

// Equipment impairment factor Ie and packet-loss robustness factor Bpl of one codec
// (ITU-T G.113 Appendix I).
struct CodecImpairment
{
    int equipmentImpairment; // Ie
    double packetLossRobustness; // Bpl
};

CodecImpairment CodecImpairmentOf(int payloadType)
{
    switch (payloadType) {
    case 18: // G.729
        return {11, 19.0};
    case 4: // G.723
        return {15, 16.1};
    default: // G.711 with packet-loss concealment (payload type 0 and all the others)
        return {0, 25.1};
    }
}

// Ro - Is with the default values of ITU-T G.107; no delay impairment, no advantage factor.
constexpr double DefaultRFactor = 93.2;

QString G(double value)
{
    return QString::number(value, 'g', 6);
}

} // namespace

float GetG107MOS(int payloadType, float packetLossRatio, float burstRatio)
{
    TRACE_SCOPE(ModuleUDPRX, TraceLevelRoutine);

    const CodecImpairment codec = CodecImpairmentOf(payloadType);
    const int ie = codec.equipmentImpairment;
    const double bpl = codec.packetLossRobustness;

    // Packet loss in percent: formed in single precision, used in double.
    const float packetLossPercentSingle = packetLossRatio * 100.0f;
    const double packetLossPercent = packetLossPercentSingle;

    // Ie_eff = Ie + (95 - Ie) * Ppl / (Ppl / BurstR + Bpl)   (ITU-T G.107).
    // Computed in every case so that the trace shows it, also when it is not used below.
    const double ieEff = ie
                         + (95 - ie) * packetLossPercent
                               / (packetLossPercent / static_cast<double>(burstRatio) + bpl);

    // Without loss (or without a burst figure) the codec's own impairment stands alone.
    double rFactor = (burstRatio == 0.0f || packetLossPercent == 0.0) ? DefaultRFactor - ie
                                                                        : DefaultRFactor - ieEff;

    // MOS = 1 + 0.035 R + R (R - 60) (100 - R) 7e-6 for 0 < R < 100   (ITU-T G.107, Annex B).
    float mos;
    if (rFactor > 100) {
        rFactor = 100;
        mos = 4.5f;
    } else if (rFactor < 0) {
        rFactor = 0;
        mos = 1.0f;
    } else {
        // A not-a-number R passes both tests above and stays not-a-number here.
        mos = static_cast<float>(1 + 0.035 * rFactor
                                 + rFactor * (rFactor - 60) * (100 - rFactor) * 7e-6);
        if (mos < 1.0f)
            mos = 1.0f;
        if (mos > 4.5f)
            mos = 4.5f;
    }

    TRACE_MESSAGE(ModuleUDPRX, TraceLevelNotable,
                  QStringLiteral("G.107 burstRate=%1, packetLossRate=%2, R-factor=%3, MOS=%4, "
                                 "Ie=%5, Ie_eff=%6, Bpl=%7, PT=%8")
                      .arg(G(burstRatio), G(packetLossRatio), G(rFactor), G(mos), G(ie), G(ieEff),
                           G(bpl), QString::number(payloadType)));
    return mos;
}
