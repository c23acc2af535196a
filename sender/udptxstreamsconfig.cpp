#include "sender/udptxstreamsconfig.h"

#include "core/exception.h"

#include <QXmlStreamAttributes>
#include <QXmlStreamReader>

namespace {

int32_t DecimalAttribute(const QXmlStreamAttributes& attributes, const char* name)
{
    return attributes.value(QLatin1String(name)).toString().toInt(nullptr, 10);
}

bool FlagAttribute(const QXmlStreamAttributes& attributes, const char* name)
{
    return attributes.value(QLatin1String(name)) == QLatin1String("true");
}

} // namespace

UdpTxStreamConfigElement ReadUdpTxStreamConfigElement(const QXmlStreamAttributes& attributes)
{
    UdpTxStreamConfigElement record;
    record.DestinationHost = attributes.value(QLatin1String("DestinationHost")).toString();
    record.DestinationPort = DecimalAttribute(attributes, "DestinationPort");
    record.TargetBandwidthBitsPerSecond = DecimalAttribute(attributes, "TargetBandwidthBitsPerSecond");
    record.PacketSizeInBytes = DecimalAttribute(attributes, "PacketSizeInBytes");
    record.MeasurementsIntervalS = DecimalAttribute(attributes, "MeasurementsIntervalS");
    record.LocalPort = DecimalAttribute(attributes, "LocalPort");
    record.EnableReceiver = FlagAttribute(attributes, "EnableReceiver");
    record.ReceiverObservationParams.codecPt =
        DecimalAttribute(attributes, "ReceiverObservationParams_codecPt");
    record.ReceiverObservationParams.jbMaxSizeMs =
        DecimalAttribute(attributes, "ReceiverObservationParams_jbMaxSizeMs");
    record.SendBackToSender = FlagAttribute(attributes, "SendBackToSender");
    return record;
}

QList<UdpTxStreamConfigElement> ReadUdpTxStreamsConfig(QXmlStreamReader* reader)
{
    static const QLatin1String recordName("udpTxStreamConfig");
    QList<UdpTxStreamConfigElement> records;
    // Lands on the first child's start, or on the list's own end when it has no children.
    reader->readNextStartElement();
    while (!reader->atEnd() && !reader->hasError()) {
        if (reader->isStartElement() && reader->name() == recordName)
            records.append(ReadUdpTxStreamConfigElement(reader->attributes()));
        else if (!(reader->isEndElement() && reader->name() == recordName) && !reader->isWhitespace())
            break;
        reader->readNext();
    }
    return records;
}

UdpSenderPacing PacingForRemoteUpdate(const UdpTxStreamConfigElement* cfg)
{
    if (cfg->PacketSizeInBytes < 24)
        throw Exception("UDP packet size is too small for Norvastelle format");
    NRI_ASSERT(cfg->PacketSizeInBytes <= minAllocatedDataLength);
    NRI_ASSERT(cfg->TargetBandwidthBitsPerSecond > 0);
    // Milliseconds between single packets: bytes per packet over bytes per millisecond.
    const double targetTimeBetweenSinglePacketsMs =
        1000.0 / (cfg->TargetBandwidthBitsPerSecond * 0.125 / cfg->PacketSizeInBytes);
    return PacingForPacketInterval(targetTimeBetweenSinglePacketsMs);
}

bool StreamMatchesRecord(const QString& destinationAddressText, int32_t destinationPort,
                         int32_t localPort, const UdpTxStreamConfigElement& record)
{
    return destinationAddressText == record.DestinationHost && destinationPort == record.DestinationPort &&
           localPort == record.LocalPort;
}
