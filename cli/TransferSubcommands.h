#pragma once

#include "Subcommand.h"

#include <QSqlRecord>
#include <QStringList>

// What one terminal's transfer did, for its summary line and --json.
struct TransferSummary {
    QString terminal;
    QString address;       // where the row connects to
    QString failure;       // why it failed, in a few Turkish words; empty when it did not
    long long records = 0; // records now in the files
    QStringList files;     // the files they went to, relative to the program directory
    int exitCode = ExitDone;
};

class DeliveryTurns;

// transfer on one terminal row: connects as "BAGLAN" does, then runs
// "Verileri Aktar", or with all "Tüm Verileri Al (silmez)", with the saved
// second-file option. The window's messages go to io.err. One of several
// terminals at once (io.job) delivers its new records in its turn among
// turns, which the run's terminals share.
TransferSummary runTransferCommand(const QString& programDir, bool all, const QSqlRecord& row,
                                   const Console& io, DeliveryTurns* turns = nullptr);

// "Giriş: 5 kayıt -> veri.txt, yedek_V270/032024.txt"; a failure before any
// record went into the files: "Giriş (10.0.0.5:5005): HATA: bağlanamadı: ..."
QString summaryLine(const TransferSummary& s);

// sdcard FILE: "sdkart->text (veri.txt)" on file.
int runSdcardCommand(const QString& programDir, const QString& file, const Console& io);

std::vector<Subcommand> transferSubcommands();
