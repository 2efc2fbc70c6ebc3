#include "TransferCommands.h"

#include "AttendanceLine.h"
#include "BatchDelivery.h"
#include "DataFiles.h"
#include "NewRecordPipeline.h"
#include "TransferHistory.h"
#include "core/AppError.h"
#include "core/Operator.h"
#include "session/DeviceBracket.h"
#include "terminal/TFP_CLOCK.h"

#include <QDateTime>
#include <QLocale>

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

// Runs a command that holds lock, and notes in the history how it ended,
// also when it threw; seen is what the command learnt of the terminal.
template <typename Command>
TransferResult withHistory(const DirectoryLock& lock, const char* command,
                           const QString& terminalName, const QStringList& files,
                           TerminalIdentity& seen, Operator& op, Command&& run) {
    const QDateTime started = QDateTime::currentDateTime();
    TransferResult result;
    try {
        result = run();
    } catch (const std::exception& e) {
        recordHistory(lock,
                      failedHistoryEntry(QLatin1String(command), terminalName, seen, errorText(e),
                                         1, started),
                      op);
        throw;
    }
    recordHistory(
        lock, historyEntry(QLatin1String(command), terminalName, seen, result, files, started), op);
    return result;
}

TransferResult transferNewRecordsHeld(TFP_CLOCK& clock, int32_t machine, const DirectoryLock& lock,
                                      bool secondFile, Operator& op, const QDate& startDate,
                                      TerminalIdentity& seen) {
    settleDeliveries(lock); // what a killed transfer left, before a line is appended
    BusyCursor busy(op);
    NewRecordDestination to(lock, secondFile, startDate);

    clock.ReadMark = true;
    DeviceBracket bracket(clock, machine, DeviceBracket::ReleaseAfterFailedLock::Yes, op,
                          FailureReport::MessageBox);
    if (!bracket.locked())
        return cancelledBeforeReading(op, true).value_or(
            TransferResult(TransferOutcome::NoDevice, 0));

    const int32_t total = recordTotal(clock, machine, RecordList::New);
    if (!clock.ReadGeneralLogData(machine)) {
        if (auto cancelled = cancelledBeforeReading(op, true)) return *cancelled;
        const QString errorName = bracket.lastErrorName();
        bracket.reportFailure();
        return {TransferOutcome::ReadFailed, 0, errorName};
    }
    seen = terminalIdentity(clock, machine);
    // Streamed: each record goes into the files as it is read.
    NewRecordBatch batch{seen, clock.newRecordsStart(), [&](BatchDelivery& delivery) {
                             return readRecords(
                                 clock, machine, RecordList::New, total,
                                 [&](const QByteArray& line) { delivery.add(line); }, op);
                         }};
    const TransferResult result = deliverNewRecords(clock, machine, bracket, to, batch);
    reportTransfer(result, to.names, true, true, op);
    return result;
}

} // namespace

TransferResult transferNewRecords(TFP_CLOCK& clock, int32_t machine, const QString& programDir,
                                  bool secondFile, Operator& op, const QDate& startDate,
                                  const QString& terminalName) {
    const std::optional<DirectoryLock> lock =
        lockProgramDirectory(programDir, QStringLiteral("Verileri Aktar"), op);
    if (!lock) return {TransferOutcome::Busy, 0, {}};
    TerminalIdentity seen = knownIdentity(clock, machine);
    return withHistory(*lock, kHistoryTransfer, terminalName,
                       transferFiles(std::nullopt, secondFile, startDate), seen, op, [&] {
                           return transferNewRecordsHeld(clock, machine, *lock, secondFile, op,
                                                         startDate, seen);
                       });
}

namespace {

TransferResult resultOf(const ReadEnd& end) {
    return {end.interrupted    ? TransferOutcome::Interrupted
            : end.cancelled    ? TransferOutcome::Cancelled
            : end.records == 0 ? TransferOutcome::NoRecords
                               : TransferOutcome::Transferred,
            end.records,
            end.errorName,
            {}};
}

// Every record of the terminal into veri.txt and the monthly file; the
// outcome, or NoDevice / ReadFailed when nothing could be read.
TransferResult readAllInto(TFP_CLOCK& clock, int32_t machine, AppendFile& veri, AppendFile& backup,
                           Operator& op, TerminalIdentity& seen) {
    DeviceBracket bracket(clock, machine, DeviceBracket::ReleaseAfterFailedLock::Yes, op,
                          FailureReport::MessageBox);
    if (!bracket.locked())
        return cancelledBeforeReading(op, false).value_or(
            TransferResult(TransferOutcome::NoDevice, 0));
    seen = terminalIdentity(clock, machine);
    const int32_t total = recordTotal(clock, machine, RecordList::All);
    if (!clock.ReadAllGeneralLogData(machine)) {
        if (auto cancelled = cancelledBeforeReading(op, false)) return *cancelled;
        TransferResult failed{TransferOutcome::ReadFailed, 0, bracket.lastErrorName()};
        bracket.reportFailure();
        return failed;
    }
    return resultOf(readRecords(
        clock, machine, RecordList::All, total,
        [&](const QByteArray& line) {
            veri.appendLines(line);
            backup.appendLines(line);
        },
        op));
}

TransferResult downloadAllHeld(TFP_CLOCK& clock, int32_t machine, const DirectoryLock& held,
                               bool secondFile, FullDownload kind, Operator& op,
                               const QDate& startDate, TerminalIdentity& seen) {
    const QString& programDir = held.programDir();
    settleDeliveries(held); // what a killed transfer left, before a line is appended
    BusyCursor busy(op);

    const QString veriPath = programDir + QString::fromLatin1(kDataFileName);
    AppendFile veri(veriPath);
    TransferResult result;
    std::exception_ptr failure;
    try {
        AppendFile backup(ensureDirectory(programDir, kFullDownloadBackupDir) +
                          monthlyBackupFileName(startDate));
        result = readAllInto(clock, machine, veri, backup, op, seen);
        veri.syncAndClose();
        backup.syncAndClose();
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
    reportTransfer(result, transferFiles(kind, secondFile, startDate), kind == FullDownload::Keep,
                   true, op);
    return result;
}

} // namespace

TransferResult downloadAllRecords(TFP_CLOCK& clock, int32_t machine, const QString& programDir,
                                  bool secondFile, FullDownload kind, Operator& op,
                                  const QDate& startDate, const QString& terminalName) {
    const std::optional<DirectoryLock> lock =
        lockProgramDirectory(programDir, QStringLiteral("Tüm Verileri Al"), op);
    if (!lock) return {TransferOutcome::Busy, 0, {}};
    TerminalIdentity seen = knownIdentity(clock, machine);
    return withHistory(*lock, kHistoryFullDownload, terminalName,
                       transferFiles(kind, secondFile, startDate), seen, op, [&] {
                           return downloadAllHeld(clock, machine, *lock, secondFile, kind, op,
                                                  startDate, seen);
                       });
}
