#pragma once

// The history of transfers: one JSON line per transfer or full download, in
// the window, headless and from the timer alike, in a file per month beside
// veri.txt ("gecmis-202612.jsonl"). Lines are appended under the directory's
// lock and synced; a line cut short by a kill is skipped on reading, and the
// next append starts a line of its own.

#include "BatchDelivery.h"
#include "TransferCommands.h"

#include <QByteArray>
#include <QByteArrayView>
#include <QDate>
#include <QDateTime>
#include <QString>
#include <QStringList>

#include <cstdint>
#include <optional>
#include <vector>

class DirectoryLock;
class Operator;
class TFP_CLOCK;

enum class HistoryResult {
    Ok,         // records went into the files
    NothingNew, // the terminal had none
    Failed,     // message says why
    Cancelled,  // the operator stopped it; what was written stays
};

// The commands as the history names them.
inline constexpr const char* kHistoryTransfer = "aktarim";
inline constexpr const char* kHistoryFullDownload = "tam-indirme";

struct HistoryEntry {
    QDateTime time; // when the command started
    QString terminal;
    QString serial;
    int32_t machine = 0;
    QString address;
    QString command; // kHistoryTransfer or kHistoryFullDownload
    long long records = 0;
    QStringList files; // the data files the records went to
    HistoryResult result = HistoryResult::NothingNew;
    QString message;  // the failure's Turkish text
    int exitCode = 0; // what the headless command exits with for this result
    qint64 durationMs = 0;

    bool operator==(const HistoryEntry&) const = default;
};

// "gecmis-202612.jsonl": the month's file, in the program directory.
QString historyFileName(const QDate& month);

// One entry as its line, '\n' at the end; and back. A line that is not a
// whole entry (cut short, edited by hand, foreign bytes) gives nullopt.
QByteArray historyLine(const HistoryEntry& entry);
std::optional<HistoryEntry> parseHistoryLine(QByteArrayView line);

// Appends the entry to its month's file and syncs it; the caller holds the
// directory's lock. Throws AppError.
void appendHistory(const DirectoryLock& held, const HistoryEntry& entry);

// appendHistory for a command that must not fail because of it: a failure
// is told to the operator as a warning, and the records stay delivered.
void recordHistory(const DirectoryLock& held, const HistoryEntry& entry, Operator& op);

// The entries of the months from since's to today's, oldest first, at
// most the last maxEntries. Throws AppError when a file exists but can't be
// read.
std::vector<HistoryEntry> readHistory(const QString& programDir, const QDate& since,
                                      const QDate& until = QDate::currentDate(),
                                      size_t maxEntries = 100000);

// The entry of a transfer that ended with result: its result word, Turkish
// message and exit code. who: the terminal as it was seen (serial,
// machine, address); files: where records went.
HistoryEntry historyEntry(const QString& command, const QString& terminal,
                          const TerminalIdentity& who, const TransferResult& result,
                          const QStringList& files, const QDateTime& started);
// The same for a command that ended with an exception: failed, its text.
HistoryEntry failedHistoryEntry(const QString& command, const QString& terminal,
                                const TerminalIdentity& who, const QString& message, int exitCode,
                                const QDateTime& started);

// The identity of a terminal as far as it is known without asking it:
// its address and machine number.
TerminalIdentity knownIdentity(TFP_CLOCK& clock, int32_t machine);

// A failed connection in a few words: "bağlanamadı: " and the reason in
// message (connectionFailedText), without the terminal's name and address
// it names.
QString notConnectedText(const QString& message, const QString& name, const QString& address);

// The result's word in the file ("ok", "nothing-new", "failed", "cancelled").
QString historyResultWord(HistoryResult result);
