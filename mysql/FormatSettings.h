#pragma once
// The process-wide date, time and number formats, and the functions that
// turn values into text by them. Start-up fills the one instance before any
// other thread runs; everything else only reads it. The defaults are the
// Turkish ones, so code that runs without the application (v270-mysql, the
// tests) writes the same texts.

#include "ByteCopy.h"

#include <array>
#include <cstdint>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace v270::mysql {

struct FormatSettings {
    // Format letters, case-insensitive: d dd ddd dddd (day, day names),
    // m mm mmm mmmm (month, month names; minutes right after an hour),
    // yy yyyy, h hh, n nn (minutes), s ss, z zzz (milliseconds), c (short
    // date and long time), "/" the date separator, ":" the time separator,
    // text in '...' or "..." as it stands.
    std::string ShortDateFormat = "dd.mm.yyyy";
    std::string LongDateFormat = "dddd, dd mmmm yyyy";
    std::string ShortTimeFormat = "hh:nn";
    std::string LongTimeFormat = "hh:nn:ss";
    char DateSeparator = '.';
    char TimeSeparator = ':';
    char DecimalSeparator = ',';
    // UTF-8. Months from January, days from Sunday.
    std::array<std::string, 12> ShortMonthNames = {"Oca", "Şub", "Mar", "Nis", "May", "Haz",
                                                   "Tem", "Ağu", "Eyl", "Eki", "Kas", "Ara"};
    std::array<std::string, 12> LongMonthNames = {"Ocak",  "Şubat",   "Mart",   "Nisan",
                                                  "Mayıs", "Haziran", "Temmuz", "Ağustos",
                                                  "Eylül", "Ekim",    "Kasım",  "Aralık"};
    std::array<std::string, 7> ShortDayNames = {"Paz", "Pzt", "Sal", "Çar", "Per", "Cum", "Cmt"};
    std::array<std::string, 7> LongDayNames = {"Pazar",    "Pazartesi", "Salı",     "Çarşamba",
                                               "Perşembe", "Cuma",      "Cumartesi"};
};

// The one instance of the process.
FormatSettings& formatSettings();

// Decimal digits written in place, two at a time.
namespace digits {
// "00" to "99".
extern const std::array<char, 200> kPairs;
inline void PutPair(char* p, unsigned value) {
    std::memcpy(p, &kPairs[2 * value], 2);
}
// The digits of a value of more than 32 bits at p; returns how many.
size_t PutLong(char* p, uint64_t value);
// The digits of value at p; returns how many (1 to 20). Values of 32 bits,
// nearly all of them, take the cheaper 32-bit arithmetic.
inline size_t Put(char* p, uint64_t value) {
    if (value < 100) {
        if (value < 10) {
            *p = static_cast<char>('0' + value);
            return 1;
        }
        PutPair(p, static_cast<unsigned>(value));
        return 2;
    }
    if (value > UINT32_MAX) return PutLong(p, value);
    uint32_t v = static_cast<uint32_t>(value);
    const size_t n = v < 1000         ? 3
                     : v < 10000      ? 4
                     : v < 100000     ? 5
                     : v < 1000000    ? 6
                     : v < 10000000   ? 7
                     : v < 100000000  ? 8
                     : v < 1000000000 ? 9
                                      : 10;
    char* end = p + n;
    while (v >= 100) {
        end -= 2;
        PutPair(end, v % 100);
        v /= 100;
    }
    if (v >= 10)
        PutPair(end - 2, v);
    else
        end[-1] = static_cast<char>('0' + v);
    return n;
}
} // namespace digits

// A calendar date and a time of day. Fractions of a second beyond
// milliseconds are not kept: texts cut them, they never round up.
struct DateTimeParts {
    int year = 1;
    int month = 1;
    int day = 1;
    int hour = 0;
    int minute = 0;
    int second = 0;
    int millisecond = 0;
};

class TextBuilder;

// A date format taken apart once, the separators and names of its settings
// written in: texts of many values by one format cost little each.
class DateFormat {
  public:
    DateFormat(std::string_view format, const FormatSettings& settings);
    // The format it was made from.
    const std::string& source() const { return source_; }
    void appendTo(TextBuilder& out, const DateTimeParts& value) const;

  private:
    // Up to 8 bytes of text, then one field: a number of DateTimeParts
    // (the one at byte valueOffset) or a name.
    struct Step {
        char text[8] = {};
        uint8_t textLength = 0;
        uint8_t form = 0;
        uint8_t valueOffset = 0;
        uint8_t width = 0;
    };
    friend class DateFormatCompiler;
    // A field but the usual ones: start is where the room taken begins.
    char* putField(TextBuilder& out, char*& start, char* p, const Step& step,
                   const DateTimeParts& value) const;

    std::string source_;
    std::vector<Step> steps_;
    // Day names short and long, then month names short and long, when the
    // format has names.
    std::vector<std::string> names_;
};

// The text of a date and time by a format of the letters above.
std::string FormatDateTime(std::string_view format, const DateTimeParts& value,
                           const FormatSettings& settings = formatSettings());
