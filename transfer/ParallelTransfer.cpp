#include "ParallelTransfer.h"

#include "AttendanceLine.h"
#include "DataFiles.h"
#include "Delivery.h"
#include "core/DirectoryLock.h"
#include "core/Operator.h"
#include "session/DeviceBracket.h"
#include "terminal/TFP_CLOCK.h"

#include <algorithm>
#include <chrono>
#include <mutex>
#include <optional>

// A batch's turn in the files, from waitFor() to the end of the scope.
class DeliveryTurn {
  public:
    explicit DeliveryTurn(DeliveryTurns& turns)
        : turns_(turns), held_(turns.turn_, std::defer_lock) {}
    // False when the operator asked to stop meanwhile.
    bool waitFor(Operator& op) {
        while (!held_.try_lock_for(std::chrono::milliseconds(100)))
            if (op.cancelRequested()) return false;
        return true;
    }
    // The directory's lock, waiting for another program only as long as
    // the run has not waited for it in vain yet.
    std::optional<DirectoryLock> lockDirectory(const QString& programDir, Operator& op) {
        std::optional<DirectoryLock> lock =
            lockProgramDirectory(programDir, QStringLiteral("Verileri Aktar"), op,
                                 turns_.waitSpent_ ? 0 : DirectoryLock::kWaitMs);
        turns_.waitSpent_ = !lock;
        return lock;
    }

  private:
    DeliveryTurns& turns_;
    std::unique_lock<std::timed_mutex> held_;
};

namespace {

// The new records of one terminal, as attendance lines one after another.
struct Batch {
    QByteArray lines;
    long long records = 0;
    bool interrupted = false; // the link broke before the terminal said the end
    bool cancelled = false;
    QString errorName;
};

constexpr long long kCancelCheckEvery = 256; // records

Batch readBatch(TFP_CLOCK& clock, int32_t machine, Operator& op) {
    Batch batch;
    for (;;) {
        if (batch.records % kCancelCheckEvery == 0 && op.cancelRequested()) {
            batch.cancelled = true;
            return batch;
        }
        int32_t unused1 = 0, unused2 = 0;
        AttendanceRecord r;
        if (!clock.GetGeneralLogData(machine, unused1, r.enrollNumber, unused2, r.modeWord, r.year,
                                     r.month, r.day, r.hour, r.minute)) {
            // The end of the records and a broken link look alike; only the
            // error code tells them apart.
            int32_t code = SUCCESS;
            clock.GetLastError(code);
            // A cancel closes the link under a request the terminal is slow to answer.
            batch.cancelled = code != ERR_LOG_END && code != SUCCESS && op.cancelRequested();
            batch.interrupted = code != ERR_LOG_END && code != SUCCESS && !batch.cancelled;
            if (batch.interrupted) batch.errorName = deviceErrorName(code);
            return batch;
        }
        appendAttendanceLine(batch.lines, r, machine, newRecordModeCode(r.modeWord));
        ++batch.records;
        op.setProgress(static_cast<int>(std::min<long long>(batch.records, INT32_MAX)));
    }
}

// files: what a delivered batch went into, for the closing message.
TransferResult reported(TransferResult r, const QStringList& files, Operator& op) {
    switch (r.outcome) {
    case TransferOutcome::NotConfirmed:
        op.showMessage(notConfirmedText(r.errorName, r.records), terminalTasksTitle(),
                       Operator::Icon::Warning);
        break;
    case TransferOutcome::Interrupted:
        op.showMessage(interruptedText(r.errorName, r.records), terminalTasksTitle(),
                       Operator::Icon::Warning);
        break;
    case TransferOutcome::NoRecords:
        op.showMessage(noRecordsText(), terminalTasksTitle(), Operator::Icon::Information);
        break;
    case TransferOutcome::Transferred:
        op.showMessage(transferredText() + QLatin1Char('\n') + writtenText(r.records, files),
                       applicationTitle(), Operator::Icon::None);
        break;
    case TransferOutcome::Busy:
    case TransferOutcome::NoDevice:
    case TransferOutcome::ReadFailed:
    case TransferOutcome::Cancelled:
    case TransferOutcome::IdentityChanged:
        break;
    }
    return r;
}

} // namespace

TransferResult transferNewRecordsInTurn(TFP_CLOCK& clock, int32_t machine,
                                        const QString& programDir, bool secondFile,
                                        DeliveryTurns& turns, bool withTotal, Operator& op,
                                        const QDate& startDate) {
    BusyCursor busy(op);
    clock.ReadMark = true;
    DeviceBracket bracket(clock, machine, DeviceBracket::ReleaseAfterFailedLock::Yes, op,
                          FailureReport::MessageBox);
    if (!bracket.locked()) return {TransferOutcome::NoDevice, 0, {}};

    if (DeviceCounts counts; withTotal && clock.GetDeviceCounts(machine, counts)) {
        op.setProgressRange(0, counts.newRecords);
        op.setProgress(0);
    }
    if (!clock.ReadGeneralLogData(machine)) {
        const QString errorName = bracket.lastErrorName();
        bracket.reportFailure();
        return {TransferOutcome::ReadFailed, 0, errorName};
    }
    const TerminalIdentity identity = terminalIdentity(clock, machine);
    const int64_t start = clock.newRecordsStart();
    const Batch batch = readBatch(clock, machine, op);
    // Dropped unwritten, the records stay new on the terminal.
    if (batch.cancelled) return {TransferOutcome::Cancelled, 0, {}};
    if (batch.records == 0)
        return reported(
            {batch.interrupted ? TransferOutcome::Interrupted : TransferOutcome::NoRecords, 0,
             batch.errorName},
            {}, op);

    DeliveryTurn turn(turns);
    if (!turn.waitFor(op)) return {TransferOutcome::Cancelled, 0, {}};
    const std::optional<DirectoryLock> lock = turn.lockDirectory(programDir, op);
    if (!lock) return {TransferOutcome::Busy, 0, {}};
    settleDeliveries(*lock); // what a killed transfer left, before a line is appended

    DeliveryJournal journal(programDir);
    NewRecordFiles files(programDir, secondFile, startDate);
    BatchDelivery delivery(journal, identity, start, files.targets(), files.backupMonth);
    try {
        for (qsizetype at = 0; at < batch.lines.size();) {
            const qsizetype end = batch.lines.indexOf('\n', at) + 1;
            if (end == 0) break; // every line ends in "\r\n"; never loop on a stray tail
            delivery.add(batch.lines.sliced(at, end - at));
            at = end;
        }
        delivery.finish(!batch.interrupted);
    } catch (...) {
        delivery.abandon();
        throw;
    }

    if (!delivery.refusal().isEmpty()) {
        op.showMessage(delivery.refusal(), terminalTasksTitle(), Operator::Icon::Warning);
        return {TransferOutcome::IdentityChanged, 0, {}};
    }
    TransferResult result{batch.interrupted ? TransferOutcome::Interrupted
                                            : TransferOutcome::Transferred,
                          batch.records, batch.errorName};
    // Only now, with every record on disk, may the terminal stop counting
    // them as new. A cut-off batch commits what it has, if the link still works.
    const long long count = delivery.committable();
    if (count > 0 && clock.commitNewRecords(machine, static_cast<int32_t>(count))) {
        delivery.committed();
    } else if (!batch.interrupted) {
        result.outcome = TransferOutcome::NotConfirmed;
        result.errorName = count > 0 ? bracket.lastErrorName() : QString();
    }
    return reported(result, transferFiles(std::nullopt, secondFile, startDate), op);
}
