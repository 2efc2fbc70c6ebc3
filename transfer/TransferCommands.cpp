#include "TransferCommands.h"

#include "AttendanceLine.h"
#include "DataFiles.h"
#include "Delivery.h"
#include "core/AppError.h"
#include "core/Operator.h"
#include "session/DeviceBracket.h"
#include "terminal/TFP_CLOCK.h"

#include <QLocale>
#include <QThread>
#include <exception>
#include <optional>

QString noRecordsText() {
    return QStringLiteral("Cihazdan Alınacak Veri Yok...");
}
QString transferredText() {
    return QStringLiteral("Bilgiler Dosyaya Aktarıldı....");
}
QString terminalTasksTitle() {
    return QStringLiteral("Terminal İşlemleri");
}

QString interruptedText(const QString& errorName, long long records) {
    return QStringLiteral("Terminal bağlantısı aktarım sırasında kesildi (%1). "
                          "O ana kadar okunan %2 kayıt dosyalara yazıldı; kalan kayıtlar için "
                          "bağlantıyı yeniden kurup aktarımı tekrarlayın.")
        .arg(errorName.isEmpty() ? QStringLiteral("bağlantı hatası") : errorName)
        .arg(QLocale(QLocale::Turkish).toString(records));
}

QString notConfirmedText(const QString& errorName, long long records) {
    return QStringLiteral("%1 kayıt dosyalara yazıldı, ancak terminal kayıtların alındığını "
                          "onaylamadı (%2). Bir sonraki aktarım işi tamamlar; kayıtlar iki kez "
                          "yazılmaz.")
        .arg(QLocale(QLocale::Turkish).toString(records))
        .arg(errorName.isEmpty() ? QStringLiteral("bağlantı hatası") : errorName);
}

QStringList transferFiles(std::optional<FullDownload> kind, bool secondFile,
                          const QDate& startDate) {
    QStringList files{QString::fromLatin1(kDataFileName)};
    files << QString::fromLatin1(kind ? kFullDownloadBackupDir : kNewRecordBackupDir) +
                 QLatin1Char('/') + monthlyBackupFileName(startDate);
    if (secondFile) files << QString::fromLatin1(kSecondFileName);
    return files;
}

QString cancelledText(long long records) {
    return QStringLiteral("Aktarım iptal edildi. O ana kadar okunan %1 kayıt dosyalara yazıldı; "
                          "kalan kayıtlar bir sonraki aktarımda gelir.")
        .arg(QLocale(QLocale::Turkish).toString(records));
}

QString writtenText(long long records, const QStringList& files) {
    return QStringLiteral("%1 kayıt yazıldı: %2")
        .arg(QLocale(QLocale::Turkish).toString(records), files.join(QStringLiteral(", ")));
}

