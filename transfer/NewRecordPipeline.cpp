#include "NewRecordPipeline.h"

#include "AttendanceLine.h"
#include "DataFiles.h"
#include "core/CentralOutbox.h"
#include "core/Operator.h"
#include "session/DeviceBracket.h"
#include "terminal/TFP_CLOCK.h"

#include <QDateTime>
#include <QLocale>

#include <algorithm>

namespace {

// The operator may stop a download between chunks of this many records.
constexpr long long kCancelCheckEvery = 256;

// The next record of the list; false at its end or on a failure.
bool nextRecord(TFP_CLOCK& clock, int32_t machine, RecordList list, AttendanceRecord& r) {
    int32_t unused1 = 0, unused2 = 0;
    return list == RecordList::New
               ? clock.GetGeneralLogData(machine, unused1, r.enrollNumber, unused2, r.modeWord,
                                         r.year, r.month, r.day, r.hour, r.minute)
               : clock.GetAllGeneralLogData(machine, unused1, r.enrollNumber, unused2, r.modeWord,
                                            r.year, r.month, r.day, r.hour, r.minute);
}

// How a list ended: its end, a cancel, or a broken link. The end of the
// records and a broken link look alike to the caller of the control; only
// the error code tells them apart.
ReadEnd endOfList(TFP_CLOCK& clock, long long records, Operator& op) {
    int32_t code = SUCCESS;
    clock.GetLastError(code);
    const bool failed = code != ERR_LOG_END && code != SUCCESS;
    ReadEnd end;
    end.records = records;
    // A cancel closes the link under a request the terminal is slow to answer.
    end.cancelled = failed && op.cancelRequested();
    end.interrupted = failed && !end.cancelled;
    if (end.interrupted) end.errorName = deviceErrorName(code);
    return end;
}

} // namespace

ReadEnd readRecords(TFP_CLOCK& clock, int32_t machine, RecordList list, long long total,
                    const std::function<void(const QByteArray&)>& store, Operator& op) {
    if (total >= 0) {
        op.setProgressRange(0, static_cast<int>(std::min<long long>(total, INT32_MAX)));
        op.setProgress(0);
    }
    const auto modeCode = list == RecordList::New ? newRecordModeCode : fullDownloadModeCode;
    QByteArray line;
    line.reserve(kMaxAttendanceLine);
    for (long long records = 0;; ++records) {
        if (records % kCancelCheckEvery == 0 && op.cancelRequested()) {
            ReadEnd end;
            end.records = records;
            end.cancelled = true;
            return end;
        }
        AttendanceRecord r;
        if (!nextRecord(clock, machine, list, r)) return endOfList(clock, records, op);
        line.clear();
        appendAttendanceLine(line, r, machine, modeCode(r.modeWord));
        store(line);
        op.showCount(records + 1);
        op.setProgress(static_cast<int>(std::min<long long>(
            total > 0 ? std::min(records + 1, total) : records + 1, INT32_MAX)));
    }
}

int32_t recordTotal(TFP_CLOCK& clock, int32_t machine, RecordList list) {
    DeviceCounts counts;
    if (!clock.GetDeviceCounts(machine, counts)) return 0;
    return list == RecordList::New ? counts.newRecords : counts.allRecords;
}

TransferResult deliverNewRecords(TFP_CLOCK& clock, int32_t machine, DeviceBracket& bracket,
                                 NewRecordDestination& to, const NewRecordBatch& batch) {
    BatchDelivery delivery(to.journal, batch.terminal, batch.start, to.files.targets(),
                           to.files.backupMonth);
    QByteArray lines; // for the central database's outbox
    if (to.central) delivery.keepLinesIn(&lines);
    ReadEnd end;
    try {
        end = batch.feed(delivery);
        delivery.finish(!end.interrupted && !end.cancelled);
    } catch (...) {
        delivery.abandon();
        throw;
    }
    if (!delivery.refusal().isEmpty())
        return {TransferOutcome::IdentityChanged, 0, {}, delivery.refusal()};

    TransferResult result{end.interrupted    ? TransferOutcome::Interrupted
                          : end.cancelled    ? TransferOutcome::Cancelled
                          : end.records == 0 ? TransferOutcome::NoRecords
                                             : TransferOutcome::Transferred,
                          end.records,
                          end.errorName,
                          {}};
    if (end.records == 0) return result;
    // Only now, with every record on disk, may the terminal stop counting
    // them as new. A cut-off batch commits what it has, if the link still works.
    const long long count = delivery.committable();
    // Into the outbox, synced, before the commit (CentralOutbox.h says why
    // no kill loses or doubles a record); a failure leaves the batch
    // uncommitted, so it comes again.
    if (count > 0 && to.central)
        addToOutbox(to.held,
                    centralTerminalKey(batch.terminal.serial, batch.terminal.address,
                                       batch.terminal.machine),
                    batch.terminal.machine, batch.start, lines, count,
                    QDateTime::currentSecsSinceEpoch());
    if (count > 0 && clock.commitNewRecords(machine, static_cast<int32_t>(count))) {
        delivery.committed();
    } else if (!end.interrupted && !end.cancelled) {
        result.outcome = TransferOutcome::NotConfirmed;
        result.errorName = count > 0 ? bracket.lastErrorName() : QString();
    }
    return result;
}

std::optional<TransferResult> cancelledBeforeReading(Operator& op, bool report) {
    if (!op.cancelRequested()) return std::nullopt;
    const TransferResult cancelled(TransferOutcome::Cancelled, 0);
    reportTransfer(cancelled, {}, false, report, op);
    return cancelled;
}

void reportTransfer(const TransferResult& r, const QStringList& files, bool reportDone,
                    bool reportCancel, Operator& op) {
    switch (r.outcome) {
    case TransferOutcome::NotConfirmed:
        op.showMessage(notConfirmedText(r.errorName, r.records), terminalTasksTitle(),
                       Operator::Icon::Warning);
        break;
    case TransferOutcome::Interrupted:
        op.showMessage(interruptedText(r.errorName, r.records), terminalTasksTitle(),
                       Operator::Icon::Warning);
        break;
    case TransferOutcome::IdentityChanged:
        op.showMessage(r.detail, terminalTasksTitle(), Operator::Icon::Warning);
        break;
    case TransferOutcome::Cancelled:
        if (reportCancel)
            op.showMessage(cancelledText(r.records), terminalTasksTitle(),
                           Operator::Icon::Information);
        break;
    case TransferOutcome::NoRecords:
        op.showMessage(noRecordsText(), terminalTasksTitle(), Operator::Icon::Information);
        break;
    case TransferOutcome::Transferred:
        if (reportDone)
            op.showMessage(transferredText() + QLatin1Char('\n') + writtenText(r.records, files),
                           applicationTitle(), Operator::Icon::None);
        break;
    case TransferOutcome::Busy:
    case TransferOutcome::NoDevice:
    case TransferOutcome::ReadFailed:
        break;
    }
}
