#pragma once

#include <QDateTime>
#include <QString>

#include <cstdint>

class Operator;
class TFP_CLOCK;

enum class ClockOutcome {
    NoDevice, // the terminal refused the lock; nothing sent, nothing shown
    Done,     // set, or read and shown
    Failed,   // the terminal refused the set or the read
};

struct ClockResult {
    ClockOutcome outcome = ClockOutcome::NoDevice;
    QString text;         // the message shown, if any
    QString errorName;    // the terminal's error after a refusal, for the headless commands
    QDateTime deviceTime; // a read's date and time to the second; invalid when none
    QDateTime readAt;     // the computer's time when the terminal answered the read
};

// "Tarih-Saat Ayarla": the terminal's clock := the computer's, under the busy
// cursor; the outcome in a message box.
ClockResult setDeviceClock(TFP_CLOCK& clock, int32_t machineNumber, Operator& op);

// "Tarih-Saat Oku": the terminal's date and time in a message box; a refused
// read shows nothing.
ClockResult readDeviceClock(TFP_CLOCK& clock, int32_t machineNumber, Operator& op);

// "Tarih = dd/mm/yyyy", a lone carriage return, "Saat = hh:mm". Day, month,
// hour and minute are filled to two digits, never cut; the year is as reported.
QString deviceClockText(int32_t year, int32_t month, int32_t day, int32_t hour, int32_t minute);

QString clockSetText();    // "cihaz tarih saati ayarlandı.."
QString clockNotSetText(); // "HATA...tarih saat ayarlanamadı.."