namespace {

using Getter = bool (TFP_CLOCK::*)(int32_t, int32_t&, int32_t&, int32_t&, int32_t&, int32_t&,
                                   int32_t&, int32_t&, int32_t&, int32_t&);

struct LoopEnd {
    long long records = 0;
    bool interrupted = false;
    bool notConfirmed = false;
    bool cancelled = false;
    QString errorName;
};

// The operator may stop a download between chunks of this many records.
constexpr long long kCancelCheckEvery = 256;

// Reads records until the terminal has no more, handing each line to store.
// The progress bar shows done/total when the terminal told how many records
// it holds (total > 0), else it only shows activity.
template <class Store>
LoopEnd readRecords(TFP_CLOCK& clock, int32_t machine, Getter get, int32_t (*modeCode)(int32_t),
                    Store&& store, bool yieldBeforeRead, int32_t total, Operator& op) {
    op.setProgressRange(0, total > 0 ? total : 0);
    op.setProgress(0);
    op.processEvents();
    long long counter = 1;
    QByteArray line;
    line.reserve(kMaxAttendanceLine);
    for (;;) {
        if (counter % kCancelCheckEvery == 1 && op.cancelRequested()) {
            LoopEnd end;
            end.records = counter - 1;
            end.cancelled = true;
            return end;
        }
        if (yieldBeforeRead) {
            op.processEvents();
            QThread::yieldCurrentThread();
        }
        int32_t unused1 = 0, unused2 = 0;
        AttendanceRecord r;
        if (!(clock.*get)(machine, unused1, r.enrollNumber, unused2, r.modeWord, r.year, r.month,
                          r.day, r.hour, r.minute)) {
            // The end of the records and a broken link look alike to the
            // caller of the control; only the error code tells them apart.
            int32_t code = SUCCESS;
            clock.GetLastError(code);
            LoopEnd end;
            end.records = counter - 1;
            // A cancel closes the link under a request the terminal is slow to answer.
            end.cancelled = code != ERR_LOG_END && code != SUCCESS && op.cancelRequested();
            end.interrupted = code != ERR_LOG_END && code != SUCCESS && !end.cancelled;
            end.errorName = end.interrupted ? deviceErrorName(code) : QString();
            return end;
        }
        line.clear();
        appendAttendanceLine(line, r, machine, modeCode(r.modeWord));
        store(line);
        op.showCount(counter);
        op.processEvents();
        if (total > 0) op.setProgress(static_cast<int>(std::min<long long>(counter, total)));
        ++counter;
    }
}

// How many records the terminal holds, new or all; 0 when it can't tell,
// which leaves the bar showing activity only.
int32_t recordTotal(TFP_CLOCK& clock, int32_t machine, bool newOnly) {
    DeviceCounts counts;
    if (!clock.GetDeviceCounts(machine, counts)) return 0;
    return newOnly ? counts.newRecords : counts.allRecords;
}

// files: the data files the lines went to, as the operator knows them.
void reportEnd(const LoopEnd& end, bool reportDone, const QStringList& files, Operator& op) {
    if (end.notConfirmed) {
        op.showMessage(notConfirmedText(end.errorName, end.records), terminalTasksTitle(),
                       Operator::Icon::Warning);
    } else if (end.interrupted) {
        op.showMessage(interruptedText(end.errorName, end.records), terminalTasksTitle(),
                       Operator::Icon::Warning);
    } else if (end.cancelled) {
        op.showMessage(cancelledText(end.records), terminalTasksTitle(),
                       Operator::Icon::Information);
    } else if (end.records == 0) {
        op.showMessage(noRecordsText(), terminalTasksTitle(), Operator::Icon::Information);
    } else if (reportDone) {
        op.showMessage(transferredText() + QLatin1Char('\n') + writtenText(end.records, files),
                       applicationTitle(), Operator::Icon::None);
    }
}

TransferResult resultOf(const LoopEnd& end) {
    TransferResult r;
    r.records = end.records;
    r.errorName = end.errorName;
    r.outcome = end.interrupted    ? TransferOutcome::Interrupted
                : end.notConfirmed ? TransferOutcome::NotConfirmed
                : end.cancelled    ? TransferOutcome::Cancelled
                : end.records == 0 ? TransferOutcome::NoRecords
                                   : TransferOutcome::Transferred;
    return r;
}

} // namespace

