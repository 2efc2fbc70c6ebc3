#pragma once

#include <QSqlRecord>
#include <QString>
#include <cstdint>

class Operator;
class TFP_CLOCK;

// The connection state the main window keeps and other windows read.
struct SessionState {
    int32_t machineNumber = 0; // TerminalNo of the last connection attempt
    bool connected = false;
    QString connectedName;
};

// Connects to the terminal of a Terminal row (an empty record for an empty
// list) over the row's connection type. A port, speed or password that is
// not a whole number throws AppError before anything is sent.
bool connectTerminal(TFP_CLOCK& clock, const QSqlRecord& row, SessionState& state);

// "BAGLAN": connectTerminal under the busy cursor; a failure shows
// "Hata..Bağlantı Kurulamadı....".
bool connectCommand(TFP_CLOCK& clock, const QSqlRecord& row, SessionState& state, Operator& op);

// Ends the connection. The machine number and connected name stay.
void disconnectTerminal(TFP_CLOCK& clock, SessionState& state);

// Whole-number conversion for values typed by the operator: blanks around the
// digits are allowed; anything else throws AppError naming the value.
int32_t toWholeNumber(const QString& text);