// Texts put together in a buffer of their own and added to a string in one
// piece (when the builder ends, or on Flush): a row of many small values
// costs one append. The texts are those of the functions below. A builder
// takes each date format apart once and keeps it: the settings it is given
// must not change while it lives (they don't: start-up sets them).
class TextBuilder {
  public:
    explicit TextBuilder(std::string& out) : out_(out) {}
    ~TextBuilder() { Flush(); }
    TextBuilder(const TextBuilder&) = delete;
    TextBuilder& operator=(const TextBuilder&) = delete;

    void Flush() {
        out_.append(buf_, n_);
        n_ = 0;
    }
    void Put(char c) {
        if (n_ == sizeof buf_) FlushFull();
        buf_[n_++] = c;
    }
    void Put(std::string_view s) {
        if (s.size() > sizeof buf_ - n_) return PutLong(s);
        copyBytes(buf_ + n_, s.data(), s.size());
        n_ += s.size();
    }
    // Room for n bytes to be written and then committed; null when the
    // buffer cannot hold that many.
    char* Reserve(size_t n) {
        if (n > sizeof buf_ - n_) {
            FlushFull();
            if (n > sizeof buf_) return nullptr;
        }
        return buf_ + n_;
    }
    void Commit(size_t n) { n_ += n; }
    // value left-filled with zeros to width digits; a minus sign first.
    void Number(int64_t value, int width);
    void Integer(int64_t value) {
        char* p = Reserve(21); // the buffer always has room for that
        const bool negative = value < 0;
        *p = '-';
        n_ += negative + digits::Put(p + negative, negative ? 0 - static_cast<uint64_t>(value)
                                                            : static_cast<uint64_t>(value));
    }
    void Unsigned(uint64_t value) { n_ += digits::Put(Reserve(20), value); }
    void DateTime(std::string_view format, const DateTimeParts& value,
                  const FormatSettings& settings = formatSettings());
    void Date(const DateTimeParts& value, const FormatSettings& settings = formatSettings());
    void DateAndTime(const DateTimeParts& value, const FormatSettings& settings = formatSettings());
    void TimeSpan(int64_t microseconds, const FormatSettings& settings = formatSettings());
    void Float(double value, const FormatSettings& settings = formatSettings());

  private:
    void FlushFull(); // out of line: Put stays small
    void PutLong(std::string_view s);

    // A format this builder took apart, and the settings it was made by.
    struct KeptFormat {
        const FormatSettings* settings = nullptr;
        std::optional<DateFormat> format;
    };
    // The format kept, taken apart anew for other settings (or, when
    // asked, another format).
    const DateFormat& keptFormat(KeptFormat& kept, std::string_view format,
                                 const FormatSettings& settings, bool compareFormat = false) {
        if (kept.format && kept.settings == &settings &&
            (!compareFormat || kept.format->source() == format))
            return *kept.format;
        return takeApart(kept, format, settings);
    }
    const DateFormat& takeApart(KeptFormat& kept, std::string_view format,
                                const FormatSettings& settings);

    std::string& out_;
    // The short date format, "c", and the last other format.
    KeptFormat date_, dateAndTime_, other_;
    size_t n_ = 0;
    char buf_[512];
};

// The Append forms add the same texts to out, without a string of their own.
void AppendDateTime(std::string& out, std::string_view format, const DateTimeParts& value,
                    const FormatSettings& settings = formatSettings());
void AppendDate(std::string& out, const DateTimeParts& value,
                const FormatSettings& settings = formatSettings());
void AppendDateAndTime(std::string& out, const DateTimeParts& value,
                       const FormatSettings& settings = formatSettings());
void AppendTimeSpan(std::string& out, int64_t microseconds,
                    const FormatSettings& settings = formatSettings());
void AppendFloat(std::string& out, double value, const FormatSettings& settings = formatSettings());
// Decimal digits, with a minus sign for a negative value.
void AppendInteger(std::string& out, int64_t value);
void AppendUnsigned(std::string& out, uint64_t value);
// By the short date format: "29.02.2024".
std::string FormatDate(const DateTimeParts& value,
                       const FormatSettings& settings = formatSettings());
// Short date, a blank, long time: "02.01.2024 03:04:05".
std::string FormatDateAndTime(const DateTimeParts& value,
                              const FormatSettings& settings = formatSettings());
// A signed span of time, hours not wrapped at 24 and at least two digits:
// "-838:59:59", "08:05:00". Fractions of a second are cut.
std::string FormatTimeSpan(int64_t microseconds, const FormatSettings& settings = formatSettings());
// printf's "%.15G" with the decimal separator for the point: "1,5", "3,4E+38".
std::string FormatFloat(double value, const FormatSettings& settings = formatSettings());

// Calendar: dates as a day count from 1899-12-30, the day count this
// system's dates have always used (0001-01-01 is -693593).
bool IsValidDate(int year, int month, int day);
int64_t DaysFromDate(int year, int month, int day);
DateTimeParts DateFromDays(int64_t days);
// Day of the week, 0 for Sunday.
int DayOfWeek(int year, int month, int day);

} // namespace v270::mysql