TransferResult transferNewRecords(TFP_CLOCK& clock, int32_t machine, const QString& programDir,
                                  bool secondFile, Operator& op, const QDate& startDate) {
    const std::optional<DirectoryLock> lock =
        lockProgramDirectory(programDir, QStringLiteral("Verileri Aktar"), op);
    if (!lock) return {TransferOutcome::Busy, 0, {}};
    settleDeliveries(*lock); // what a killed transfer left, before a line is appended
    BusyCursor busy(op);

    std::optional<DeviceBracket> bracket;
    DeliveryJournal journal(programDir);
    NewRecordFiles files(programDir, secondFile, startDate);

    clock.ReadMark = true;
    bracket.emplace(clock, machine, DeviceBracket::ReleaseAfterFailedLock::Yes, op,
                    FailureReport::MessageBox);
    if (!bracket->locked()) return {TransferOutcome::NoDevice, 0, {}};

    const int32_t total = recordTotal(clock, machine, true);
    const bool prepared = clock.ReadGeneralLogData(machine);
    QString errorName;
    if (!prepared) {
        errorName = bracket->lastErrorName();
        bracket->reportFailure();
    }
    if (!prepared) return {TransferOutcome::ReadFailed, 0, errorName};

    BatchDelivery delivery(journal, terminalIdentity(clock, machine), clock.newRecordsStart(),
                           files.targets(), files.backupMonth);
    LoopEnd end;
    try {
        end = readRecords(
            clock, machine, &TFP_CLOCK::GetGeneralLogData, newRecordModeCode,
            [&delivery](const QByteArray& line) { delivery.add(line); }, true, total, op);
        delivery.finish(!end.interrupted && !end.cancelled);
    } catch (...) {
        delivery.abandon();
        throw;
    }
    if (!delivery.refusal().isEmpty()) {
        op.showMessage(delivery.refusal(), terminalTasksTitle(), Operator::Icon::Warning);
        return {TransferOutcome::IdentityChanged, 0, {}};
    }
    // Only now, with every record on disk, may the terminal stop counting
    // them as new. A cut-off batch commits what it has, if the link still works.
    if (end.records > 0) {
        const long long count = delivery.committable();
        if (count > 0 && clock.commitNewRecords(machine, static_cast<int32_t>(count))) {
            delivery.committed();
        } else if (!end.interrupted && !end.cancelled) {
            end.notConfirmed = true;
            end.errorName = count > 0 ? bracket->lastErrorName() : QString();
        }
    }
    reportEnd(end, true, transferFiles(std::nullopt, secondFile, startDate), op);
    return resultOf(end);
}

TransferResult downloadAllRecords(TFP_CLOCK& clock, int32_t machine, const QString& programDir,
                                  bool secondFile, FullDownload kind, Operator& op,
                                  const QDate& startDate) {
    const std::optional<DirectoryLock> lock =
        lockProgramDirectory(programDir, QStringLiteral("Tüm Verileri Al"), op);
    if (!lock) return {TransferOutcome::Busy, 0, {}};
    settleDeliveries(*lock); // what a killed transfer left, before a line is appended
    BusyCursor busy(op);

    std::optional<DeviceBracket> bracket;
    const QString veriPath = programDir + QString::fromLatin1(kDataFileName);
    AppendFile veri(veriPath);
    std::optional<AppendFile> backup;
    TransferResult result;
    std::exception_ptr failure;
    try {
        backup.emplace(ensureDirectory(programDir, kFullDownloadBackupDir) +
                       monthlyBackupFileName(startDate));
        bracket.emplace(clock, machine, DeviceBracket::ReleaseAfterFailedLock::Yes, op,
                        FailureReport::MessageBox);
        if (!bracket->locked()) {
            result.outcome = TransferOutcome::NoDevice;
        } else if (const int32_t total = recordTotal(clock, machine, false);
                   !clock.ReadAllGeneralLogData(machine)) {
            result.outcome = TransferOutcome::ReadFailed;
            result.errorName = bracket->lastErrorName();
            bracket->reportFailure();
        } else {
            const LoopEnd end = readRecords(
                clock, machine, &TFP_CLOCK::GetAllGeneralLogData, fullDownloadModeCode,
                [&](const QByteArray& line) {
                    veri.appendLines(line);
                    backup->appendLines(line);
                },
                false, total, op);
            result = resultOf(end);
        }
        veri.syncAndClose();
        backup->syncAndClose();
    } catch (...) {
        failure = std::current_exception();
    }

    // veri2.txt follows veri.txt on every way out, as long as veri.txt opened.
    if (secondFile) {
        try {
            veri.syncAndClose();
            copyContentInto(veriPath, programDir + QString::fromLatin1(kSecondFileName));
            noteSecondFileCopied(programDir);
        } catch (...) {
            // A file error that ended the download is the one to report.
            if (!failure) failure = std::current_exception();
        }
    }
    if (failure) std::rethrow_exception(failure);

    if (result.outcome != TransferOutcome::NoDevice &&
        result.outcome != TransferOutcome::ReadFailed) {
        LoopEnd end;
        end.records = result.records;
        end.interrupted = result.outcome == TransferOutcome::Interrupted;
        end.cancelled = result.outcome == TransferOutcome::Cancelled;
        end.errorName = result.errorName;
        reportEnd(end, kind == FullDownload::Keep, transferFiles(kind, secondFile, startDate), op);
    }
    return result;
}
