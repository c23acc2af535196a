#pragma once

#include <QJsonObject>
#include <QString>

#include <cstdio>
#include <mutex>

// The request log: one JSON object per line, written and flushed at once so that a reader
// tailing the file sees every request as soon as it has been answered. Safe from any thread.
class RequestLog
{
public:
    // Writes to stdout.
    RequestLog();
    ~RequestLog();
    RequestLog(const RequestLog&) = delete;
    RequestLog& operator=(const RequestLog&) = delete;

    // Opens the file for appending; false with *error set when it cannot.
    bool Open(const QString& path, QString* error);

    // Adds "time" (UTC, ISO 8601 with milliseconds) and writes the record as one line.
    void Write(QJsonObject record);

private:
    std::mutex lock;
    FILE* out;
    bool ownsFile = false;
};
