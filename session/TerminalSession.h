#pragma once

#include <QSqlRecord>
#include <QString>

#include <cstdint>

class Operator;
class TFP_CLOCK;

// The connection state the main window keeps and other windows read.
struct SessionState {
    QString settingsFile;      // Settings.ini, whose [Ports] names the serial and USB devices
    int32_t machineNumber = 0; // TerminalNo of the last connection attempt
    bool connected = false;
    QString connectedName;
    QString connectedAddress;
    // Why the last attempt never reached a terminal (an empty list, a
    // connection type the program does not know); empty when it tried.
    QString notTried;
};

// Connects to the terminal of a Terminal row (an empty record for an empty
// list) over the row's connection type. A port, speed or password that is
// not a whole number throws AppError before anything is sent.
bool connectTerminal(TFP_CLOCK& clock, const QSqlRecord& row, SessionState& state);

// "BAGLAN": connectTerminal under the busy cursor; a failure shows
// "Hata..Bağlantı Kurulamadı....".
bool connectCommand(TFP_CLOCK& clock, const QSqlRecord& row, SessionState& state, Operator& op);

// The device of a serial or USB terminal: [Ports] COMn (else /dev/ttyS<n-1>)
// or [Ports] USB (else empty, which the control refuses).
QString terminalDevicePath(const QString& settingsFile, bool usb, int32_t commPort);

// "Hata..Bağlantı Kurulamadı....", and under it the terminal's name, its
// address and what went wrong, in words the operator can act on: notTried
// when nothing was sent, else the control's error code.
QString connectionFailedText(const QString& name, const QString& address, int32_t errorCode,
                             const QString& notTried = {});

// "Bağlı: Giriş (127.0.0.1:5601, makine 1)": the status line while connected.
QString connectedStatusText(const SessionState& state);

// Where a Terminal row connects to, as the operator would write it.
QString rowAddress(const QSqlRecord& row, const QString& settingsFile);

// Ends the connection. The machine number and connected name stay.
void disconnectTerminal(TFP_CLOCK& clock, SessionState& state);

// Whole-number conversion for values typed by the operator: blanks around the
// digits are allowed; anything else throws AppError naming the value.
int32_t toWholeNumber(const QString& text);
