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

// The row the main grid would show for the name, or its first row when the
// name is empty; an empty record for an empty list, as "BAGLAN" gets then.
// nullopt: no row has that name.
std::optional<QSqlRecord> findTerminalRow(const QString& programDir, const QString& name);

// Every row of the terminal list, in the main grid's order.
std::vector<QSqlRecord> terminalRows(const QString& programDir);

// The row a headless command connects to: the row named name (the first row
// when empty), or a row already read from the list.
struct TerminalChoice {
    TerminalChoice(const QString& terminalName = {}) : name(terminalName) {}
    TerminalChoice(const QSqlRecord& listRow) : row(listRow) {}
    QString name;
    std::optional<QSqlRecord> row;
};

// --all-terminals, for the commands that may run on every terminal at once.
QCommandLineOption allTerminalsOption();

// Runs command on the terminal of --terminal (the first row without it), or
// with --all-terminals on every row of the list in list order, each under a
// header line "== NAME ==" on out. A failure doesn't stop the rest; the
// result is the highest exit code met.
int runOnChosenTerminals(const SubcommandCall& call,
                         const std::function<int(const TerminalChoice&)>& command);

// The terminal a headless command works on, connected as "BAGLAN" connects
// and disconnected when the command ends, on every way out.
class HeadlessTerminal {
  public:
    HeadlessTerminal(const QString& programDir, Operator& op);
    ~HeadlessTerminal();
    HeadlessTerminal(const HeadlessTerminal&) = delete;
    HeadlessTerminal& operator=(const HeadlessTerminal&) = delete;

    // Connects to the chosen row. ExitDone when connected; ExitNotConnected
    // when the connection failed, the operator told; ExitFailed with the text
    // on err when the list has no such row.
    int connect(const TerminalChoice& choice, QTextStream& err);

    int32_t machineNumber() const { return session.machineNumber; }

    TFP_CLOCK clock;
    SessionState session;

  private:
    QString programDir_;
    Operator& op_;
};
