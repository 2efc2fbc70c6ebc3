#include "FormatSettings.h"

#include <array>
#include <cctype>
#include <charconv>
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

uint64_t Load8(const char* p) {
    uint64_t v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

uint32_t Load4(const char* p) {
    uint32_t v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

// Formats are a few bytes long: words compared in place cost less than a
// call of memcmp.
bool SameText(std::string_view a, std::string_view b) {
    const size_t n = a.size();
    if (n != b.size()) return false;
    const char* p = a.data();
    const char* q = b.data();
    if (n > 16) return std::memcmp(p, q, n) == 0;
    if (n >= 8) return Load8(p) == Load8(q) && Load8(p + n - 8) == Load8(q + n - 8);
    if (n >= 4) return Load4(p) == Load4(q) && Load4(p + n - 4) == Load4(q + n - 4);
    for (size_t i = 0; i < n; ++i)
        if (p[i] != q[i]) return false;
    return true;
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

// A format taken apart: runs of text and the fields between them.
enum class Part : uint8_t {
    Text,
    DateSeparator,
    TimeSeparator,
    Day,
    Month,
    Year2,
    Year,
    Hour,
    Minute,
    Second,
    Millisecond,
    ShortDayName,
    LongDayName,
    ShortMonthName,
    LongMonthName,
};

struct Op {
    Part part;
    uint8_t width = 0;   // digits at least
    uint32_t offset = 0; // Text: its bytes in the pool
    uint32_t length = 0;
};

// The formats of the settings a format can name: "ddddd", "dddddd", "t",
// "tt" and "c" take them in.
constexpr int kNamedFormats = 4;
const std::string& NamedFormat(const FormatSettings& fs, int i) {
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

struct CompiledFormat {
    bool valid = false;
    // Set anew each time the entry is compiled, never 0: tells builders
    // that kept it whether it still holds the format they found in it.
    uint64_t serial = 0;
    std::string format;
    char dateSeparator = 0;
    char timeSeparator = 0;
    // Every field of a fixed width (dd.mm.yyyy hh:nn:ss and the like): the
    // text is the template with the digits written into it.
    bool fixed = false;
    std::string templ;
    // A run of digits in the template: which of the values of RunFixed,
    // and whether one digit or two.
    struct Slot {
        uint16_t position;
        uint8_t value;
        uint8_t digits;
    };
    std::array<Slot, 24> slots;
    uint8_t slotCount = 0;
    bool milliseconds = false;
    // A short template that has each value once at most is filled without
    // the slots: its first kHead bytes copied as one block, then every value
    // written to its place, where a value the format lacks goes to the
    // bytes just past the text (written, never committed).
    static constexpr size_t kHead = 32;
    bool direct = false;
    std::array<char, kHead> head{};
    std::array<uint16_t, 9> at{};
    // The named formats it took in (bit i of uses) as they were then.
    uint8_t uses = 0;
    std::array<std::string, kNamedFormats> named;
    std::string pool;
    std::vector<Op> ops;

    void AddText(std::string_view text) {
        if (text.empty()) return;
        if (!ops.empty() && ops.back().part == Part::Text &&
            ops.back().offset + ops.back().length == pool.size()) {
            ops.back().length += static_cast<uint32_t>(text.size());
        } else {
            ops.push_back({Part::Text, 0, static_cast<uint32_t>(pool.size()),
                           static_cast<uint32_t>(text.size())});
        }
        pool.append(text);
    }
    void Add(Part part, int width = 0) { ops.push_back({part, static_cast<uint8_t>(width)}); }
    void AddNamed(const FormatSettings& fs, int i, int depth);
    void Compile(std::string_view f, const FormatSettings& fs, int depth);
    void MakeTemplate();
    bool Matches(std::string_view f, const FormatSettings& fs) const {
        if (!valid || !SameText(format, f)) return false;
        if (fixed && (dateSeparator != fs.DateSeparator || timeSeparator != fs.TimeSeparator))
            return false;
        for (int i = 0; i < kNamedFormats; ++i)
            if ((uses & (1u << i)) && !SameText(named[i], NamedFormat(fs, i))) return false;
        return true;
    }
};

void CompiledFormat::AddNamed(const FormatSettings& fs, int i, int depth) {
    uses |= static_cast<uint8_t>(1u << i);
    Compile(NamedFormat(fs, i), fs, depth + 1);
}

void CompiledFormat::Compile(std::string_view f, const FormatSettings& fs, int depth) {
    // Formats that name other formats must not loop through each other.
    if (depth > 2) return;
    bool afterHour = false;
    size_t i = 0;
    while (i < f.size()) {
        char c = f[i];
        if (c == '\'' || c == '"') {
            size_t end = f.find(c, i + 1);
            if (end == std::string_view::npos) end = f.size();
            AddText(f.substr(i + 1, end - i - 1));
            i = end + 1;
            continue;
        }
        if (c == '/' || c == ':') {
            Add(c == '/' ? Part::DateSeparator : Part::TimeSeparator);
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
                Add(Part::Day, width);
            else if (n == 3)
                Add(Part::ShortDayName);
            else if (n == 4)
                Add(Part::LongDayName);
            else
                AddNamed(fs, n == 5 ? 0 : 1, depth);
            break;
        case 'm':
            if (afterHour && n <= 2)
                Add(Part::Minute, width);
            else if (n <= 2)
                Add(Part::Month, width);
            else
                Add(n == 3 ? Part::ShortMonthName : Part::LongMonthName);
            break;
        case 'y':
            if (n <= 2)
                Add(Part::Year2, 2);
            else
                Add(Part::Year, 4);
            break;
        case 'h':
            Add(Part::Hour, width);
            break;
        case 'n':
            Add(Part::Minute, width);
            break;
        case 's':
            Add(Part::Second, width);
            break;
        case 'z':
            Add(Part::Millisecond, n >= 3 ? 3 : 1);
            break;
        case 'c':
            AddNamed(fs, 0, depth);
            AddText(" ");
            AddNamed(fs, 3, depth);
            break;
        case 't':
            AddNamed(fs, n == 1 ? 2 : 3, depth);
            break;
        default:
            AddText(f.substr(i, n));
            break;
        }
        if (std::isalpha(static_cast<unsigned char>(c))) afterHour = lc == 'h';
        i += n;
    }
}

// Values a template takes, in the order RunFixed lists them.
enum FixedValue : uint8_t {
    kDay,
    kMonth,
    kCentury,
    kYearOfCentury,
    kHour,
    kMinute,
    kSecond,
    kMillisecondHundreds,
    kMillisecondRest,
};

void CompiledFormat::MakeTemplate() {
    fixed = true;
    auto slot = [&](FixedValue value, uint8_t digits) {
        if (slotCount == slots.size()) {
            fixed = false;
            return;
        }
        slots[slotCount++] = {static_cast<uint16_t>(templ.size()), value, digits};
        templ.append(digits, '0');
    };
    for (const Op& op : ops) {
        switch (op.part) {
        case Part::Text:
            templ.append(pool, op.offset, op.length);
            break;
        case Part::DateSeparator:
            templ += dateSeparator;
            break;
        case Part::TimeSeparator:
            templ += timeSeparator;
            break;
        case Part::Year:
            slot(kCentury, 2);
            slot(kYearOfCentury, 2);
            break;
        case Part::Year2:
            slot(kYearOfCentury, 2);
            break;
        case Part::Millisecond:
            fixed = op.width == 3;
            milliseconds = true;
            slot(kMillisecondHundreds, 1);
            slot(kMillisecondRest, 2);
            break;
        case Part::Day:
        case Part::Month:
        case Part::Hour:
        case Part::Minute:
        case Part::Second:
            fixed = op.width == 2;
            slot(op.part == Part::Day      ? kDay
                 : op.part == Part::Month  ? kMonth
                 : op.part == Part::Hour   ? kHour
                 : op.part == Part::Minute ? kMinute
                                           : kSecond,
                 2);
            break;
        default: // names: no fixed width
            fixed = false;
            break;
        }
        if (!fixed || templ.size() > 0xFFFF) {
            fixed = false;
            templ.clear();
            slotCount = 0;
            return;
        }
    }
    if (templ.size() > kHead) return;
    at.fill(static_cast<uint16_t>(templ.size()));
    std::array<bool, 9> seen{};
    for (size_t i = 0; i < slotCount; ++i) {
        if (seen[slots[i].value]) return;
        seen[slots[i].value] = true;
        at[slots[i].value] = slots[i].position;
    }
    std::memcpy(head.data(), templ.data(), templ.size());
    direct = true;
}

// The formats taken apart on this thread.
constexpr size_t kCompiledFormats = 4;
std::array<CompiledFormat, kCompiledFormats>& compiledFormats() {
    thread_local std::array<CompiledFormat, kCompiledFormats> cache;
    return cache;
}

// The entry of compiledFormats() with the format under the settings, made
// on first use.
size_t CompiledEntry(std::string_view format, const FormatSettings& fs) {
    std::array<CompiledFormat, kCompiledFormats>& cache = compiledFormats();
    thread_local size_t next = 0;
    thread_local size_t last = 0;
    thread_local uint64_t serials = 0;
    // A column's values come one after another: its format is the last one.
    if (cache[last].Matches(format, fs)) return last;
    for (size_t i = 0; i < cache.size(); ++i) {
        if (cache[i].Matches(format, fs)) {
            last = i;
            return i;
        }
    }
    last = next++ % cache.size();
    CompiledFormat& c = cache[last];
    c = CompiledFormat();
    c.serial = ++serials;
    c.format = format;
    c.Compile(format, fs, 0);
    for (int i = 0; i < kNamedFormats; ++i)
        if (c.uses & (1u << i)) c.named[i] = NamedFormat(fs, i);
    c.dateSeparator = fs.DateSeparator;
    c.timeSeparator = fs.TimeSeparator;
    c.MakeTemplate();
    c.valid = true;
    return last;
}

bool FitsTemplate(const DateTimeParts& v) {
    return static_cast<unsigned>(v.year) <= 9999 && static_cast<unsigned>(v.month) <= 99 &&
           static_cast<unsigned>(v.day) <= 99 && static_cast<unsigned>(v.hour) <= 99 &&
           static_cast<unsigned>(v.minute) <= 99 && static_cast<unsigned>(v.second) <= 99 &&
           static_cast<unsigned>(v.millisecond) <= 999;
}

// Fills a direct template; false when it is not one or a value does not
// fit its digits. Small enough to sit in its callers.
[[gnu::always_inline]] inline bool FillDirect(const CompiledFormat& c, TextBuilder& b,
                                              const DateTimeParts& v) {
    const auto u = [](int value) { return static_cast<unsigned>(value); };
    if (!c.direct || u(v.year) > 9999 || u(v.month) > 99 || u(v.day) > 99 || u(v.hour) > 99 ||
        u(v.minute) > 99 || u(v.second) > 99 || (c.milliseconds && u(v.millisecond) > 999))
        return false;
    char* p = b.Reserve(CompiledFormat::kHead + 2);
    std::memcpy(p, c.head.data(), CompiledFormat::kHead);
    const unsigned century = u(v.year) / 100;
    digits::PutPair(p + c.at[kDay], u(v.day));
    digits::PutPair(p + c.at[kMonth], u(v.month));
    digits::PutPair(p + c.at[kCentury], century);
    digits::PutPair(p + c.at[kYearOfCentury], u(v.year) - century * 100);
    digits::PutPair(p + c.at[kHour], u(v.hour));
    digits::PutPair(p + c.at[kMinute], u(v.minute));
    digits::PutPair(p + c.at[kSecond], u(v.second));
    if (c.milliseconds) {
        p[c.at[kMillisecondHundreds]] = static_cast<char>('0' + u(v.millisecond) / 100);
        digits::PutPair(p + c.at[kMillisecondRest], u(v.millisecond) % 100);
    }
    b.Commit(c.templ.size());
    return true;
}

// Fills the template; false when a value does not fit its digits.
bool RunFixed(const CompiledFormat& c, TextBuilder& b, const DateTimeParts& v) {
    if (FillDirect(c, b, v)) return true;
    if (!FitsTemplate(v)) return false;
    char* p = b.Reserve(c.templ.size());
    if (!p) return false;
    int values[] = {v.day, v.month, v.year / 100, v.year % 100, v.hour, v.minute, v.second, 0, 0};
    if (c.milliseconds) {
        values[kMillisecondHundreds] = v.millisecond / 100;
        values[kMillisecondRest] = v.millisecond % 100;
    }
    std::memcpy(p, c.templ.data(), c.templ.size());
    for (size_t i = 0; i < c.slotCount; ++i) {
        const CompiledFormat::Slot& s = c.slots[i];
        if (s.digits == 2)
            digits::PutPair(p + s.position, static_cast<unsigned>(values[s.value]));
        else
            p[s.position] = static_cast<char>('0' + values[s.value]);
    }
    b.Commit(c.templ.size());
    return true;
}

void Run(const CompiledFormat& c, TextBuilder& b, const DateTimeParts& v,
         const FormatSettings& fs) {
    if (c.fixed && RunFixed(c, b, v)) return;
    for (const Op& op : c.ops) {
        switch (op.part) {
        case Part::Text:
            b.Put(std::string_view(c.pool.data() + op.offset, op.length));
            break;
        case Part::DateSeparator:
            b.Put(fs.DateSeparator);
            break;
        case Part::TimeSeparator:
            b.Put(fs.TimeSeparator);
            break;
        case Part::Day:
            b.Number(v.day, op.width);
            break;
        case Part::Month:
            b.Number(v.month, op.width);
            break;
        case Part::Year2:
            b.Number(v.year % 100, 2);
            break;
        case Part::Year:
            b.Number(v.year, 4);
            break;
        case Part::Hour:
            b.Number(v.hour, op.width);
            break;
        case Part::Minute:
            b.Number(v.minute, op.width);
            break;
        case Part::Second:
            b.Number(v.second, op.width);
            break;
        case Part::Millisecond:
            b.Number(v.millisecond, op.width);
            break;
        case Part::ShortDayName:
        case Part::LongDayName:
            b.Put((op.part == Part::ShortDayName
                       ? fs.ShortDayNames
                       : fs.LongDayNames)[DayOfWeek(v.year, v.month, v.day)]);
            break;
        case Part::ShortMonthName:
        case Part::LongMonthName:
            if (v.month >= 1 && v.month <= 12)
                b.Put((op.part == Part::ShortMonthName ? fs.ShortMonthNames
                                                       : fs.LongMonthNames)[v.month - 1]);
            break;
        }
    }
}

} // namespace

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

size_t TextBuilder::FormatEntry(std::string_view format, const FormatSettings& settings) {
    static_assert(kKeptFormats == kCompiledFormats);
    const std::array<CompiledFormat, kCompiledFormats>& cache = compiledFormats();
    for (size_t k = 0, i = lastKept_; k < kKeptFormats; ++k, i = (i + 1) % kKeptFormats) {
        if (keptSerial_[i] == cache[i].serial && keptSettings_[i] == &settings &&
            SameText(cache[i].format, format)) {
            lastKept_ = i;
            return i;
        }
    }
    const size_t i = CompiledEntry(format, settings);
    keptSerial_[i] = cache[i].serial;
    keptSettings_[i] = &settings;
    lastKept_ = i;
    return i;
}

void TextBuilder::DateTime(std::string_view format, const DateTimeParts& value,
                           const FormatSettings& settings) {
    Run(compiledFormats()[FormatEntry(format, settings)], *this, value, settings);
}

// The short date format and "c" are the same texts while the builder lives:
// their entries are kept apart from the others, and known by the serial alone.
void TextBuilder::Date(const DateTimeParts& value, const FormatSettings& settings) {
    const std::array<CompiledFormat, kCompiledFormats>& cache = compiledFormats();
    if (date_.settings != &settings || cache[date_.entry].serial != date_.serial) {
        date_.entry = FormatEntry(settings.ShortDateFormat, settings);
        date_.serial = cache[date_.entry].serial;
        date_.settings = &settings;
    }
    const CompiledFormat& c = cache[date_.entry];
    if (!FillDirect(c, *this, value)) Run(c, *this, value, settings);
}

void TextBuilder::DateAndTime(const DateTimeParts& value, const FormatSettings& settings) {
    const std::array<CompiledFormat, kCompiledFormats>& cache = compiledFormats();
    if (dateAndTime_.settings != &settings ||
        cache[dateAndTime_.entry].serial != dateAndTime_.serial) {
        dateAndTime_.entry = FormatEntry("c", settings);
        dateAndTime_.serial = cache[dateAndTime_.entry].serial;
        dateAndTime_.settings = &settings;
    }
    const CompiledFormat& c = cache[dateAndTime_.entry];
    if (!FillDirect(c, *this, value)) Run(c, *this, value, settings);
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
    // Dates of a result tend to repeat (a day's records): the last one is kept.
    thread_local bool known = false;
    thread_local int64_t lastDays = 0;
    thread_local DateTimeParts lastDate;
    if (known && days == lastDays) return lastDate;
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
    known = true;
    lastDays = days;
    lastDate = p;
    return p;
}

int DayOfWeek(int year, int month, int day) {
    // 1970-01-01 was a Thursday.
    int64_t w = (DaysFromEpoch1970(year, month, day) + 4) % 7;
    return static_cast<int>(w < 0 ? w + 7 : w);
}

} // namespace v270::mysql
