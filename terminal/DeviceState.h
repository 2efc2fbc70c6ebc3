#pragma once

// The whole memory of one terminal, and its JSON form (the emulator's state
// file; schema in PROTOCOL.md).

#include <QByteArray>
#include <QString>

#include <array>
#include <cstdint>
#include <map>
#include <optional>
#include <vector>

using EnrollTemplate = std::array<int32_t, 356>;

struct Bell {
    int32_t on = 0;
    int32_t hour = 0;
    int32_t minute = 0;
    bool operator==(const Bell&) const = default;
};

struct LogRecord {
    int32_t enroll = 0;
    int32_t mode = 0;
    int32_t year = 0, month = 0, day = 0, hour = 0, minute = 0;
    bool operator==(const LogRecord&) const = default;
};

struct Enrollment {
    int32_t enroll = 0;
    int32_t emachine = 1;
    int32_t backup = 0; // 0..9 and 12..16 template, 10 password, 11 card
    int32_t privilege = 0;
    int32_t enabled = 1;
    int32_t password = 0;         // backups 10 and 11
    EnrollTemplate fingerprint{}; // the other backups
    bool operator==(const Enrollment&) const = default;
};

inline constexpr int kBellCount = 8;
inline constexpr int kPasswordBackup = 10;
inline constexpr int kCardBackup = 11;
inline constexpr int kLastBackup = 16;
// Backups 12 to 16 hold further templates, exactly like 0 to 9, so that what
// a copy reads from one terminal goes to the next unchanged.
inline bool isValidBackup(int32_t backup) {
    return backup >= 0 && backup <= kLastBackup;
}
inline bool isFingerprintBackup(int32_t backup) {
    return isValidBackup(backup) && backup != kPasswordBackup && backup != kCardBackup;
}

// A terminal's serial number: 1 to 64 printable ASCII characters.
inline constexpr int kMaxSerialLength = 64;
bool isValidSerial(const QString& serial);
// A new serial number, different on every call (a new emulated terminal).
QString makeSerial();

struct DeviceState {
    QString serial; // empty: none yet; the emulator makes one
    int32_t machine = 1;
    int32_t password = 0;
    int32_t clockOffsetSeconds = 0;
    int32_t ringDuration = 5;
    std::array<Bell, kBellCount> bells{};
    std::vector<LogRecord> logs; // oldest first
    int32_t newMark = 0;         // index of the first record not yet taken as new
    std::vector<Enrollment> enrollments;
    std::map<int32_t, QString> names;
    bool operator==(const DeviceState&) const = default;
};

// Parses a state file. On failure returns nullopt and puts an English
// message naming the offending key into *error.
std::optional<DeviceState> parseDeviceState(const QByteArray& json, QString* error);
QByteArray serializeDeviceState(const DeviceState& state);

// Writes atomically (temporary file, then rename). False with *error on failure.
bool saveDeviceState(const DeviceState& state, const QString& path, QString* error);

// A terminal with `users` users (fingerprints, cards, passwords, names) and a
// few thousand attendance records, for demos.
DeviceState makeDemoState(int users, int32_t machine = 1);
