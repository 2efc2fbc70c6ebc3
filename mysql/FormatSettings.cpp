#include "FormatSettings.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <charconv>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace v270::mysql {

namespace digits {
// Made at compile time: no start-up order to mind.
constinit const std::array<char, 200> kPairs = [] {
    std::array<char, 200> t{};
    for (int i = 0; i < 100; ++i) {
        t[2 * i] = static_cast<char>('0' + i / 10);
        t[2 * i + 1] = static_cast<char>('0' + i % 10);
    }
    return t;
}();

size_t PutLong(char* p, uint64_t value) {
    size_t n = 10;
    for (uint64_t rest = value / 10000000000; rest != 0; rest /= 10)
        ++n;
    char* end = p + n;
    while (value >= 100) {
        end -= 2;
        PutPair(end, static_cast<unsigned>(value % 100));
        value /= 100;
    }
    if (value >= 10)
        PutPair(end - 2, static_cast<unsigned>(value));
    else
        end[-1] = static_cast<char>('0' + value);
    return n;
}
} // namespace digits

FormatSettings& formatSettings() {
    static FormatSettings settings;
    return settings;
}

namespace {

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

// What a step writes after its text.
enum Form : uint8_t {
    kTextOnly,
    kTwoDigits,
    kFourDigits,
    kDigits, // any other width
    kYearOfCentury,
    kShortDayName,
    kLongDayName,
    kShortMonthName,
    kLongMonthName,
};

// A step writes at most its text and "-2147483648" (a name goes in apart).
constexpr size_t kStepRoom = 8 + 11;
// Steps written into the room taken at once: well within a builder.
constexpr size_t kChunkSteps = 16;

// Where the names of each kind begin in DateFormat::names_.
constexpr size_t kNameBase[] = {0, 7, 14, 26};

// The formats of the settings a format can name: "ddddd", "dddddd", "t",
// "tt" and "c" take them in.
const std::string& namedFormat(const FormatSettings& fs, int i) {
    switch (i) {
    case 0:
        return fs.ShortDateFormat;
    case 1:
        return fs.LongDateFormat;
    case 2:
        return fs.ShortTimeFormat;
    default:
        return fs.LongTimeFormat;
    }
}

// value left-filled with zeros to width digits, a minus sign first, at p;
// returns the end. At most 11 bytes: width is 4 at most.
char* putNumber(char* p, int value, unsigned width) {
    if (value < 0) *p++ = '-';
    char text[20];
    const size_t n = digits::Put(text, value < 0 ? 0 - static_cast<uint64_t>(value)
                                                 : static_cast<uint64_t>(value));
    for (size_t pad = n; pad < width; ++pad)
        *p++ = '0';
    std::memcpy(p, text, n);
    return p + n;
}

} // namespace

// Takes a format apart into a DateFormat's steps.
class DateFormatCompiler {
  public:
    DateFormatCompiler(DateFormat& target, const FormatSettings& fs) : out_(target), fs_(fs) {
        // Room for the usual formats, "c" among them, at once.
        out_.steps_.reserve(kChunkSteps);
    }

    void compile(std::string_view f, int depth);
    // The text after the last field.
    void finish() {
        while (!pending_.empty())
            addStep(kTextOnly, 0);
    }

  private:
    void addText(std::string_view text) { pending_.append(text); }
    void addNamed(int i, int depth) { compile(namedFormat(fs_, i), depth + 1); }
    // The number at offset in DateTimeParts, at least width digits.
    void addNumber(size_t offset, unsigned width, Form form = kDigits) {
        if (form == kDigits && width == 2) form = kTwoDigits;
        if (form == kDigits && width == 4) form = kFourDigits;
        addStep(form, static_cast<uint8_t>(offset), width);
    }
    void addName(Form form);
    // The pending text, 8 bytes at a time, and what follows it.
    void addStep(Form form, uint8_t valueOffset, unsigned width = 0);
    void addLetters(char lc, size_t n, std::string_view run, bool afterHour, int depth);

    DateFormat& out_;
    const FormatSettings& fs_;
    std::string pending_;
};

void DateFormatCompiler::addStep(Form form, uint8_t valueOffset, unsigned width) {
    DateFormat::Step step;
    while (pending_.size() > sizeof step.text) {
        std::memcpy(step.text, pending_.data(), sizeof step.text);
        step.textLength = sizeof step.text;
        out_.steps_.push_back(step);
        pending_.erase(0, sizeof step.text);
    }
    std::memcpy(step.text, pending_.data(), pending_.size());
    step.textLength = static_cast<uint8_t>(pending_.size());
    step.form = form;
    step.valueOffset = valueOffset;
    step.width = static_cast<uint8_t>(width);
    out_.steps_.push_back(step);
    pending_.clear();
}

