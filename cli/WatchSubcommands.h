#pragma once

#include "Subcommand.h"

#include <QJsonObject>
#include <QString>

#include <chrono>
#include <optional>

// watch [--terminal AD]...: live capture, every punch into the data files
// within a second; status [--json]: what the live capture is doing.
std::vector<Subcommand> watchSubcommands();

// The live capture's status file in the program directory, replaced whole
// (a temporary file renamed over it) so a reader never sees half of it.
inline constexpr char kWatchStatusFile[] = ".watch.status";

// The wait for new records, and how long a silent link may take before it
// counts as dead: the wait plus the control's margin.
inline constexpr int kWatchWaitMs = 10000;

// The pause before the attempt-th reconnect (from 1): 1 s doubling to 60 s,
// with up to a fifth more or less at random so terminals that went down
// together don't come back in step.
std::chrono::milliseconds reconnectDelay(int attempt);

// The process id of a running live capture that holds the terminal named
// name connected, from the status file; nullopt when none does.
std::optional<qint64> liveCaptureHolding(const QString& programDir, const QString& name);

// The status as status prints it, ages counted from nowSecs (seconds since
// the epoch).
QString watchStatusText(const QJsonObject& status, qint64 nowSecs);
