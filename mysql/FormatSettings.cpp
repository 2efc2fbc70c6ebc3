#include "FormatSettings.h"

#include <cctype>
#include <charconv>
#include <cstdlib>

namespace v270::mysql {

FormatSettings& formatSettings() {
    static FormatSettings settings;
    return settings;
}

namespace {

void AppendNumber(std::string& out, int64_t value, int width) {
    char buf[24];
    uint64_t v = value < 0 ? 0 - static_cast<uint64_t>(value) : static_cast<uint64_t>(value);
    char* end = std::to_chars(buf, buf + sizeof buf, v).ptr;
    if (value < 0) out += '-';
    for (int pad = width - static_cast<int>(end - buf); pad > 0; --pad)
        out += '0';
    out.append(buf, end);
}

// Days from 1970-01-01 of a proleptic Gregorian date.
int64_t DaysFromEpoch1970(int64_t y, int m, int d) {
    y -= m <= 2;
    const int64_t era = (y >= 0 ? y : y - 399) / 400;
    const int64_t yoe = y - era * 400;
    const int64_t doy = (153 * (m > 2 ? m - 3 : m + 9) + 2) / 5 + d - 1;
    const int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + doe - 719468;
}

// 1899-12-30 counted from 1970-01-01.
constexpr int64_t kDayZero = -25569;

void AppendFormatted(std::string& out, std::string_view f, const DateTimeParts& v,
                     const FormatSettings& fs, int depth) {
    // Formats that name other formats must not loop through each other.
    if (depth > 2) return;
    bool afterHour = false;
    size_t i = 0;
    while (i < f.size()) {
        char c = f[i];
        if (c == '\'' || c == '"') {
            size_t end = f.find(c, i + 1);
            if (end == std::string_view::npos) end = f.size();
            out.append(f.substr(i + 1, end - i - 1));
            i = end + 1;
            continue;
        }
        if (c == '/' || c == ':') {
            out += c == '/' ? fs.DateSeparator : fs.TimeSeparator;
            ++i;
            continue;
        }
        char lc = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        size_t n = 1;
        while (i + n < f.size() && std::tolower(static_cast<unsigned char>(f[i + n])) == lc)
            ++n;
        int width = n >= 2 ? 2 : 1;
        switch (lc) {
        case 'd':
            if (n <= 2)
                AppendNumber(out, v.day, width);
            else if (n == 3)
                out += fs.ShortDayNames[DayOfWeek(v.year, v.month, v.day)];
            else if (n == 4)
                out += fs.LongDayNames[DayOfWeek(v.year, v.month, v.day)];
            else
                AppendFormatted(out, n == 5 ? fs.ShortDateFormat : fs.LongDateFormat, v, fs,
                                depth + 1);
            break;
        case 'm':
            if (afterHour && n <= 2)
                AppendNumber(out, v.minute, width);
            else if (n <= 2)
                AppendNumber(out, v.month, width);
            else if (v.month >= 1 && v.month <= 12)
                out += (n == 3 ? fs.ShortMonthNames : fs.LongMonthNames)[v.month - 1];
            break;
        case 'y':
            if (n <= 2)
                AppendNumber(out, v.year % 100, 2);
            else
                AppendNumber(out, v.year, 4);
            break;
        case 'h':
            AppendNumber(out, v.hour, width);
            break;
        case 'n':
            AppendNumber(out, v.minute, width);
            break;
        case 's':
            AppendNumber(out, v.second, width);
            break;
        case 'z':
            AppendNumber(out, v.millisecond, n >= 3 ? 3 : 1);
            break;
        case 'c':
            AppendFormatted(out, fs.ShortDateFormat, v, fs, depth + 1);
            out += ' ';
            AppendFormatted(out, fs.LongTimeFormat, v, fs, depth + 1);
            break;
        case 't':
            AppendFormatted(out, n == 1 ? fs.ShortTimeFormat : fs.LongTimeFormat, v, fs, depth + 1);
            break;
        default:
            out.append(f.substr(i, n));
            break;
        }
        if (std::isalpha(static_cast<unsigned char>(c))) afterHour = lc == 'h';
        i += n;
    }
}

} // namespace

std::string FormatDateTime(std::string_view format, const DateTimeParts& value,
                           const FormatSettings& settings) {
    std::string out;
    AppendFormatted(out, format, value, settings, 0);
    return out;
}

std::string FormatDate(const DateTimeParts& value, const FormatSettings& settings) {
    return FormatDateTime(settings.ShortDateFormat, value, settings);
}

std::string FormatDateAndTime(const DateTimeParts& value, const FormatSettings& settings) {
    return FormatDateTime("c", value, settings);
}

std::string FormatTimeSpan(int64_t microseconds, const FormatSettings& settings) {
    std::string out;
    uint64_t us = microseconds < 0 ? 0 - static_cast<uint64_t>(microseconds)
                                   : static_cast<uint64_t>(microseconds);
    uint64_t seconds = us / 1000000;
    if (microseconds < 0) out += '-';
    AppendNumber(out, static_cast<int64_t>(seconds / 3600), 2);
    out += settings.TimeSeparator;
    AppendNumber(out, static_cast<int64_t>(seconds / 60 % 60), 2);
    out += settings.TimeSeparator;
    AppendNumber(out, static_cast<int64_t>(seconds % 60), 2);
    return out;
}

std::string FormatFloat(double value, const FormatSettings& settings) {
    char buf[64];
    char* end = std::to_chars(buf, buf + sizeof buf, value, std::chars_format::general, 15).ptr;
    std::string out(buf, end);
    for (char& c : out) {
        if (c == '.')
            c = settings.DecimalSeparator;
        else
            c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    }
    return out;
}

bool IsValidDate(int year, int month, int day) {
    static constexpr int kDays[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    if (year < 1 || year > 9999 || month < 1 || month > 12 || day < 1) return false;
    bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
    return day <= kDays[month - 1] + (month == 2 && leap ? 1 : 0);
}

int64_t DaysFromDate(int year, int month, int day) {
    return DaysFromEpoch1970(year, month, day) - kDayZero;
}

DateTimeParts DateFromDays(int64_t days) {
    int64_t z = days + kDayZero + 719468;
    const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
    const int64_t doe = z - era * 146097;
    const int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const int64_t mp = (5 * doy + 2) / 153;
    DateTimeParts p;
    p.day = static_cast<int>(doy - (153 * mp + 2) / 5 + 1);
    p.month = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
    p.year = static_cast<int>(yoe + era * 400 + (p.month <= 2 ? 1 : 0));
    return p;
}

int DayOfWeek(int year, int month, int day) {
    // 1970-01-01 was a Thursday.
    int64_t w = (DaysFromEpoch1970(year, month, day) + 4) % 7;
    return static_cast<int>(w < 0 ? w + 7 : w);
}

} // namespace v270::mysql