void DateFormatCompiler::addName(Form form) {
    addStep(form, 0);
    if (!out_.names_.empty()) return;
    const auto add = [&](const auto& names) {
        out_.names_.insert(out_.names_.end(), names.begin(), names.end());
    };
    add(fs_.ShortDayNames);
    add(fs_.LongDayNames);
    add(fs_.ShortMonthNames);
    add(fs_.LongMonthNames);
}

void DateFormatCompiler::compile(std::string_view f, int depth) {
    // Formats that name other formats must not loop through each other.
    if (depth > 2) return;
    bool afterHour = false;
    size_t i = 0;
    while (i < f.size()) {
        char c = f[i];
        if (c == '\'' || c == '"') {
            size_t end = f.find(c, i + 1);
            if (end == std::string_view::npos) end = f.size();
            addText(f.substr(i + 1, end - i - 1));
            i = end + 1;
            continue;
        }
        if (c == '/' || c == ':') {
            pending_ += c == '/' ? fs_.DateSeparator : fs_.TimeSeparator;
            ++i;
            continue;
        }
        char lc = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        size_t n = 1;
        while (i + n < f.size() && std::tolower(static_cast<unsigned char>(f[i + n])) == lc)
            ++n;
        addLetters(lc, n, f.substr(i, n), afterHour, depth);
        if (std::isalpha(static_cast<unsigned char>(c))) afterHour = lc == 'h';
        i += n;
    }
}

// A run of n of the letter lc (or of any other byte, as text).
void DateFormatCompiler::addLetters(char lc, size_t n, std::string_view run, bool afterHour,
                                    int depth) {
    const unsigned width = n >= 2 ? 2 : 1;
    switch (lc) {
    case 'd':
        if (n <= 2)
            addNumber(offsetof(DateTimeParts, day), width);
        else if (n <= 4)
            addName(n == 3 ? kShortDayName : kLongDayName);
        else
            addNamed(n == 5 ? 0 : 1, depth);
        break;
    case 'm':
        if (n > 2)
            addName(n == 3 ? kShortMonthName : kLongMonthName);
        else
            addNumber(afterHour ? offsetof(DateTimeParts, minute) : offsetof(DateTimeParts, month),
                      width);
        break;
    case 'y':
        if (n <= 2)
            addNumber(offsetof(DateTimeParts, year), 2, kYearOfCentury);
        else
            addNumber(offsetof(DateTimeParts, year), 4);
        break;
    case 'h':
        addNumber(offsetof(DateTimeParts, hour), width);
        break;
    case 'n':
        addNumber(offsetof(DateTimeParts, minute), width);
        break;
    case 's':
        addNumber(offsetof(DateTimeParts, second), width);
        break;
    case 'z':
        addNumber(offsetof(DateTimeParts, millisecond), n >= 3 ? 3 : 1);
        break;
    case 'c':
        addNamed(0, depth);
        addText(" ");
        addNamed(3, depth);
        break;
    case 't':
        addNamed(n == 1 ? 2 : 3, depth);
        break;
    default:
        addText(run);
        break;
    }
}

DateFormat::DateFormat(std::string_view format, const FormatSettings& settings) : source_(format) {
    DateFormatCompiler compiler(*this, settings);
    compiler.compile(format, 0);
    compiler.finish();
}

void DateFormat::appendTo(TextBuilder& out, const DateTimeParts& v) const {
    const Step* s = steps_.data();
    const Step* const end = s + steps_.size();
    while (s != end) {
        const Step* const last = static_cast<size_t>(end - s) > kChunkSteps ? s + kChunkSteps : end;
        char* start = out.Reserve(kChunkSteps * kStepRoom);
        char* p = start;
        for (; s != last; ++s) {
            std::memcpy(p, s->text, sizeof s->text);
            p += s->textLength;
            int value;
            std::memcpy(&value, reinterpret_cast<const char*>(&v) + s->valueOffset, sizeof value);
            const unsigned u = static_cast<unsigned>(value);
            // The usual fields first, without a call.
            if (s->form == kTwoDigits && u < 100) {
                digits::PutPair(p, u);
                p += 2;
            } else if (s->form == kFourDigits && u < 10000) {
                digits::PutPair(p, u / 100);
                digits::PutPair(p + 2, u % 100);
                p += 4;
            } else if (s->form != kTextOnly) {
                p = putField(out, start, p, *s, v);
            }
        }
        out.Commit(static_cast<size_t>(p - start));
    }
}

char* DateFormat::putField(TextBuilder& out, char*& start, char* p, const Step& s,
                           const DateTimeParts& v) const {
    int value;
    std::memcpy(&value, reinterpret_cast<const char*>(&v) + s.valueOffset, sizeof value);
    if (s.form < kShortDayName)
        return putNumber(p, s.form == kYearOfCentury ? value % 100 : value, s.width);
    // A name goes in on its own, and the room is taken anew.
    out.Commit(static_cast<size_t>(p - start));
    const bool days = s.form <= kLongDayName;
    const int index = days ? DayOfWeek(v.year, v.month, v.day) : v.month - 1;
    if (days || (v.month >= 1 && v.month <= 12))
        out.Put(names_[kNameBase[s.form - kShortDayName] + static_cast<size_t>(index)]);
    return start = out.Reserve(kChunkSteps * kStepRoom);
}

