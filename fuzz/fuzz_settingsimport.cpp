// A settings file as it may be found beside the executable.
#include "core/common.h"
#include "core/logging.h"
#include "settings/settings.h"

#include <QBuffer>
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
    QByteArray bytes(reinterpret_cast<const char*>(data), static_cast<int>(size));
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::ReadOnly);
    try {
        SettingsXmlProcedures::ImportSettingsFromXml(&buffer);
    } catch (const std::exception&) {
    }
    return 0;
}
