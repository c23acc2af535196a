// The stored password: base64 text opened with key set 3.
#include "core/common.h"
#include "core/logging.h"
#include "manager/cryptoprocedures.h"

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
    const std::string text(reinterpret_cast<const char*>(data), size);
    const std::string decoded = base64_decode(text);
    const std::string encoded =
        base64_encode(reinterpret_cast<const unsigned char*>(decoded.data()), static_cast<unsigned>(decoded.size()));
    if (base64_decode(encoded) != decoded)
        __builtin_trap(); // encoding what was decoded must give the same bytes back
    try {
        D3_base64(text);
    } catch (const std::exception&) {
    }
    return 0;
}
