#pragma once

// What `sink status` tells: the outbox here, and every terminal's progress
// in the central database, the one that lags most first.

#include "CentralDatabase.h"
#include "core/CentralOutbox.h"

#include <QJsonObject>
#include <QString>
#include <QStringList>

#include <optional>
#include <vector>

struct TerminalProgress {
    QByteArray terminal;
    QString site;
    long long machine = 0;
    long long lastPosition = 0;
    QString lastPunch;   // "yyyy-mm-dd hh:mm:ss" or empty
    QString lastContact; // UTC
};

struct SinkStatus {
    long long outboxRecords = 0; // not pushed yet
    std::optional<OutboxRecord> oldest;
    std::vector<TerminalProgress> terminals;
    QString centralError; // empty when the central table could be read
};

// The outbox always; the central table when connection is given and answers.
SinkStatus readSinkStatus(const QString& programDir, CentralConnection* connection);

QStringList sinkStatusLines(const SinkStatus& status);
QJsonObject sinkStatusJson(const SinkStatus& status);
