#pragma once

#include <QUuid>
#include <cstdint>
#include <cstring>

// The header of a test packet; every integer little-endian (the host order of x86-64).
//   short header, every test packet: 0 format id (u16), 2..7 unused, 8 sequence number (i64),
//                                     16 send time ns (i64)
//   long header, datagrams of 48 bytes or more with format id 0xABC1: 24 measurement interval s
//                                     (u16), 26 sender run id (16 bytes, RFC 4122 order),
//                                     42..43 unused, 44 destination IPv4 (u32, first octet most
//                                     significant), 0 for IPv6
struct NorvastelleUdpPacketShort
{
    uint16_t formatId;
    uint8_t unused[6];
    int64_t sequenceNumber;
    int64_t sendTimeNs;
};
static_assert(sizeof(NorvastelleUdpPacketShort) == 24, "short header is 24 bytes");

namespace TestPacket {

constexpr int ShortHeaderBytes = 24;
constexpr int LongHeaderBytes = 48;
constexpr uint16_t FormatIdLong = 0xABC1;
constexpr uint16_t FormatIdShort = 0xABC2;

constexpr int FormatIdOffset = 0;
constexpr int SequenceNumberOffset = 8;
constexpr int SendTimeOffset = 16;
constexpr int MeasurementIntervalOffset = 24;
constexpr int RunIdOffset = 26;
constexpr int DestinationIpv4Offset = 44;

// Writers into a buffer of at least the header's size. No allocation.
void WriteSequenceAndTime(uint8_t* packet, int64_t sequenceNumber, int64_t sendTimeNs);
// Format id by the datagram's own length: 48 bytes or more carry the long header.
void WriteFormatId(uint8_t* packet, int datagramLength);
void WriteMeasurementInterval(uint8_t* packet, int32_t measurementsIntervalS);
void WriteRunId(uint8_t* packet, const QUuid& runId); // a null id writes 16 zero bytes
void WriteDestinationIpv4(uint8_t* packet, uint32_t ipv4); // 0 for IPv6 destinations

// What a receiver reads from a datagram.
struct Header
{
    bool isTestPacket = false;   // 24 bytes or more, format id 0xABC1 or 0xABC2
    bool hasLongHeader = false;  // 48 bytes or more and format id 0xABC1
    int64_t sequenceNumber = 0;
    int64_t sendTimeNs = 0;
    uint16_t measurementIntervalS = 0;
    QUuid runId;
    uint32_t destinationIpv4 = 0;
};
Header Read(const uint8_t* datagram, int length);

} // namespace TestPacket
