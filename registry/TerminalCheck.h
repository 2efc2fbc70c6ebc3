#pragma once

#include "TerminalCommands.h"

#include <QSqlRecord>
#include <QString>

#include <optional>

// The longest name a row takes: the width of the name column in the old
// table, and the length of the editor's name field.
inline constexpr int kTerminalNameMax = 50;

// The serial speeds a row may name: the standard rates of a serial port.
inline constexpr int kStandardBaudRates[] = {1200, 2400, 4800, 9600, 19200, 38400, 57600, 115200};

// The editor field a refusal points at.
enum class TerminalField { Name, MachineNo, Type, ComPort, ComBaud, Ip, NetPort, Password };

struct FieldProblem {
    TerminalField field;
    QString text; // Turkish, one line, names the field; values in it are shown escaped
};

// The one check of a terminal row's values, for the editor and the command
// line alike, on the fields as typed (blanks around a value don't count, as
// the routines trim them):
// - a name of printable characters, not blank, at most kTerminalNameMax long;
// - a machine number, and a password, that are whole numbers in the 32-bit
//   signed range (or empty);
// - a type from the list;
// - for a TCP row an IPv4 address (each part 0-255, no leading zeros), an
//   IPv6 address or a host name, never with a port in it, and a port 1-65535
//   in digits only;
// - for a serial row a port number from 1 and a standard baud rate, in digits
//   only.
// The fields of the other types are stored as they are, but a TCP port that
// is not a whole number can't be stored at all.
std::optional<FieldProblem> checkTerminalFields(const TerminalFields& fields);

// The same check on a stored row, for telling the operator about rows that
// older versions let in. The row is only read.
std::optional<FieldProblem> checkTerminalRow(const QSqlRecord& row);

// text with every character that is not printable (control characters,
// line breaks, format and unassigned characters) written as an escape such
// as \x1B or \u202E, so a stored value can't move the cursor or split a line.
QString escapedText(const QString& text);
