#pragma once
// The record store of a query: runs its statement, maps each column to a
// field type, converts the text of each row into typed values and keeps the
// records in blocks of FetchRows.

#include "ByteCopy.h"
#include "MySqlCommand.h"

#include <cstdint>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace v270::mysql {

enum TFieldType {
    ftUnknown,
    ftString,
    ftSmallint,
    ftInteger,
    ftWord,
    ftBoolean,
    ftFloat,
    ftDate,
    ftTime,
    ftDateTime,
    ftBytes,
    ftVarBytes,
    ftBlob,
    ftMemo,
    ftLargeint,
};

// How a value is kept in a record.
enum class TValueKind : uint8_t {
    Int8,
    UInt8,
    Int16,
    UInt16,
    Int32,
    UInt32,
    Int64,
    UInt64,
    Boolean,
    Float,    // double
    Date,     // int32 days from 1899-12-30
    Time,     // int64 microseconds, signed, not wrapped at a day
    DateTime, // int64 microseconds from 1899-12-30 00:00
    Bytes,    // pointer and length into the record store's byte arena
};

// The dataset options that shape the fields and values.
struct TMySQLRecordSetOptions {
    bool NullForZeroDate = true; // an impossible date is NULL, else 0001-01-01
    bool EnableBoolean = true;   // TINYINT(1) is a boolean
    bool BinaryAsString = true;  // binary strings stay strings, not bytes fields
    bool FieldsAsString = false; // every column but the blobs as its text
    bool LongStrings = true;     // strings longer than 256 stay strings, not memos
};

struct TMySQLFieldDesc {
    std::string Name;
    std::string TableName;
    TFieldType DataType = ftUnknown;
    TValueKind Kind = TValueKind::Bytes;
    uint32_t Size = 0;
    uint32_t Scale = 0;
    uint8_t MySQLType = 0;
    uint32_t CharsetNr = 0;
    bool IsUnsigned = false;
    bool IsBinary = false;
    bool IsAutoIncrement = false;
    bool IsPrimaryKey = false;
    bool IsKey = false;
    bool IsTimestamp = false;
    bool Fixed = false;
    bool Required = false;
    // Place of the null indicator and of the value in a record.
    uint32_t NullOffset = 0;
    uint32_t Offset = 0;

    // Raises EDatabaseError "Unknown MySQL datatype (N)" for type codes the
    // protocol does not define.
    static TMySQLFieldDesc FromColumn(const TMySqlFieldInfo& column,
                                      const TMySQLRecordSetOptions& options);
};

// Keeps value bytes for the life of a result: chunks that only grow, so a
// stored value never moves.
class TByteArena {
  public:
    const char* Store(const char* data, size_t length) {
        if (length == 0 || length > left_) return StoreInNewChunk(data, length);
        char* p = free_;
        copyBytes(p, data, length);
        free_ += length;
        left_ -= length;
        return p;
    }
    void Clear();

  private:
    const char* StoreInNewChunk(const char* data, size_t length);

    std::vector<std::unique_ptr<char[]>> chunks_;
    char* free_ = nullptr;
    size_t left_ = 0;
    size_t nextChunk_ = 1024;
};

class TMySQLRecordSet {
  public:
    TMySQLRecordSet(TMySQLAPI& api, TMySqlSession* session) : api_(api), session_(session) {}
    ~TMySQLRecordSet() { Close(); }
    TMySQLRecordSet(const TMySQLRecordSet&) = delete;
    TMySQLRecordSet& operator=(const TMySQLRecordSet&) = delete;

    TMySQLRecordSetOptions Options;
    size_t FetchRows = 25;
    int CommandTimeout = 0;

    // Runs the statement and builds the field descriptors. Returns false,
    // keeping nothing, when the statement gave no result set. Raises
    // EMySqlException for a failed statement and EDatabaseError for a
    // column it cannot map.
    bool Open(const std::string& sql);
    // Reads up to FetchRows more records; returns how many. When the rows
    // run out the result is freed and the session is ready again. Raises as
    // Open does, and for a value it cannot convert; the result is freed then.
    size_t FetchBlock();
    void FetchAll() {
        while (FetchBlock() != 0) {
        }
    }
    // Reads and drops the rows not yet read, then drops the records.
    void Close();

