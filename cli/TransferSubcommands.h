#pragma once

#include "HeadlessTerminal.h"
#include "Subcommand.h"

// transfer [--all] [--terminal NAME]: connects to the named Terminal row (the
// first row of the list when empty) as "BAGLAN" does, then runs "Verileri
// Aktar", or with all "Tüm Verileri Al (silmez)", with the saved second-file
// option. Every message the window would show is printed on its own line.
int runTransferCommand(const QString& programDir, bool all, const TerminalChoice& terminalName,
                       QTextStream& out, QTextStream& err);

// sdcard FILE: "sdkart->text (veri.txt)" on file.
int runSdcardCommand(const QString& programDir, const QString& file, QTextStream& out,
                     QTextStream& err);

std::vector<Subcommand> transferSubcommands();