void TextBuilder::FlushFull() {
    Flush();
}

void TextBuilder::PutLong(std::string_view s) {
    Flush();
    if (s.size() > sizeof buf_) {
        out_.append(s.data(), s.size());
        return;
    }
    std::memcpy(buf_, s.data(), s.size());
    n_ = s.size();
}

void TextBuilder::Number(int64_t value, int width) {
    if (value >= 0 && value < 100 && width <= 2 && n_ + 2 <= sizeof buf_) {
        if (value >= 10 || width == 2) {
            digits::PutPair(buf_ + n_, static_cast<unsigned>(value));
            n_ += 2;
        } else {
            buf_[n_++] = static_cast<char>('0' + value);
        }
        return;
    }
    char digits[24];
    uint64_t v = value < 0 ? 0 - static_cast<uint64_t>(value) : static_cast<uint64_t>(value);
    char* end = std::to_chars(digits, digits + sizeof digits, v).ptr;
    if (value < 0) Put('-');
    for (int pad = width - static_cast<int>(end - digits); pad > 0; --pad)
        Put('0');
    Put(std::string_view(digits, static_cast<size_t>(end - digits)));
}

// Out of line: the callers, once for each value, stay small.
[[gnu::noinline]] const DateFormat&
TextBuilder::takeApart(KeptFormat& kept, std::string_view format, const FormatSettings& settings) {
    kept.format.emplace(format, settings);
    kept.settings = &settings;
    return *kept.format;
}

void TextBuilder::DateTime(std::string_view format, const DateTimeParts& value,
                           const FormatSettings& settings) {
    keptFormat(other_, format, settings, true).appendTo(*this, value);
}

void TextBuilder::Date(const DateTimeParts& value, const FormatSettings& settings) {
    keptFormat(date_, settings.ShortDateFormat, settings).appendTo(*this, value);
}

void TextBuilder::DateAndTime(const DateTimeParts& value, const FormatSettings& settings) {
    keptFormat(dateAndTime_, "c", settings).appendTo(*this, value);
}

void TextBuilder::TimeSpan(int64_t microseconds, const FormatSettings& settings) {
    uint64_t us = microseconds < 0 ? 0 - static_cast<uint64_t>(microseconds)
                                   : static_cast<uint64_t>(microseconds);
    uint64_t seconds = us / 1000000;
    if (microseconds < 0) Put('-');
    Number(static_cast<int64_t>(seconds / 3600), 2);
    Put(settings.TimeSeparator);
    Number(static_cast<int64_t>(seconds / 60 % 60), 2);
    Put(settings.TimeSeparator);
    Number(static_cast<int64_t>(seconds % 60), 2);
}

void TextBuilder::Float(double value, const FormatSettings& settings) {
    char buf[64];
    char* end = std::to_chars(buf, buf + sizeof buf, value, std::chars_format::general, 15).ptr;
    for (char* p = buf; p != end; ++p) {
        if (*p == '.')
            *p = settings.DecimalSeparator;
        else if (*p >= 'a' && *p <= 'z') // e, inf, nan
            *p = static_cast<char>(*p - 'a' + 'A');
    }
    Put(std::string_view(buf, static_cast<size_t>(end - buf)));
}

void AppendDateTime(std::string& out, std::string_view format, const DateTimeParts& value,
                    const FormatSettings& settings) {
    TextBuilder(out).DateTime(format, value, settings);
}

void AppendDate(std::string& out, const DateTimeParts& value, const FormatSettings& settings) {
    TextBuilder(out).Date(value, settings);
}

void AppendDateAndTime(std::string& out, const DateTimeParts& value,
                       const FormatSettings& settings) {
    TextBuilder(out).DateAndTime(value, settings);
}

void AppendTimeSpan(std::string& out, int64_t microseconds, const FormatSettings& settings) {
    TextBuilder(out).TimeSpan(microseconds, settings);
}

void AppendFloat(std::string& out, double value, const FormatSettings& settings) {
    TextBuilder(out).Float(value, settings);
}

void AppendUnsigned(std::string& out, uint64_t value) {
    TextBuilder(out).Unsigned(value);
}

void AppendInteger(std::string& out, int64_t value) {
    TextBuilder(out).Integer(value);
}

std::string FormatDateTime(std::string_view format, const DateTimeParts& value,
                           const FormatSettings& settings) {
    std::string out;
    AppendDateTime(out, format, value, settings);
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
    AppendTimeSpan(out, microseconds, settings);
    return out;
}

std::string FormatFloat(double value, const FormatSettings& settings) {
    std::string out;
    AppendFloat(out, value, settings);
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
