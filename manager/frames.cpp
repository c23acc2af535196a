#include "manager/frames.h"

#include "core/exception.h"
#include "manager/cryptoprocedures.h"

#include <QtEndian>

namespace {

constexpr int HeaderBytes = 5;

void AppendInt32(QByteArray* bytes, qint32 value)
{
    char le[4];
    qToLittleEndian<qint32>(value, le);
    bytes->append(le, 4);
}

qint32 ReadInt32(const QByteArray& bytes, int offset)
{
    return qFromLittleEndian<qint32>(bytes.constData() + offset);
}

std::string UpToFirstZero(const std::string& text)
{
    return text.substr(0, text.find('\0'));
}

} // namespace

std::string WrapSignal(const std::string& signalText)
{
    return "<request>" + signalText + "</request>";
}

QByteArray BuildRequestFrame(const std::string& signalText, bool seal)
{
    const std::string text = WrapSignal(signalText);
    const std::string payload = seal ? E2(text) : text;
    QByteArray frame;
    frame.reserve(HeaderBytes + static_cast<int>(payload.size()));
    AppendInt32(&frame, static_cast<qint32>(payload.size()));
    frame.append(seal ? '\1' : '\0');
    frame.append(payload.data(), static_cast<int>(payload.size()));
    return frame;
}

RequestFrame DecodeRequestFrame(const QByteArray& body)
{
    if (body.size() < HeaderBytes)
        throw Exception("request frame shorter than its 5-byte header");
    const qint32 payloadSize = ReadInt32(body, 0);
    if (payloadSize < 0 || payloadSize > body.size() - HeaderBytes)
        throw Exception("request frame length field does not match its body");
    RequestFrame frame;
    frame.sealed = body.at(4) != 0;
    const std::string payload(body.constData() + HeaderBytes, static_cast<size_t>(payloadSize));
    frame.text = UpToFirstZero(frame.sealed ? D2(payload) : payload);
    return frame;
}

QByteArray BuildResponseChunk(const std::string& document, bool seal)
{
    const std::string payload = seal ? E2(document) : document;
    QByteArray chunk;
    chunk.reserve(HeaderBytes + static_cast<int>(payload.size()));
    chunk.append(seal ? '\1' : '\0');
    AppendInt32(&chunk, static_cast<qint32>(payload.size()));
    chunk.append(payload.data(), static_cast<int>(payload.size()));
    return chunk;
}

std::string DecodeResponseChunk(const QByteArray& body)
{
    if (body.size() <= HeaderBytes)
        throw Exception("Assertion failed. Following expression is false: remainingSize > 5");
    const bool sealed = body.at(0) != 0;
    const qint32 chunkDataSize = ReadInt32(body, 1);
    const int remainingSize = body.size() - HeaderBytes;
    // A negative length is refused like one that runs past the body.
    if (chunkDataSize < 0 || remainingSize < chunkDataSize)
        throw Exception("Assertion failed. Following expression is false: remainingSize >= chunkDataSize");
    const std::string payload(body.constData() + HeaderBytes, static_cast<size_t>(chunkDataSize));
    return sealed ? D2(payload) : payload;
}

std::string EscapeXml(const std::string& text)
{
    std::string escaped;
    escaped.reserve(text.size());
    for (const char c : text) {
        switch (c) {
        case '&': escaped += "&amp;"; break;
        case '<': escaped += "&lt;"; break;
        case '>': escaped += "&gt;"; break;
        case '\'': escaped += "&apos;"; break;
        case '"': escaped += "&quot;"; break;
        default: escaped += c;
        }
    }
    return escaped;
}
