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

enum class TerminalField;

// Outcome of saving from the editor: whether it may close, which list row to
// select afterwards, and the field a refusal points at.
struct SaveResult {
    bool saved = false;
    int selectRow = -1;
    std::optional<TerminalField> badField;
};

// "Kaydet" in add mode: checks the fields (checkTerminalFields), inserts the
// row, re-runs the list (selection on its first row). A refused field is told
// to the operator in a message box titled "UYARI" and nothing is stored.
SaveResult addTerminal(TfrmDM& dm, const TerminalFields& fields, Operator& op);

// "Kaydet" in update mode: the same check, then updates the selected row of
// the list (by its id) and returns to the same list position. A row that is
// no longer in the table is told to the operator and nothing counts as saved.
SaveResult updateTerminal(TfrmDM& dm, int selectedRow, const TerminalFields& fields, Operator& op);

// "Sil": asks first. Returns the row to select after a delete (-1 for an
// empty list), or nothing when nothing was deleted.
std::optional<int> deleteTerminal(TfrmDM& dm, int selectedRow, Operator& op);
