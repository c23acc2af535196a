#pragma once

#include <QByteArray>
#include <string>

// The byte layouts of the test manager protocol (integers little-endian).
//
// Request frame, agent to server:  int32 payload length n | uint8 sealed flag | n payload bytes.
// Response chunk, server to agent: uint8 sealed flag | int32 payload length n | n payload bytes |
//                                  anything (ignored).
// A request's payload is "<request>" + signal + "</request>", sealed with E2 (which also seals
// the terminating zero byte) when the flag is 1. A response's payload is one XML document whose
// root's children are signals, sealed with key set 2 when the flag is non-zero.

// "<request>" + signal + "</request>", whole (no length limit).
std::string WrapSignal(const std::string& signalText);

QByteArray BuildRequestFrame(const std::string& signalText, bool seal);

struct RequestFrame
{
    bool sealed = false;
    std::string text; // the opened payload, up to its first zero byte
};

// Parses a request frame; throws Exception on a short body or a bad length and the cipher
// library's exception when a sealed payload cannot be opened.
RequestFrame DecodeRequestFrame(const QByteArray& body);

QByteArray BuildResponseChunk(const std::string& document, bool seal);

// The payload of a response chunk, opened when sealed (the text is cut at its first zero byte
// by the reader of the document). Throws Exception with
// "Assertion failed. Following expression is false: remainingSize > 5" or
// "... remainingSize >= chunkDataSize", or the cipher library's exception.
std::string DecodeResponseChunk(const QByteArray& body);

// Escapes &, <, >, ' and " for use inside an XML attribute value or text.
std::string EscapeXml(const std::string& text);
