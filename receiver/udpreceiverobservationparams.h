#pragma once

#include <cstdint>

// Parameters of the voice-quality estimate of one observation.
struct UdpReceiverObservationParams
{
    int32_t jbMaxSizeMs = 0; // simulated jitter buffer, ms; 0 switches the simulation off
    int32_t codecPt = 0;     // RTP payload type of the assumed voice codec
};
