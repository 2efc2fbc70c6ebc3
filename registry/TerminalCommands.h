#pragma once

#include <QSqlRecord>
#include <QString>
#include <optional>

class Operator;
class TfrmDM;

// The editor's fields, as typed (untrimmed).
struct TerminalFields {
    QString name;      // Edit1 "Cihaz"
    QString machineNo; // Edit7 "Cihaz No"
    int typeIndex = 0; // ComboBox1: 0 comport, 1 tcp/ip, 2 usb
    QString comPort;   // Edit2
    QString comBaud;   // Edit3
    QString ip;        // Edit4
    QString netPort;   // Edit5
    QString password;  // Edit6
};

// The type list and the stored Tip: 0 "com", 1 "ethernet", 2 "usb".
QString tipForTypeIndex(int index);
int typeIndexForTip(const QString& tip); // -1 for an unknown text

// Why the editor refuses the fields, or empty when it takes them: an empty
// name ("Terminal Adını Giriniz."), a type outside the list, a machine
// number, TCP port or password that is not a whole number in the 32-bit
// range (empty ones leave the column empty).
QString terminalFieldsProblem(const TerminalFields& fields);

// Why a row with these fields could not connect, or empty: a TCP row needs
// an address and a port 1-65535, a serial row a port number from 1 and a
// speed. The editor lets such rows be saved (a connect reports them); the
// headless "terminals" commands refuse them up front.
QString connectionProblem(const TerminalFields& fields);

// The selected row of the terminal list (qrycihaz); an empty record when the
// list is empty or row is out of range.
QSqlRecord terminalRow(const TfrmDM& dm, int row);

// Fills editor fields from a list row, as "Değiştir" does.
TerminalFields fieldsFromRow(const QSqlRecord& row);

// "Değiştir": whether the editor opens, and the values to fill it with when
// the selected row was found. An empty list opens nothing.
struct EditStart {
    bool open = false;
    std::optional<TerminalFields> fields;
};
EditStart startEdit(const TfrmDM& dm, int selectedRow);

// Outcome of saving from the editor: whether it may close, and which list
// row to select afterwards.
struct SaveResult {
    bool saved = false;
    int selectRow = -1;
};

// "Kaydet" in add mode: checks the name, inserts the row, re-runs the list
// (selection on its first row). A machine number, TCP port or password that
// is not a whole number in the 32-bit range throws AppError with the
// conversion message; nothing is stored then.
SaveResult addTerminal(TfrmDM& dm, const TerminalFields& fields, Operator& op);

// "Kaydet" in update mode: updates the selected row of the list (by its id)
// and returns to the same list position. A row that is no longer in the
// table is told to the operator and nothing counts as saved.
SaveResult updateTerminal(TfrmDM& dm, int selectedRow, const TerminalFields& fields, Operator& op);

// "Sil": asks first. Returns the row to select after a delete (-1 for an
// empty list), or nothing when nothing was deleted.
std::optional<int> deleteTerminal(TfrmDM& dm, int selectedRow, Operator& op);
