#include "ParallelTransfer.h"

#include "AttendanceLine.h"
#include "BatchDelivery.h"
#include "DataFiles.h"
#include "NewRecordPipeline.h"
#include "TransferHistory.h"
#include "core/AppError.h"
#include "core/DirectoryLock.h"
#include "core/Operator.h"
#include "session/DeviceBracket.h"
#include "terminal/TFP_CLOCK.h"

#include <QDateTime>

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
    bool held() const { return held_.owns_lock(); }
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

void recordInTurn(DeliveryTurns& turns, const QString& programDir, const HistoryEntry& entry,
                  Operator& op) {
    DeliveryTurn turn(turns);
    // A stop still leaves its entry; the wait is short, batches hand on at once.
    while (!turn.waitFor(op)) {
    }
    const std::optional<DirectoryLock> lock = turn.lockDirectory(programDir, op);
    if (!lock) return; // the operator was told that the directory is busy
    recordHistory(*lock, entry, op);
}

namespace {

TransferResult transferInTurn(TFP_CLOCK& clock, int32_t machine, const QString& programDir,
                              bool secondFile, DeliveryTurns& turns, bool withTotal, Operator& op,
                              const QDate& startDate, TerminalIdentity& identity,
                              std::optional<DeliveryTurn>& turn,
                              std::optional<DirectoryLock>& lock) {
    BusyCursor busy(op);
    clock.ReadMark = true;
    DeviceBracket bracket(clock, machine, DeviceBracket::ReleaseAfterFailedLock::Yes, op,
                          FailureReport::MessageBox);
    if (!bracket.locked())
        return cancelledBeforeReading(op, false).value_or(
            TransferResult(TransferOutcome::NoDevice, 0));

    DeviceCounts counts;
    const long long total =
        withTotal && clock.GetDeviceCounts(machine, counts) ? counts.newRecords : -1;
    if (!clock.ReadGeneralLogData(machine)) {
        if (auto cancelled = cancelledBeforeReading(op, false)) return *cancelled;
        const QString errorName = bracket.lastErrorName();
        bracket.reportFailure();
        return {TransferOutcome::ReadFailed, 0, errorName};
    }
    identity = terminalIdentity(clock, machine);
    const int64_t start = clock.newRecordsStart();
    // Into memory first, with the program directory free, so that the slow
    // part of several terminals runs side by side.
    QByteArray lines;
    const ReadEnd read = readRecords(
        clock, machine, RecordList::New, total, [&](const QByteArray& line) { lines += line; }, op);
    // Dropped unwritten, the records stay new on the terminal.
    if (read.cancelled) return {TransferOutcome::Cancelled, 0, {}};
    if (read.records == 0) {
        const TransferResult none{read.interrupted ? TransferOutcome::Interrupted
                                                   : TransferOutcome::NoRecords,
                                  0, read.errorName};
        reportTransfer(none, {}, true, false, op);
        return none;
    }

    if (!turn.emplace(turns).waitFor(op)) return {TransferOutcome::Cancelled, 0, {}};
    lock = turn->lockDirectory(programDir, op);
    if (!lock) return {TransferOutcome::Busy, 0, {}};
    settleDeliveries(*lock); // what a killed transfer left, before a line is appended
    NewRecordDestination to(*lock, secondFile, startDate);

    NewRecordBatch batch{identity, start, [&](BatchDelivery& delivery) {
                             for (qsizetype at = 0; at < lines.size();) {
                                 const qsizetype end = lines.indexOf('\n', at) + 1;
                                 if (end == 0) break; // every line ends in "\r\n"
                                 delivery.add(lines.sliced(at, end - at));
                                 at = end;
                             }
                             ReadEnd delivered = read;
                             delivered.cancelled = false; // a batch in the files is finished
                             return delivered;
                         }};
    const TransferResult result = deliverNewRecords(clock, machine, bracket, to, batch);
    reportTransfer(result, to.names, true, false, op);
    return result;
}

} // namespace

TransferResult transferNewRecordsInTurn(TFP_CLOCK& clock, int32_t machine,
                                        const QString& programDir, bool secondFile,
                                        DeliveryTurns& turns, bool withTotal, Operator& op,
                                        const QDate& startDate, const QString& terminalName) {
    const QDateTime started = QDateTime::currentDateTime();
    TerminalIdentity identity = knownIdentity(clock, machine);
    const QStringList files = transferFiles(std::nullopt, secondFile, startDate);
    // The batch's own turn and hold of the directory, when it got that far:
    // its entry goes in under them; any other ending takes a turn for its entry.
    std::optional<DeliveryTurn> turn;
    std::optional<DirectoryLock> lock;
    // Under the batch's hold, else in a turn of its own (the one it may
    // hold already: the turns are not recursive).
    const auto note = [&](const HistoryEntry& entry) {
        if (!lock && turn && turn->held()) lock = turn->lockDirectory(programDir, op);
        if (lock)
            recordHistory(*lock, entry, op);
        else if (!turn || !turn->held())
            recordInTurn(turns, programDir, entry, op);
    };
    TransferResult result;
    try {
        result = transferInTurn(clock, machine, programDir, secondFile, turns, withTotal, op,
                                startDate, identity, turn, lock);
    } catch (const std::exception& e) {
        note(failedHistoryEntry(QLatin1String(kHistoryTransfer), terminalName, identity,
                                errorText(e), 1, started));
        throw;
    }
    // Refused the directory, the batch can't note it there either.
    if (result.outcome != TransferOutcome::Busy)
        note(historyEntry(QLatin1String(kHistoryTransfer), terminalName, identity, result, files,
                          started));
    return result;
}
