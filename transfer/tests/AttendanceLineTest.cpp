#include "transfer/AttendanceLine.h"

#include "core/TextHelpers.h"

#include <limits>
#include <gtest/gtest.h>

namespace {

QByteArray lineOf(const AttendanceRecord& r, int32_t machine, int32_t code) {
    QByteArray out;
    appendAttendanceLine(out, r, machine, code);
    return out;
}

// The layout with ZeroPad spelled out field by field, to check the byte
// writer against the text helper on awkward values.
QByteArray byZeroPad(const AttendanceRecord& r, int32_t machine, int32_t code) {
    auto f = [](int32_t v, int w) { return ZeroPad(QString::number(v), w); };
    return (f(r.enrollNumber, 5) + ' ' + f(r.day, 2) + '/' + f(r.month, 2) + '/' + f(r.year, 4) +
            ' ' + f(r.hour, 2) + ':' + f(r.minute, 2) + ":00 " + f(machine, 2) + ' ' + f(code, 2) +
            "\r\n")
        .toLatin1();
}

struct Case {
    const char* what;
    AttendanceRecord record; // enroll, mode word, year, month, day, hour, minute
    int32_t machine;
    const char* newRecordLine; // "Verileri Aktar"
    const char* fullLine;      // the full downloads
};

const Case kCases[] = {
    {"example",
     {123, 0, 2024, 3, 5, 8, 7},
     1,
     "00123 05/03/2024 08:07:00 01 01",
     "00123 05/03/2024 08:07:00 01 00"},
    {"mode 8",
     {7, 8, 2024, 3, 5, 8, 7},
     1,
     "00007 05/03/2024 08:07:00 01 02",
     "00007 05/03/2024 08:07:00 01 08"},
    {"_GoIn low 1",
     {7, 1025, 2024, 3, 5, 8, 7},
     1,
     "00007 05/03/2024 08:07:00 01 01",
     "00007 05/03/2024 08:07:00 01 01"},
    {"_GoOut low 1",
     {7, 1281, 2024, 3, 5, 8, 7},
     1,
     "00007 05/03/2024 08:07:00 01 01",
     "00007 05/03/2024 08:07:00 01 02"},
    {"_DutyOff low 3",
     {7, 256 + 3, 2024, 12, 31, 23, 59},
     12,
     "00007 31/12/2024 23:59:00 12 03",
     "00007 31/12/2024 23:59:00 12 03"},
    {"six-digit enroll",
     {123456, 0, 2024, 3, 5, 8, 7},
     1,
     "123456 05/03/2024 08:07:00 01 01",
     "123456 05/03/2024 08:07:00 01 00"},
    {"year below 1000",
     {1, 1, 999, 1, 2, 0, 0},
     1,
     "00001 02/01/0999 00:00:00 01 01",
     "00001 02/01/0999 00:00:00 01 01"},
    {"three-digit machine",
     {1, 1, 2024, 1, 2, 3, 4},
     105,
     "00001 02/01/2024 03:04:00 105 01",
     "00001 02/01/2024 03:04:00 105 01"},
    {"low byte 200 above the selector",
     {1, 65536 + 200, 2024, 1, 2, 3, 4},
     1,
     "00001 02/01/2024 03:04:00 01 200",
     "00001 02/01/2024 03:04:00 01 200"},
    // Remainders keep the sign: -1 has low byte -1; -1279 is selector -4, low -255.
    {"negative mode word",
     {1, -1, 2024, 1, 2, 3, 4},
     1,
     "00001 02/01/2024 03:04:00 01 -1",
     "00001 02/01/2024 03:04:00 01 -1"},
    {"negative selector",
     {1, -1279, 2024, 1, 2, 3, 4},
     1,
     "00001 02/01/2024 03:04:00 01 -255",
     "00001 02/01/2024 03:04:00 01 -255"},
    {"negative -256 is low 0",
     {1, -256, 2024, 1, 2, 3, 4},
     1,
     "00001 02/01/2024 03:04:00 01 01",
     "00001 02/01/2024 03:04:00 01 00"},
    {"negative numbers pad before the sign",
     {-7, 0, -5, 1, 2, 3, 4},
     -3,
     "000-7 02/01/00-5 03:04:00 -3 01",
     "000-7 02/01/00-5 03:04:00 -3 00"},
};

TEST(AttendanceLine, LayoutAndBothMappings) {
    for (const Case& c : kCases) {
        SCOPED_TRACE(c.what);
        const QByteArray a = lineOf(c.record, c.machine, newRecordModeCode(c.record.modeWord));
        const QByteArray b = lineOf(c.record, c.machine, fullDownloadModeCode(c.record.modeWord));
        EXPECT_EQ(a, QByteArray(c.newRecordLine) + "\r\n");
        EXPECT_EQ(b, QByteArray(c.fullLine) + "\r\n");
        EXPECT_EQ(a, byZeroPad(c.record, c.machine, newRecordModeCode(c.record.modeWord)));
    }
}

TEST(AttendanceLine, ExtremeValuesStayWithinTheLineBuffer) {
    const int32_t lo = std::numeric_limits<int32_t>::min();
    const int32_t hi = std::numeric_limits<int32_t>::max();
    for (int32_t v : {lo, hi, -1, 0}) {
        const AttendanceRecord r{v, v, v, v, v, v, v};
        for (int32_t code : {newRecordModeCode(v), fullDownloadModeCode(v)}) {
            const QByteArray line = lineOf(r, v, code);
            EXPECT_LE(line.size(), kMaxAttendanceLine);
            EXPECT_EQ(line, byZeroPad(r, v, code));
        }
    }
}

} // namespace
