#include "AttendanceLine.h"

#include <cstring>

int32_t newRecordModeCode(int32_t modeWord) {
    const int32_t low = modeWord % 256;
    if (low == 0) return 1;
    if (low == 8) return 2;
    return low;
}

int32_t fullDownloadModeCode(int32_t modeWord) {
    const int32_t w = modeWord % 65536;
    const int32_t selector = w / 256;
    if (selector == 4) return 1; // _GoIn
    if (selector == 5) return 2; // _GoOut
    return w % 256;
}

namespace {

// The decimal text of value, left-filled with '0' to width; returns the end.
char* putPadded(char* at, int32_t value, int width) {
    char digits[12];
    int n = 0;
    // Work on the magnitude as unsigned so INT32_MIN has a text too.
    uint32_t magnitude =
        value < 0 ? 0u - static_cast<uint32_t>(value) : static_cast<uint32_t>(value);
    do {
        digits[n++] = static_cast<char>('0' + magnitude % 10);
        magnitude /= 10;
    } while (magnitude != 0);
    if (value < 0) digits[n++] = '-';
    for (int i = n; i < width; ++i)
        *at++ = '0';
    while (n > 0)
        *at++ = digits[--n];
    return at;
}

} // namespace

void appendAttendanceLine(QByteArray& out, const AttendanceRecord& r, int32_t machineNumber,
                          int32_t modeCode) {
    char line[kMaxAttendanceLine];
    char* at = line;
    at = putPadded(at, r.enrollNumber, 5);
    *at++ = ' ';
    at = putPadded(at, r.day, 2);
    *at++ = '/';
    at = putPadded(at, r.month, 2);
    *at++ = '/';
    at = putPadded(at, r.year, 4);
    *at++ = ' ';
    at = putPadded(at, r.hour, 2);
    *at++ = ':';
    at = putPadded(at, r.minute, 2);
    std::memcpy(at, ":00 ", 4);
    at += 4;
    at = putPadded(at, machineNumber, 2);
    *at++ = ' ';
    at = putPadded(at, modeCode, 2);
    *at++ = '\r';
    *at++ = '\n';
    out.append(line, at - line);
}

QByteArray withMachineNumber(const QByteArray& line, int32_t machineNumber) {
    qsizetype from = 0;
    for (int field = 0; field < 3 && from >= 0; ++field) {
        from = line.indexOf(' ', from);
        if (from >= 0) ++from;
    }
    const qsizetype to = from < 0 ? -1 : line.indexOf(' ', from);
    if (to < 0) return line;
    char digits[16];
    const qsizetype n = putPadded(digits, machineNumber, 2) - digits;
    QByteArray out = line;
    out.replace(from, to - from, QByteArrayView(digits, n));
    return out;
}