    bool Active() const { return active_; }
    bool AllFetched() const { return !command_ || !command_->Result(); }
    int64_t RowsAffected() const { return rowsAffected_; }
    const std::vector<TMySQLFieldDesc>& Fields() const { return fields_; }
    size_t RecordCount() const { return count_; }
    const uint8_t* Record(size_t i) const {
        return blocks_[i >> blockShift_].get() +
               (i & ((size_t(1) << blockShift_) - 1)) * recordSize_;
    }

    static bool IsNull(const uint8_t* record, const TMySQLFieldDesc& f) {
        return record[f.NullOffset] != 0;
    }
    template <class T> static T Load(const uint8_t* record, const TMySQLFieldDesc& f) {
        T v;
        std::memcpy(&v, record + f.Offset, sizeof v);
        return v;
    }
    static std::string_view Bytes(const uint8_t* record, const TMySQLFieldDesc& f) {
        const char* p;
        uint32_t n;
        std::memcpy(&p, record + f.Offset, sizeof p);
        std::memcpy(&n, record + f.Offset + sizeof p, sizeof n);
        return {p, n};
    }
    // The value of a non-null integer or boolean field, widened (an
    // unsigned 64-bit value as its bits).
    static int64_t IntegerValue(const uint8_t* record, const TMySQLFieldDesc& f) {
        switch (f.Kind) {
        case TValueKind::Boolean:
        case TValueKind::UInt8:
            return Load<uint8_t>(record, f);
        case TValueKind::Int8:
            return Load<int8_t>(record, f);
        case TValueKind::Int16:
            return Load<int16_t>(record, f);
        case TValueKind::UInt16:
            return Load<uint16_t>(record, f);
        case TValueKind::Int32:
            return Load<int32_t>(record, f);
        case TValueKind::UInt32:
            return Load<uint32_t>(record, f);
        default:
            return Load<int64_t>(record, f);
        }
    }

  private:
    void ConvertRow(const TMySqlBinds& row, uint8_t* record);
    void ConvertValue(const TMySQLFieldDesc& f, const char* p, size_t n, uint8_t* record);
    // An impossible date: NULL, or 0001-01-01 by the options.
    void ImpossibleDate(const TMySQLFieldDesc& f, uint8_t* record) const;

    TMySQLAPI& api_;
    TMySqlSession* session_;
    std::unique_ptr<TMySQLCommand> command_;
    std::vector<TMySQLFieldDesc> fields_;
    std::vector<std::unique_ptr<uint8_t[]>> blocks_;
    TByteArena arena_;
    size_t recordSize_ = 0;
    // Records are kept in blocks of 2^blockShift_ (a record's place without
    // a division); FetchBlock reads fetchRows_ at a time.
    unsigned blockShift_ = 5;
    size_t fetchRows_ = 25;
    size_t count_ = 0;
    int64_t rowsAffected_ = -1;
    bool active_ = false;
};

// Conversions of value texts, shared with the field reads of the query.
// Each raises EDatabaseError with the message of its failure.
namespace values {
// Optional "-" (when allowed) and decimal digits; the magnitude must fit.
void ParseInteger(std::string_view text, bool allowMinus, uint64_t& magnitude, bool& negative);
// The correctly rounded double of a decimal text, "." the point.
double ParseFloat(std::string_view text);
// Days from 1899-12-30 of "YYYY-MM-DD", or nothing for an impossible date.
std::optional<int64_t> ParseDate(std::string_view text);
// Microseconds from 1899-12-30 of "YYYY-MM-DD hh:mm:ss[.ffffff]".
std::optional<int64_t> ParseDateTime(std::string_view text);
// TIMESTAMP by the column's length (2 to 14 digits, or 19 and more).
std::optional<int64_t> ParseTimestamp(std::string_view text, uint32_t columnLength);
// Signed microseconds of "[-]hhh:mm:ss[.ffffff]"; field names the column.
int64_t ParseTime(std::string_view text, const std::string& field);
} // namespace values

} // namespace v270::mysql
