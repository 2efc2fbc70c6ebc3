#pragma once

#include <QByteArray>

#include <cstdint>

// One attendance record as the terminal delivers it (the outputs of
// GetGeneralLogData / GetAllGeneralLogData that the line uses).
struct AttendanceRecord {
    int32_t enrollNumber = 0;
    int32_t modeWord = 0;
    int32_t year = 0;
    int32_t month = 0;
    int32_t day = 0;
    int32_t hour = 0;
    int32_t minute = 0;
};

// Mode code of "Verileri Aktar": the low byte, with 0 read as 1 (in) and 8 as 2 (out).
int32_t newRecordModeCode(int32_t modeWord);

// Mode code of the full downloads: the in/out selector in the second byte
// decides for "_GoIn" (1) and "_GoOut" (2), otherwise the low byte stands.
// Remainders keep the sign of the mode word, so a negative word gives a
// negative code, as the PDKS program has always received it.
int32_t fullDownloadModeCode(int32_t modeWord);

// Longest line appendAttendanceLine can produce, CR LF included.
inline constexpr int kMaxAttendanceLine = 104; // eight 11-character numbers, separators, CR LF

// Appends "EEEEE DD/MM/YYYY HH:MM:00 NN CC\r\n": every number is its decimal
// text left-filled with "0" to its width (zeros go in front of a minus sign)
// and never cut. Written straight into bytes: the transfers build one line
// per record and this is their hot path.
void appendAttendanceLine(QByteArray& out, const AttendanceRecord& record, int32_t machineNumber,
                          int32_t modeCode);

// The line with its machine number field (the fourth) written as machineNumber
// would be; a line of another shape comes back as it is.
QByteArray withMachineNumber(const QByteArray& line, int32_t machineNumber);
