#include "testmanager/requestlog.h"

#include <QDateTime>
#include <QFile>
#include <QJsonDocument>

#include <cerrno>
#include <cstring>

RequestLog::RequestLog() : out(stdout) {}

RequestLog::~RequestLog()
{
    if (ownsFile)
        std::fclose(out);
}

bool RequestLog::Open(const QString& path, QString* error)
{
    FILE* file = std::fopen(QFile::encodeName(path).constData(), "a");
    if (!file) {
        *error = QString::fromLocal8Bit(std::strerror(errno));
        return false;
    }
    std::lock_guard<std::mutex> guard(lock);
    if (ownsFile)
        std::fclose(out);
    out = file;
    ownsFile = true;
    return true;
}

void RequestLog::Write(QJsonObject record)
{
    record.insert(QStringLiteral("time"),
                  QDateTime::currentDateTimeUtc().toString(Qt::ISODateWithMs));
    QByteArray line = QJsonDocument(record).toJson(QJsonDocument::Compact);
    line.append('\n');
    std::lock_guard<std::mutex> guard(lock);
    std::fwrite(line.constData(), 1, static_cast<size_t>(line.size()), out);
    std::fflush(out);
}
