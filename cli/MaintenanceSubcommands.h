#pragma once

#include "HeadlessTerminal.h"
#include "Subcommand.h"

// The maintenance and bell commands without a window. Each connects to the
// chosen terminal as "BAGLAN" does; exit codes as for transfer.

// clock get: "Tarih = dd/mm/yyyy" and "Saat = hh:mm" on two lines.
// clock set: the terminal's clock := the computer's, and the window's message.
int runClockCommand(const QString& programDir, bool set, const TerminalChoice& terminal,
                    QTextStream& out, QTextStream& err);

// admin-clear: "Admin Sil"; its message, if any, then the number of
// administrator enrollments deleted.
int runAdminClearCommand(const QString& programDir, const TerminalChoice& terminal,
                         QTextStream& out, QTextStream& err);

// clear-fingerprints --yes: every enrollment off the terminal. Without
// confirmed nothing is sent.
int runClearFingerprintsCommand(const QString& programDir, const TerminalChoice& terminal,
                                bool confirmed, QTextStream& out, QTextStream& err);

// bells get: the schedule as JSON, and nothing else, on out.
int runBellsGetCommand(const QString& programDir, const TerminalChoice& terminal, QTextStream& out,
                       QTextStream& err);

// bells set FILE (- for standard input): sends the schedule in that JSON,
// without a question. Input that is not the schedule, or that the bell
// window would refuse, prints "Invalid Value." and sends nothing.
int runBellsSetCommand(const QString& programDir, const TerminalChoice& terminal,
                       const QString& file, QTextStream& out, QTextStream& err);

std::vector<Subcommand> maintenanceSubcommands();
