#include "sender/testpacket.h"

#include <QByteArray>

namespace TestPacket {

namespace {

// Fields are stored in the host's own order (little-endian on x86-64); memcpy keeps unaligned
// offsets such as 26 and 44 well defined.
template <typename T>
void Store(uint8_t* packet, int offset, T value)
{
    std::memcpy(packet + offset, &value, sizeof(T));
}

template <typename T>
T Load(const uint8_t* packet, int offset)
{
    T value;
    std::memcpy(&value, packet + offset, sizeof(T));
    return value;
}

constexpr int RunIdBytes = 16;

} // namespace

void WriteSequenceAndTime(uint8_t* packet, int64_t sequenceNumber, int64_t sendTimeNs)
{
    Store<int64_t>(packet, SequenceNumberOffset, sequenceNumber);
    Store<int64_t>(packet, SendTimeOffset, sendTimeNs);
}

void WriteFormatId(uint8_t* packet, int datagramLength)
{
    Store<uint16_t>(packet, FormatIdOffset,
                    datagramLength >= LongHeaderBytes ? FormatIdLong : FormatIdShort);
}

void WriteMeasurementInterval(uint8_t* packet, int32_t measurementsIntervalS)
{
    Store<uint16_t>(packet, MeasurementIntervalOffset,
                    static_cast<uint16_t>(measurementsIntervalS & 0xFFFF));
}

void WriteRunId(uint8_t* packet, const QUuid& runId)
{
    if (runId.isNull()) {
        std::memset(packet + RunIdOffset, 0, RunIdBytes);
        return;
    }
    const QByteArray rfc4122 = runId.toRfc4122();
    std::memcpy(packet + RunIdOffset, rfc4122.constData(), RunIdBytes);
}

void WriteDestinationIpv4(uint8_t* packet, uint32_t ipv4)
{
    Store<uint32_t>(packet, DestinationIpv4Offset, ipv4);
}

Header Read(const uint8_t* datagram, int length)
{
    Header header;
    if (length < ShortHeaderBytes)
        return header;
    const uint16_t formatId = Load<uint16_t>(datagram, FormatIdOffset);
    if (formatId != FormatIdLong && formatId != FormatIdShort)
        return header;
    header.isTestPacket = true;
    header.sequenceNumber = Load<int64_t>(datagram, SequenceNumberOffset);
    header.sendTimeNs = Load<int64_t>(datagram, SendTimeOffset);
    if (length < LongHeaderBytes || formatId != FormatIdLong)
        return header;
    header.hasLongHeader = true;
    header.measurementIntervalS = Load<uint16_t>(datagram, MeasurementIntervalOffset);
    header.runId = QUuid::fromRfc4122(QByteArray::fromRawData(
        reinterpret_cast<const char*>(datagram + RunIdOffset), RunIdBytes));
    header.destinationIpv4 = Load<uint32_t>(datagram, DestinationIpv4Offset);
    return header;
}

} // namespace TestPacket
