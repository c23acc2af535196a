#pragma once

#include "sender/udpsenderthread.h"

#include <QList>

class QXmlStreamAttributes;
class QXmlStreamReader;

// One udpTxStreamConfig element's attributes. Missing attributes read as 0, empty or false;
// integers that are not decimal numbers read as 0; the flags are true only for "true" exactly.
UdpTxStreamConfigElement ReadUdpTxStreamConfigElement(const QXmlStreamAttributes& attributes);

// The records of a udpTxStreamsConfig element. The reader stands on that element's start.
// It moves to the next start element, then takes one record per udpTxStreamConfig start element,
// passing over their end elements and white space; any other token (the list's end element, an
// element of another name, a comment, other text) or the end of the input ends the list, and the
// reader is left on that token. A reader error is left for the caller to examine.
QList<UdpTxStreamConfigElement> ReadUdpTxStreamsConfig(QXmlStreamReader* reader);

// The pacing of a remote in-place update of a running stream, after the update's checks in this
// order: packet size at least 24, at most minAllocatedDataLength (the least buffer of every
// Norvastelle-format stream), bandwidth above 0, then the tick arithmetic. Throws Exception with
// the message of the first failed check.
UdpSenderPacing PacingForRemoteUpdate(const UdpTxStreamConfigElement* cfg);

// A running stream answers a record when its destination address text, destination port and
// local port equal the record's DestinationHost, DestinationPort and LocalPort exactly.
bool StreamMatchesRecord(const QString& destinationAddressText, int32_t destinationPort,
                         int32_t localPort, const UdpTxStreamConfigElement& record);
