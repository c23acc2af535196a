// A udpTxStreamsConfig signal as the test manager sends it: the records and the update checks.
#include "core/common.h"
#include "core/logging.h"
#include "sender/udptxstreamsconfig.h"

#include <QXmlStreamReader>
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
    QXmlStreamReader reader(QByteArray(reinterpret_cast<const char*>(data), static_cast<int>(size)));
    if (!reader.readNextStartElement())
        return 0;
    const QList<UdpTxStreamConfigElement> records = ReadUdpTxStreamsConfig(&reader);
    for (const UdpTxStreamConfigElement& record : records) {
        try {
            PacingForRemoteUpdate(&record);
        } catch (const std::exception&) {
        }
    }
    return 0;
}
