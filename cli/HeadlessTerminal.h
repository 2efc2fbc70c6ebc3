#pragma once

#include "Subcommand.h"
#include "session/TerminalSession.h"
#include "terminal/TFP_CLOCK.h"

#include <QSqlRecord>
#include <QString>
#include <QTextStream>

#include <functional>
#include <optional>
#include <vector>

class Operator;

// Every row of the terminal list, in the main grid's order. Throws AppError
// when Data.mdb can't be read.
std::vector<QSqlRecord> terminalRows(const QString& programDir);

// The name of a row, as the list shows it.
QString terminalName(const QSqlRecord& row);

// The rows whose name is name, compared the Turkish way without regard to
// letter case or surrounding blanks ("giriş kapısı" is "GİRİŞ KAPISI", not
// "GIRIŞ KAPISI").
std::vector<QSqlRecord> rowsNamed(const std::vector<QSqlRecord>& rows, const QString& name);

// "Terminal listesi boş."
QString emptyListText();

// The one row a command works on: the row named name, or without a name the
// only row of the list. Otherwise says why on err and gives the exit code:
// an empty list fails (1); an unknown or ambiguous name, or several rows
// and no name, is a usage error (64) that lists the names to choose from.
// orAll adds --all-terminals to the advice.
struct TerminalPick {
    std::optional<QSqlRecord> row;
    int code = ExitDone;
};
TerminalPick pickTerminal(const QString& programDir, const std::optional<QString>& name,
                          QTextStream& err, bool orAll = false);

// One terminal's part of a command: works on row, writes to io, returns the
// exit code.
using TerminalCommand = std::function<int(const QSqlRecord& row, const Console& io)>;

// Runs command on each row in list order and returns the worst exit code
// met. A failure doesn't stop the rest; a Ctrl-C does. Each terminal's
// error lines are prefixed with its name. Kept apart so a runner that works
// on several terminals at once can take its place.
int runEachTerminal(const std::vector<QSqlRecord>& rows, const TerminalCommand& command,
                    const Console& io);

// Runs command on up to jobs rows at once, each a job of a TerminalRunner
// (core/TerminalRunner.h), and returns the worst exit code met. What each
// terminal's command writes is held and printed whole when it ends, in list
// order, as runEachTerminal prints it; on a screen a progress block shows
// the running terminals meanwhile. A failure doesn't stop the rest; a
// Ctrl-C starts no further terminal, and a HeadlessTerminal made in a job
// gives up a request its terminal hangs on.
int runTerminalsAtOnce(const std::vector<QSqlRecord>& rows, const TerminalCommand& command,
                       const Console& io, int jobs);

// At most this many terminals at once, and by default at most kDefaultJobs.
inline constexpr int kMaxJobs = 32;
inline constexpr int kDefaultJobs = 8;

// The terminal of --terminal (or the only one), or with --all-terminals,
// when the subcommand offers it, every row of the list: with --jobs (when
// offered) as many at once, at most maxJobs; by default as many as there
// are rows, at most kDefaultJobs.
int runOnChosenTerminals(const SubcommandCall& call, const TerminalCommand& command,
                         int maxJobs = kMaxJobs);

// The terminal a headless command works on, connected as "BAGLAN" connects
// and disconnected when the command ends, on every way out.
class HeadlessTerminal {
  public:
    HeadlessTerminal(const QString& programDir, Operator& op);
    ~HeadlessTerminal();
    HeadlessTerminal(const HeadlessTerminal&) = delete;
    HeadlessTerminal& operator=(const HeadlessTerminal&) = delete;

    // Connects to row. ExitDone when connected; ExitNotConnected when the
    // connection failed, the operator told.
    int connect(const QSqlRecord& row);

    int32_t machineNumber() const { return session.machineNumber; }

    // The exit code of a command the terminal refused to lock for:
    // ExitBusy when another client holds it, else failure.
    int refusedLockCode();

    TFP_CLOCK clock;
    SessionState session;

  private:
    QString programDir_;
    Operator& op_;
};

// The exit code after a command ended: ExitCancelled when Ctrl-C asked it to
// stop, else code.
int unlessCancelled(int code);
