#include "MySqlRecordSet.h"

#include "FormatSettings.h"
#include "OnFailure.h"

#include <algorithm>
#include <charconv>
#include <limits>
#include <type_traits>

namespace v270::mysql {

namespace {

constexpr int64_t kMicrosPerSecond = 1000000;
constexpr int64_t kMicrosPerDay = 86400 * kMicrosPerSecond;
// 0001-01-01, the value of an impossible date when it is not NULL.
constexpr int32_t kFirstDay = -693593;

// The errors of a value's text, for the caller to throw.
EDatabaseError NotInteger(std::string_view text) {
    return EDatabaseError("'" + std::string(text) + "' is not a valid integer value");
}
EDatabaseError NotFloat(std::string_view text) {
    return EDatabaseError("'" + std::string(text) + "' is not a valid floating point value");
}

bool IsDigit(char c) {
    return c >= '0' && c <= '9';
}

// The number written by count digits at pos, or -1 when they are not all there.
int Digits(std::string_view t, size_t pos, size_t count) {
    if (pos > t.size() || t.size() - pos < count) return -1;
    int v = 0;
    for (size_t i = pos; i < pos + count; ++i) {
        if (!IsDigit(t[i])) return -1;
        v = v * 10 + (t[i] - '0');
    }
    return v;
}

// Up to six fraction digits from pos, as microseconds; further digits are cut.
int64_t Fraction(std::string_view t, size_t pos) {
    int64_t us = 0;
    int64_t scale = 100000;
    for (size_t i = pos; i < t.size() && IsDigit(t[i]); ++i) {
        us += (t[i] - '0') * scale;
        scale /= 10;
    }
    return us;
}

std::optional<int64_t> Encode(int year, int month, int day, int hour, int minute, int second,
                              int64_t micros) {
    if (!IsValidDate(year, month, day) || hour < 0 || hour > 23 || minute < 0 || minute > 59 ||
        second < 0 || second > 59)
        return std::nullopt;
    return DaysFromDate(year, month, day) * kMicrosPerDay +
           ((hour * 60 + minute) * 60 + second) * kMicrosPerSecond + micros;
}

size_t SlotSize(TValueKind k) {
    switch (k) {
    case TValueKind::Int8:
    case TValueKind::UInt8:
    case TValueKind::Boolean:
        return 1;
    case TValueKind::Int16:
    case TValueKind::UInt16:
        return 2;
    case TValueKind::Int32:
    case TValueKind::UInt32:
    case TValueKind::Date:
        return 4;
    case TValueKind::Bytes:
        return sizeof(const char*) + sizeof(uint32_t);
    default:
        return 8;
    }
}

template <class T> void Put(uint8_t* record, const TMySQLFieldDesc& f, T v) {
    std::memcpy(record + f.Offset, &v, sizeof v);
}

// The value of 1 to 19 decimal digits (which always fit); false for any
// other text.
[[gnu::always_inline]] inline bool ShortDigits(const char* p, size_t n, uint64_t& value) {
    if (n - 1 >= 19) return false;
    uint64_t v = 0;
    for (size_t i = 0; i < n; ++i) {
        const unsigned d = static_cast<unsigned char>(p[i]) - unsigned('0');
        if (d > 9) return false;
        v = v * 10 + d;
    }
    value = v;
    return true;
}

// The integer text as a T, which it must fit.
template <class T>
void PutInteger(uint8_t* record, const TMySQLFieldDesc& f, const char* p, size_t n) {
    constexpr bool kSigned = std::is_signed_v<T>;
    constexpr uint64_t kMaxPositive = static_cast<uint64_t>(std::numeric_limits<T>::max());
    constexpr uint64_t kMaxNegative = kSigned ? kMaxPositive + 1 : 0; // magnitude
    uint64_t magnitude = 0;
    bool negative = kSigned && n != 0 && p[0] == '-';
    // The rest (long, empty or wrong texts) by the one parser, which raises.
    if (!ShortDigits(p + negative, n - negative, magnitude))
        values::ParseInteger({p, n}, kSigned, magnitude, negative);
    if (magnitude > (negative ? kMaxNegative : kMaxPositive)) throw NotInteger({p, n});
    Put(record, f, static_cast<T>(negative ? 0 - magnitude : magnitude));
}

} // namespace

// --- conversions -----------------------------------------------------------

namespace values {

void ParseInteger(std::string_view t, bool allowMinus, uint64_t& magnitude, bool& negative) {
    size_t i = 0;
    negative = false;
    if (allowMinus && !t.empty() && t[0] == '-') {
        negative = true;
        i = 1;
    }
    // Up to 19 digits always fit: most values need no more than the loop.
    if (t.size() - i - 1 < 19) {
        uint64_t v = 0;
        for (; i < t.size(); ++i) {
            unsigned d = static_cast<unsigned char>(t[i]) - unsigned('0');
            if (d > 9) throw NotInteger(t);
            v = v * 10 + d;
        }
        magnitude = v;
        return;
    }
    if (i == t.size()) throw NotInteger(t);
    while (i + 1 < t.size() && t[i] == '0') // ZEROFILL columns
        ++i;
    // Fewer than 20 digits always fit; 20 fit up to 18446744073709551615.
    const std::string_view digits = t.substr(i);
    if (digits.size() > 20 || (digits.size() == 20 && digits > "18446744073709551615"))
        throw NotInteger(t);
    uint64_t v = 0;
    for (char c : digits) {
        unsigned d = static_cast<unsigned char>(c) - unsigned('0');
        if (d > 9) throw NotInteger(t);
        v = v * 10 + d;
    }
    magnitude = v;
}

double ParseFloat(std::string_view t) {
    size_t i = 0;
    const size_t n = t.size();
    if (i < n && (t[i] == '+' || t[i] == '-')) ++i;
    size_t digits = 0;
    for (; i < n && IsDigit(t[i]); ++i)
        ++digits;
    if (i < n && t[i] == '.')
        for (++i; i < n && IsDigit(t[i]); ++i)
            ++digits;
    if (digits == 0) throw NotFloat(t);
    if (i < n && (t[i] == 'e' || t[i] == 'E')) {
        ++i;
        if (i < n && (t[i] == '+' || t[i] == '-')) ++i;
        size_t first = i;
        while (i < n && IsDigit(t[i]))
            ++i;
        if (i == first || i != n) throw NotInteger(t);
    }
    if (i != n) throw NotFloat(t);
    // from_chars rounds correctly from every digit and always reads "." as
    // the point; it takes "-" but not "+".
    const char* begin = t.data() + (t[0] == '+' ? 1 : 0);
    double d = 0;
    auto [end, ec] = std::from_chars(begin, t.data() + n, d);
    if (ec != std::errc() || end != t.data() + n) throw NotFloat(t);
    return d;
}

namespace {
// The two digits at p, or -1. Rows hold many dates: the fixed places of
// "YYYY-MM-DD hh:mm:ss" are read without a loop.
int TwoDigits(const char* p) {
    unsigned a = static_cast<unsigned char>(p[0]) - unsigned('0');
    unsigned b = static_cast<unsigned char>(p[1]) - unsigned('0');
    return a > 9 || b > 9 ? -1 : static_cast<int>(a * 10 + b);
}

// The last date text read on this thread, as two words ("YYYY-MM-" and
// "DD", compared without memcmp), and its days.
struct LastDate {
    bool known = false;
    uint64_t head = 0;
    uint16_t tail = 0;
    std::optional<int64_t> days;
};
thread_local LastDate lastDate;

std::optional<int64_t> NewDaysOfDateText(const char* p, uint64_t head, uint16_t tail) {
    int c = TwoDigits(p), y = TwoDigits(p + 2), m = TwoDigits(p + 5), d = TwoDigits(p + 8);
    std::optional<int64_t> days;
    if ((c | y | m | d) >= 0 && IsValidDate(c * 100 + y, m, d))
        days = DaysFromDate(c * 100 + y, m, d);
    lastDate = {true, head, tail, days};
    return days;
}

// Days of the "YYYY-MM-DD" at p, or nothing for an impossible date. A
// result's dates tend to repeat (a day's records): the last one is kept.
[[gnu::always_inline]] inline std::optional<int64_t> DaysOfDateText(const char* p) {
    uint64_t head;
    uint16_t tail;
    std::memcpy(&head, p, sizeof head);
    std::memcpy(&tail, p + 8, sizeof tail);
    const LastDate& last = lastDate;
    if (last.known && head == last.head && tail == last.tail) return last.days;
    return NewDaysOfDateText(p, head, tail);
}

// Microseconds of "YYYY-MM-DD hh:mm:ss[.ffffff]"; also where rows are
// converted, without a call.
[[gnu::always_inline]] inline std::optional<int64_t> DateTimeOfText(std::string_view t) {
    if (t.size() < 19) return std::nullopt;
    const char* p = t.data();
    const int h = TwoDigits(p + 11), mi = TwoDigits(p + 14), s = TwoDigits(p + 17);
    if ((h | mi | s) < 0 || h > 23 || mi > 59 || s > 59) return std::nullopt;
    const std::optional<int64_t> days = DaysOfDateText(p);
    if (!days) return std::nullopt;
    const int64_t us = t.size() > 20 && t[19] == '.' ? Fraction(t, 20) : 0;
    return *days * kMicrosPerDay + ((h * 60 + mi) * 60 + s) * kMicrosPerSecond + us;
}
} // namespace

std::optional<int64_t> ParseDate(std::string_view t) {
    if (t.size() < 10) return std::nullopt;
    return DaysOfDateText(t.data());
}

std::optional<int64_t> ParseDateTime(std::string_view t) {
    return DateTimeOfText(t);
}

std::optional<int64_t> ParseTimestamp(std::string_view t, uint32_t columnLength) {
    if (columnLength >= 19 && columnLength <= 26) return ParseDateTime(t);
    // The old compact forms: YY, YYMM, YYMMDD, YYYYMMDD, YYMMDDhhmm,
    // YYMMDDhhmmss, YYYYMMDDhhmmss.
    if (columnLength < 2 || columnLength > 14 || columnLength % 2 != 0)
        throw EDatabaseError("Invalid FIELD_TYPE_TIMESTAMP Field.Length (" +
                             std::to_string(columnLength) + ")");
    const size_t yearDigits = columnLength == 8 || columnLength == 14 ? 4 : 2;
    size_t pos = 0;
    auto next = [&](size_t count) {
        int v = pos + count <= columnLength ? Digits(t, pos, count) : -2;
        pos += count;
        return v;
    };
    int y = next(yearDigits);
    int parts[5] = {1, 1, 0, 0, 0}; // month, day, hour, minute, second
    for (int& part : parts) {
        int v = next(2);
        if (v == -2) break;
        part = v;
    }
    for (int v : {y, parts[0], parts[1], parts[2], parts[3], parts[4]})
        if (v < 0) return std::nullopt;
    if (yearDigits == 2) y += y < 70 ? 2000 : 1900;
    return Encode(y, parts[0], parts[1], parts[2], parts[3], parts[4], 0);
}

int64_t ParseTime(std::string_view t, const std::string& field) {
    auto wrong = [&]() -> int64_t { throw EDatabaseError("Wrong time format at field " + field); };
    size_t start = !t.empty() && t[0] == '-' ? 1 : 0;
    size_t colon = t.find(':', start);
    if (colon == std::string_view::npos || colon == start || colon - start > 3) return wrong();
    int h = Digits(t, start, colon - start);
    int m = Digits(t, colon + 1, 2);
    int s = Digits(t, colon + 4, 2);
    if (h < 0 || m < 0 || s < 0 || m > 59 || s > 59) return wrong();
    int64_t us = t.size() > colon + 7 && t[colon + 6] == '.' ? Fraction(t, colon + 7) : 0;
    int64_t v = ((int64_t(h) * 60 + m) * 60 + s) * kMicrosPerSecond + us;
    return start ? -v : v;
}

} // namespace values

// --- field descriptors -----------------------------------------------------

namespace {

// A boolean is any integer text: true unless 0.
void putBoolean(uint8_t* record, const TMySQLFieldDesc& f, std::string_view text) {
    uint64_t magnitude = 0;
    bool negative = false;
    values::ParseInteger(text, true, magnitude, negative);
    if (magnitude > (negative ? uint64_t(INT64_MAX) + 1 : uint64_t(INT64_MAX)))
        throw NotInteger(text);
    Put(record, f, static_cast<uint8_t>(magnitude != 0));
}

// BIT values come as their bytes, most significant first.
void putBits(uint8_t* record, const TMySQLFieldDesc& f, std::string_view bytes) {
    if (bytes.size() > 8) throw NotInteger(bytes);
    uint64_t bits = 0;
    for (char c : bytes)
        bits = bits << 8 | static_cast<uint8_t>(c);
    Put(record, f, bits);
}

// A column's size as a field has it.
uint32_t fieldSize(const TMySqlFieldInfo& c) {
    const bool temporal = c.type == MYSQL_TYPE_TIMESTAMP ||
                          (c.type >= MYSQL_TYPE_DATE && c.type <= MYSQL_TYPE_DATETIME);
    if (temporal && c.charsetNr == CHARSET_UTF8) return c.length / 3;
    if ((c.type == MYSQL_TYPE_DECIMAL || c.type == MYSQL_TYPE_NEWDECIMAL) && c.decimals == 0 &&
        c.length > 0)
        return c.length - 1; // without the sign
    return c.length;
}

struct FieldType {
    TFieldType type;
    TValueKind kind;
};

// The field type and storage of a number or date column; nothing for others.
std::optional<FieldType> numberOrDateType(const TMySqlFieldInfo& c, bool isUnsigned,
                                          const TMySQLRecordSetOptions& o) {
    switch (c.type) {
    case MYSQL_TYPE_DECIMAL:
    case MYSQL_TYPE_NEWDECIMAL:
    case MYSQL_TYPE_FLOAT:
    case MYSQL_TYPE_DOUBLE:
        return FieldType{ftFloat, TValueKind::Float};
    case MYSQL_TYPE_TINY:
        if (c.length == 1 && o.EnableBoolean) return FieldType{ftBoolean, TValueKind::Boolean};
        return FieldType{ftSmallint, isUnsigned ? TValueKind::UInt8 : TValueKind::Int8};
    case MYSQL_TYPE_SHORT:
        if (isUnsigned) return FieldType{ftWord, TValueKind::UInt16};
        return FieldType{ftSmallint, TValueKind::Int16};
    case MYSQL_TYPE_LONG:
        if (isUnsigned) return FieldType{ftLargeint, TValueKind::UInt32};
        return FieldType{ftInteger, TValueKind::Int32};
    case MYSQL_TYPE_INT24:
        return FieldType{ftInteger, TValueKind::Int32};
    case MYSQL_TYPE_LONGLONG:
        // Unsigned keeps its own storage: 18446744073709551615 is not -1.
        return FieldType{ftLargeint, isUnsigned ? TValueKind::UInt64 : TValueKind::Int64};
    case MYSQL_TYPE_BIT:
        return FieldType{ftLargeint, TValueKind::UInt64};
    case MYSQL_TYPE_YEAR:
        return FieldType{ftWord, TValueKind::UInt16};
    case MYSQL_TYPE_TIMESTAMP:
    case MYSQL_TYPE_DATETIME:
        return FieldType{ftDateTime, TValueKind::DateTime};
    case MYSQL_TYPE_DATE:
    case MYSQL_TYPE_NEWDATE:
        return FieldType{ftDate, TValueKind::Date};
    case MYSQL_TYPE_TIME:
        return FieldType{ftTime, TValueKind::Time};
    default:
        return std::nullopt;
    }
}

// The field type of a text or bytes column; raises EDatabaseError for a
// type code the protocol does not define.
TFieldType textType(const TMySqlFieldInfo& c, bool isBinary, bool blob,
                    const TMySQLRecordSetOptions& o) {
    const bool binaryBytes = !o.BinaryAsString && isBinary && c.charsetNr == CHARSET_BINARY;
    switch (c.type) {
    case MYSQL_TYPE_NULL:
    case MYSQL_TYPE_ENUM:
    case MYSQL_TYPE_SET:
        return ftString;
    case MYSQL_TYPE_VARCHAR:
    case MYSQL_TYPE_VAR_STRING:
        return binaryBytes ? ftVarBytes : ftString;
    case MYSQL_TYPE_STRING:
        return binaryBytes ? ftBytes : ftString;
    case MYSQL_TYPE_JSON:
        // Newer servers' JSON columns: text.
        return ftMemo;
    default:
        if (blob) return isBinary ? ftBlob : ftMemo;
        throw EDatabaseError("Unknown MySQL datatype (" + std::to_string(c.type) + ")");
    }
}

} // namespace

TMySQLFieldDesc TMySQLFieldDesc::FromColumn(const TMySqlFieldInfo& c,
                                            const TMySQLRecordSetOptions& o) {
    TMySQLFieldDesc f;
    f.Name = c.name;
    f.TableName = c.table;
    f.MySQLType = c.type;
    f.CharsetNr = c.charsetNr;
    f.Scale = c.decimals;
    f.IsUnsigned = c.flags & UNSIGNED_FLAG;
    f.IsBinary = c.flags & BINARY_FLAG;
    f.IsAutoIncrement = c.flags & AUTO_INCREMENT_FLAG;
    f.IsPrimaryKey = c.flags & PRI_KEY_FLAG;
    f.IsKey = c.flags & (PRI_KEY_FLAG | UNIQUE_KEY_FLAG | MULTIPLE_KEY_FLAG | PART_KEY_FLAG);
    f.IsTimestamp = c.flags & TIMESTAMP_FLAG;
    f.Fixed = c.type == MYSQL_TYPE_STRING;
    f.Required = (c.flags & NOT_NULL_FLAG) && !f.IsAutoIncrement && c.type != MYSQL_TYPE_TIMESTAMP;
    f.Size = fieldSize(c);

    const bool blob = (c.type >= MYSQL_TYPE_TINY_BLOB && c.type <= MYSQL_TYPE_BLOB) ||
                      c.type == MYSQL_TYPE_GEOMETRY;
    f.Kind = TValueKind::Bytes;
    if (o.FieldsAsString && !blob) {
        f.DataType = ftString;
        return f;
    }
    if (const std::optional<FieldType> t = numberOrDateType(c, f.IsUnsigned, o)) {
        f.DataType = t->type;
        f.Kind = t->kind;
        return f;
    }
    f.DataType = textType(c, f.IsBinary, blob, o);
    if (!o.LongStrings && f.DataType == ftString && f.Size > 256) f.DataType = ftMemo;
    return f;
}

// --- byte arena ------------------------------------------------------------

const char* TByteArena::StoreInNewChunk(const char* data, size_t length) {
    static constexpr size_t kMaxChunk = 65536;
    if (length == 0) return "";
    if (length > kMaxChunk / 4) {
        // A long value gets its own block and leaves the current chunk's
        // room for the short ones that follow.
        chunks_.push_back(std::make_unique_for_overwrite<char[]>(length));
        std::memcpy(chunks_.back().get(), data, length);
        return chunks_.back().get();
    }
    size_t size = std::max(nextChunk_, length);
    nextChunk_ = std::min(nextChunk_ * 2, kMaxChunk);
    chunks_.push_back(std::make_unique_for_overwrite<char[]>(size));
    free_ = chunks_.back().get();
    left_ = size;
    char* p = free_;
    std::memcpy(p, data, length);
    free_ += length;
    left_ -= length;
    return p;
}

void TByteArena::Clear() {
    chunks_.clear();
    free_ = nullptr;
    left_ = 0;
    nextChunk_ = 1024;
}

// --- record store ----------------------------------------------------------

bool TMySQLRecordSet::Open(const std::string& sql) {
    Close();
    command_ = std::make_unique<TMySQLCommand>(api_, session_, sql);
    command_->CommandTimeout = CommandTimeout;
    command_->WantResultSet = true;
    {
        // Close() never throws.
        const OnFailure closeOnFailure([this]() noexcept { Close(); });
        command_->Execute();
        rowsAffected_ = command_->RowsAffected();
        const TMySqlResultSet* result = command_->Result();
        if (!result) {
            command_.reset();
            return false;
        }
        const size_t n = api_.mysql_num_fields(result);
        fields_.reserve(n);
        // Null indicators first, then the values, packed.
        size_t offset = n;
        for (size_t i = 0; i < n; ++i) {
            fields_.push_back(
                TMySQLFieldDesc::FromColumn(*api_.mysql_fetch_field_direct(result, i), Options));
            fields_.back().NullOffset = static_cast<uint32_t>(i);
            fields_.back().Offset = static_cast<uint32_t>(offset);
            offset += SlotSize(fields_.back().Kind);
        }
        recordSize_ = offset;
    }
    fetchRows_ = std::max<size_t>(FetchRows, 1);
    // Blocks of at least FetchRows records, up to 4096.
    blockShift_ = 0;
    while (blockShift_ < 12 && (size_t(1) << blockShift_) < fetchRows_)
        ++blockShift_;
    active_ = true;
    return true;
}

size_t TMySQLRecordSet::FetchBlock() {
    if (AllFetched()) return 0;
    size_t got = 0;
    // On a failure the rest is read and dropped, so the session is ready
    // for the next statement (CloseResult never throws).
    const OnFailure dropRestOnFailure([this]() noexcept { command_->CloseResult(); });
    while (got < fetchRows_) {
        const TMySqlBinds* row = command_->Fetch();
        if (!row) {
            command_->CloseResult();
            break;
        }
        const size_t slot = count_ & ((size_t(1) << blockShift_) - 1);
        if (slot == 0) blocks_.push_back(std::make_unique<uint8_t[]>(recordSize_ << blockShift_));
        ConvertRow(*row, blocks_.back().get() + slot * recordSize_);
        ++count_;
        ++got;
    }
    return got;
}

void TMySQLRecordSet::Close() {
    if (command_) command_->CloseResult();
    command_.reset();
    fields_.clear();
    blocks_.clear();
    arena_.Clear();
    count_ = 0;
    recordSize_ = 0;
    active_ = false;
}

// A row's values come through here one after another: it sits in the loop.
[[gnu::always_inline]] inline void
TMySQLRecordSet::ConvertValue(const TMySQLFieldDesc& f, const char* p, size_t n, uint8_t* record) {
    const std::string_view text(p, n);
    switch (f.Kind) {
    case TValueKind::Bytes: {
        const char* stored = arena_.Store(p, n);
        const uint32_t length = static_cast<uint32_t>(n);
        std::memcpy(record + f.Offset, &stored, sizeof stored);
        std::memcpy(record + f.Offset + sizeof stored, &length, sizeof length);
        return;
    }
    case TValueKind::Float:
        Put(record, f, values::ParseFloat(text));
        return;
    case TValueKind::Date:
        if (const std::optional<int64_t> days = values::ParseDate(text))
            Put(record, f, static_cast<int32_t>(*days));
        else
            ImpossibleDate(f, record);
        return;
    case TValueKind::DateTime:
        if (const std::optional<int64_t> us = f.MySQLType == MYSQL_TYPE_TIMESTAMP
                                                  ? values::ParseTimestamp(text, f.Size)
                                                  : values::DateTimeOfText(text))
            Put(record, f, *us);
        else
            ImpossibleDate(f, record);
        return;
    case TValueKind::Time:
        Put(record, f, values::ParseTime(text, f.Name));
        return;
    case TValueKind::Boolean:
        return putBoolean(record, f, text);
    case TValueKind::Int8:
        return PutInteger<int8_t>(record, f, p, n);
    case TValueKind::UInt8:
        return PutInteger<uint8_t>(record, f, p, n);
    case TValueKind::Int16:
        return PutInteger<int16_t>(record, f, p, n);
    case TValueKind::UInt16:
        return PutInteger<uint16_t>(record, f, p, n);
    case TValueKind::Int32:
        return PutInteger<int32_t>(record, f, p, n);
    case TValueKind::UInt32:
        return PutInteger<uint32_t>(record, f, p, n);
    case TValueKind::Int64:
        return PutInteger<int64_t>(record, f, p, n);
    case TValueKind::UInt64:
        if (f.MySQLType == MYSQL_TYPE_BIT) return putBits(record, f, text);
        return PutInteger<uint64_t>(record, f, p, n);
    }
}

void TMySQLRecordSet::ConvertRow(const TMySqlBinds& row, uint8_t* record) {
    const char* base = reinterpret_cast<const char*>(row.Row());
    const TMySqlBinds::Entry* e = row.Entries(); // one a field
    for (const TMySQLFieldDesc& f : fields_) {
        const TMySqlBinds::Entry& v = *e++;
        record[f.NullOffset] = v.isNull;
        if (!v.isNull) ConvertValue(f, base + v.start, v.length, record);
    }
}

void TMySQLRecordSet::ImpossibleDate(const TMySQLFieldDesc& f, uint8_t* record) const {
    if (Options.NullForZeroDate)
        record[f.NullOffset] = 1;
    else if (f.Kind == TValueKind::Date)
        Put(record, f, kFirstDay);
    else
        Put(record, f, int64_t(kFirstDay) * kMicrosPerDay);
}

} // namespace v270::mysql
