#pragma once

#include <QDate>
#include <QString>
#include <QStringList>

#include <cstdint>
#include <optional>

class Operator;
class TFP_CLOCK;

// How a transfer ended, for callers that act on it (the headless commands'
// exit codes); the operator has been told already.
enum class TransferOutcome {
    Busy,            // another command writes the data files; nothing changed
    NoDevice,        // the terminal refused the lock; nothing read
    ReadFailed,      // the terminal refused to prepare its records (error name shown)
    NoRecords,       // "Cihazdan Alınacak Veri Yok..."
    Transferred,     // every record the terminal prepared is in the files
    Interrupted,     // the link broke during the download; the lines read so far are kept
    NotConfirmed,    // every record is in the files, but the terminal did not confirm
                     // the commit: the next transfer finishes it without writing them again
    Cancelled,       // the operator stopped it; the records read so far are in the files
                     // (and committed), the rest stay for the next run
    IdentityChanged, // the terminal's identity changed since a batch it did not confirm
                     // and its records could not tell: nothing written, nothing committed
};

struct TransferResult {
    TransferResult() = default;
    TransferResult(TransferOutcome o, long long n, QString error = {}, QString text = {})
        : outcome(o), records(n), errorName(std::move(error)), detail(std::move(text)) {}

    TransferOutcome outcome = TransferOutcome::NoRecords;
    long long records = 0; // records the terminal handed out, all of them now in the files
    QString errorName;     // device error name for ReadFailed, Interrupted and NotConfirmed
    QString detail;        // what the operator was told of IdentityChanged
};

// "Verileri Aktar": the terminal's new records into veri.txt, the month's file
// under yedek_V270 and, with the second-file option, veri2.txt, each record
// once, also over runs that were cut short (Delivery.h). Once every record is
// on disk the transfer commits them to the terminal, and only then are they
// no longer new. secondFile is the option as it stood when the command
// started; startDate names the monthly file; terminalName is how the history
// of transfers (TransferHistory.h) names the terminal. File errors throw AppError
// after every file is closed and the terminal released; lines already
// written stay, and the journal knows them.
TransferResult transferNewRecords(TFP_CLOCK& clock, int32_t machineNumber,
                                  const QString& programDir, bool secondFile, Operator& op,
                                  const QDate& startDate = QDate::currentDate(),
                                  const QString& terminalName = QString());

// The two popup-menu downloads of every record on the terminal. They write
// the same lines; they differ only in how they end.
enum class FullDownload {
    Keep,         // "Tüm Verileri Al (silmez)": reports "Bilgiler Dosyaya Aktarıldı...."
    KeepSilently, // "Tüm Verileri Al(aldıktan sonra cihazdan sil)": ends without a message
};

// All records into veri.txt and the month's file under yedek_K19; afterwards,
// with the second-file option, the content of veri2.txt becomes a copy of
// veri.txt (also when the terminal was absent or a file failed). Neither
// removes records from the terminal.
TransferResult downloadAllRecords(TFP_CLOCK& clock, int32_t machineNumber,
                                  const QString& programDir, bool secondFile, FullDownload kind,
                                  Operator& op, const QDate& startDate = QDate::currentDate(),
                                  const QString& terminalName = QString());

// The files a transfer writes, as the operator knows them, in the order it
// opens them: a new-record transfer without kind, a full download with it.
QStringList transferFiles(std::optional<FullDownload> kind, bool secondFile,
                          const QDate& startDate);

// The texts the commands show.
QString noRecordsText();      // "Cihazdan Alınacak Veri Yok..."
QString transferredText();    // "Bilgiler Dosyaya Aktarıldı...."
QString terminalTasksTitle(); // "Terminal İşlemleri"
QString interruptedText(const QString& errorName, long long records);
QString notConfirmedText(const QString& errorName, long long records);
QString cancelledText(long long records);
// The closing message's second line: how many records went to which files.
QString writtenText(long long records, const QStringList& files);
