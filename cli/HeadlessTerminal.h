#pragma once

#include "session/TerminalSession.h"
#include "terminal/TFP_CLOCK.h"

#include <QSqlRecord>
#include <QString>
#include <QTextStream>
#include <optional>

class Operator;

// The row the main grid would show for the name, or its first row when the
// name is empty; an empty record for an empty list, as "BAGLAN" gets then.
// nullopt: no row has that name.
std::optional<QSqlRecord> findTerminalRow(const QString& programDir, const QString& name);

// The terminal a headless command works on, connected as "BAGLAN" connects
// and disconnected when the command ends, on every way out.
class HeadlessTerminal {
  public:
    HeadlessTerminal(const QString& programDir, Operator& op);
    ~HeadlessTerminal();
    HeadlessTerminal(const HeadlessTerminal&) = delete;
    HeadlessTerminal& operator=(const HeadlessTerminal&) = delete;

    // Connects to the row named name (the first row when empty). ExitDone when
    // connected; ExitNotConnected when the connection failed, the operator
    // told; ExitFailed with the text on err when the list has no such row.
    int connect(const QString& name, QTextStream& err);

    int32_t machineNumber() const { return session.machineNumber; }

    TFP_CLOCK clock;
    SessionState session;

  private:
    QString programDir_;
    Operator& op_;
};
