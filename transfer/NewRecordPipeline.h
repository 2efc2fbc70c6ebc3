#pragma once

// The one path of the attendance downloads, shared by the transfer of one
// terminal (the window's "Verileri Aktar", the headless transfer), the
// terminals read side by side, and the full downloads: read the terminal's
// records into lines, deliver new records through the journal, commit them,
// and tell the operator how it ended.

#include "BatchDelivery.h"
#include "TransferCommands.h"
#include "core/CentralSettings.h"
#include "core/DirectoryLock.h"

#include <QByteArray>
#include <QDate>
#include <QString>
#include <QStringList>

#include <cstdint>
#include <functional>
#include <optional>

class DeviceBracket;
class Operator;
class TFP_CLOCK;

// Which of the terminal's lists a download walks.
enum class RecordList {
    New, // the records past the new-record mark (ReadGeneralLogData with ReadMark)
    All, // every record (ReadAllGeneralLogData)
};

// How reading the records ended.
struct ReadEnd {
    long long records = 0;
    bool interrupted = false; // the link broke before the terminal said the end
    bool cancelled = false;   // the operator stopped it (also by closing a hung link)
    QString errorName;        // of an interruption
};

// Reads the prepared list to its end, handing each record's attendance line
// to store, with progress against total (0: unknown). A stop the operator
// asks for is seen every few hundred records, and at once while the
// terminal is silent (the control's cancel check closes the link). total < 0
// leaves the progress range as it is.
ReadEnd readRecords(TFP_CLOCK& clock, int32_t machine, RecordList list, long long total,
                    const std::function<void(const QByteArray&)>& store, Operator& op);

// How many records the terminal holds, new or all; 0 when it can't tell,
// which leaves the bar showing activity only.
int32_t recordTotal(TFP_CLOCK& clock, int32_t machine, RecordList list);

// One batch of new records on its way into the files: where it comes from,
// and how its lines reach the delivery (from the terminal as they are read,
// or from memory).
struct NewRecordBatch {
    TerminalIdentity terminal;
    int64_t start = 0; // the terminal's position of the first record
    std::function<ReadEnd(BatchDelivery&)> feed;
};

// Where a batch of new records goes: the journal and the data files
// (veri.txt, the month's file and with secondFile veri2.txt), and with a
// central database set up ([Merkez] Hosts) its outbox too; opened by the
// caller once it holds the directory's lock and has settled what a killed
// run left, before the terminal is locked. Throws AppError.
struct NewRecordDestination {
    NewRecordDestination(const DirectoryLock& held, bool secondFile, const QDate& startDate)
        : held(held), journal(held.programDir()), files(held.programDir(), secondFile, startDate),
          names(transferFiles(std::nullopt, secondFile, startDate)),
          central(centralDatabaseConfigured(held.programDir())) {}
    const DirectoryLock& held;
    DeliveryJournal journal;
    NewRecordFiles files;
    QStringList names; // as the operator knows them, for the closing message
    bool central;      // every batch goes into the outbox before its commit
};

// Delivers the batch into the destination through the journal, and once
// every line is on disk commits it to the terminal. Does not tell the
// operator. File errors throw AppError after the journal has noted what
// reached each file.
TransferResult deliverNewRecords(TFP_CLOCK& clock, int32_t machine, DeviceBracket& bracket,
                                 NewRecordDestination& to, const NewRecordBatch& batch);

// A download the operator stopped before its first record (while the
// terminal hung on the lock or on preparing its records): says so, as every
// cancel does, and gives the result. Null when the operator did not stop it.
std::optional<TransferResult> cancelledBeforeReading(Operator& op, bool report);

// Tells the operator how a download ended, as every download does:
// files are the data files the lines went to. reportDone: a finished
// download says so ("Bilgiler Dosyaya Aktarıldı...."); reportCancel: a stop
// says what was kept.
void reportTransfer(const TransferResult& result, const QStringList& files, bool reportDone,
                    bool reportCancel, Operator& op);
