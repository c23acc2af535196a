// A request frame as the stand-in test manager receives it from an agent.
#include "core/common.h"
#include "core/logging.h"
#include "manager/frames.h"

#include <cstddef>
#include <cstdint>

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    InitializeCommonModule();
    InitializeLoggingModule();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    try {
        DecodeRequestFrame(QByteArray(reinterpret_cast<const char*>(data), static_cast<int>(size)));
    } catch (const std::exception&) {
    }
    return 0;
}
