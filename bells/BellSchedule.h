#pragma once

#include "terminal/TFP_CLOCK.h"

#include <QByteArray>
#include <QString>

#include <array>
#include <cstdint>
#include <optional>

class Operator;

// What the bell window shows: each bell's check box, hour text and minute
// text, and the ring-duration text.
struct BellForm {
    std::array<bool, kBellCount> on{};
    std::array<QString, kBellCount> hour;
    std::array<QString, kBellCount> minute;
    QString ringDuration;
    bool operator==(const BellForm&) const = default;
};

// Where the schedule is shown and typed: the bell window, or a plain form.
class BellFormView {
  public:
    virtual ~BellFormView() = default;
    virtual BellForm form() const = 0;
    virtual void showForm(const BellForm& form) = 0;
};

// A form without a window, for the commands without one and for tests.
struct PlainBellForm : BellFormView {
    BellForm value;
    PlainBellForm(BellForm f = {}) : value(std::move(f)) {}
    BellForm form() const override { return value; }
    void showForm(const BellForm& f) override { value = f; }
};

// The verdict on a form: every hour a whole number 0-23, every minute 0-59,
// the ring duration 0-255, no field empty; blanks around the digits are
// allowed. Nothing else may reach the terminal.
bool isValidBellForm(const BellForm& form);

// The whole number in text when it is one between 0 and max (blanks around
// it allowed), else nothing.
std::optional<int> bellFieldValue(const QString& text, int max);

enum class BellSendOutcome {
    Declined, // the operator answered No
    Invalid,  // "Invalid Value.": nothing sent
    NoDevice, // the terminal refused the lock
    Refused,  // the terminal refused the schedule
    Sent,     // "Gönderildi."
};

// The schedule for the whole run: the 72-byte block the terminal control
// reads and writes (flags, hours, minutes in its first 24 bytes) and the ring
// duration.
class BellSchedule {
  public:
    // On show: every bell off at 00:00; the ring duration stays.
    BellForm clear();

    // Table to form. A flag byte above 1 is stored back as 0.
    BellForm display();

    // Form to table, only for a form that passes the verdict.
    bool collect(const BellForm& form);

    // "<--- Terminalden Zil Saatlerini Oku": on success view shows what the
    // terminal holds; on any failure table and view stay as they were.
    bool read(TFP_CLOCK& clock, int32_t machineNumber, BellFormView& view, Operator& op);

    // "--->Terminale Zİl Saatlerini Gönder": asks when ask is set, checks
    // what view holds, sends it; after a send view shows the values as sent.
    BellSendOutcome send(TFP_CLOCK& clock, int32_t machineNumber, BellFormView& view, Operator& op,
                         bool ask = true);

    const BellTable& table() const { return table_; }
    int32_t ringDuration() const { return ringDuration_; }

    // {"ring_duration": N, "bells": [{"on": 0/1, "hour": H, "minute": M}, ... 8]}
    QByteArray toJson() const;

  private:
    BellTable table_{};
    int32_t ringDuration_ = 0;
};

// A schedule in the JSON form of toJson(), as a form for send(). Anything
// else (not JSON, missing or unknown keys, not 8 bells, a number that is not
// whole, "on" other than 0 or 1) gives nothing and the reason in *error.
// The ranges are left to the verdict.
std::optional<BellForm> bellFormFromJson(const QByteArray& json, QString* error);

QString invalidBellValueText(); // "Invalid Value."
