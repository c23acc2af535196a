// A reply body from the test manager: the response chunk, then the document and its dispatch.
#include "core/common.h"
#include "core/logging.h"
#include "manager/frames.h"
#include "manager/managerconnection.h"

#include <QCoreApplication>
#include <QByteArray>
#include <cstddef>
#include <cstdint>

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv)
{
    InitializeCommonModule();
    InitializeLoggingModule();
    static QCoreApplication application(*argc, *argv);
    InitializeManagerConnection();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const QByteArray body(reinterpret_cast<const char*>(data), static_cast<int>(size));
    try {
        managerConnection->HandleResponseFromServer(DecodeResponseChunk(body));
    } catch (const std::exception&) {
        // Refused chunks are expected; the dispatch logs its own errors.
    }
    // The document alone, as a plain chunk would carry it.
    managerConnection->HandleResponseFromServer(std::string(reinterpret_cast<const char*>(data), size));
    return 0;
}
