#pragma once

// Runs the stand-in test manager as a real process for a test: a plan given as JSON, a port of
// its own (0: any free one), and its request log read back as JSON objects.

#include <QDateTime>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

#include <functional>

class StandInManager
{
public:
    // Starts the server; returns false (with error set) when it does not come up.
    bool Start(const QJsonObject& plan, const QString& listen = QStringLiteral("127.0.0.1:0"))
    {
        if (!dir.isValid()) {
            error = QStringLiteral("no temporary directory");
            return false;
        }
        QFile planFile(dir.filePath(QStringLiteral("plan.json")));
        if (!planFile.open(QIODevice::WriteOnly) || planFile.write(QJsonDocument(plan).toJson()) < 0) {
            error = QStringLiteral("cannot write the plan");
            return false;
        }
        planFile.close();
        process.setProgram(QStringLiteral(TESTMANAGER_PATH));
        process.setArguments({QStringLiteral("--listen"), listen, QStringLiteral("--plan"),
                              planFile.fileName(), QStringLiteral("--log"), LogPath()});
        process.start();
        if (!process.waitForStarted(5000)) {
            error = QStringLiteral("testmanager did not start");
            return false;
        }
        QByteArray firstLine;
        QElapsedTimer waited;
        waited.start();
        while (!firstLine.contains('\n') && waited.elapsed() < 10000) {
            if (process.state() != QProcess::Running) {
                error = QString::fromLocal8Bit(process.readAllStandardError()).trimmed();
                return false;
            }
            process.waitForReadyRead(100);
            firstLine += process.readAllStandardOutput();
        }
        const QByteArray prefix("listening on ");
        if (!firstLine.startsWith(prefix)) {
            error = QStringLiteral("unexpected first line: ") + QString::fromLocal8Bit(firstLine);
            return false;
        }
        address = QString::fromLatin1(firstLine.mid(prefix.size()).trimmed());
        return true;
    }

    ~StandInManager()
    {
        if (process.state() == QProcess::Running) {
            process.terminate();
            if (!process.waitForFinished(5000))
                process.kill();
        }
    }

    QString LogPath() const { return dir.filePath(QStringLiteral("requests.jsonl")); }

    QList<QJsonObject> Records() const
    {
        QList<QJsonObject> records;
        QFile log(LogPath());
        if (!log.open(QIODevice::ReadOnly))
            return records;
        for (const QByteArray& line : log.readAll().split('\n')) {
            const QJsonDocument document = QJsonDocument::fromJson(line);
            if (document.isObject())
                records.append(document.object());
        }
        return records;
    }

    QList<QJsonObject> RecordsOfKind(const QString& kind) const
    {
        QList<QJsonObject> matching;
        for (const QJsonObject& record : Records()) {
            if (record.value(QLatin1String("kind")).toString() == kind)
                matching.append(record);
        }
        return matching;
    }

    static QDateTime Time(const QJsonObject& record)
    {
        return QDateTime::fromString(record.value(QLatin1String("time")).toString(), Qt::ISODateWithMs);
    }

    QTemporaryDir dir;
    QProcess process;
    QString address; // "127.0.0.1:PORT"
    QString error;
};
