#pragma once
// Encoding and decoding of protocol packets, independent of any socket.
// Every read is checked against the packet: a length or offset that points
// outside it raises EMySqlException 2027 "Malformed packet".

#include "MySqlErrors.h"

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace v270::mysql {

constexpr size_t kMaxPacketPayload = 0xFFFFFF;
constexpr uint8_t kNullLength = 251;

// Byte buffer whose capacity only grows; length and position as the packet
// layer uses them.
class GrowBuffer {
  public:
    explicit GrowBuffer(size_t capacity = 0);
    uint8_t* Data() { return data_.get(); }
    const uint8_t* Data() const { return data_.get(); }
    size_t Length() const { return length_; }
    size_t Position() const { return position_; }
    size_t Capacity() const { return capacity_; }
    void SetLength(size_t n) {
        if (n > capacity_) Grow(n);
        length_ = n;
        if (position_ > length_) position_ = length_;
    }
    void SetPosition(size_t p) {
        if (p > length_) SetLength(p);
        position_ = p;
    }
    void Write(const void* src, size_t n) {
        if (position_ + n > length_) SetLength(position_ + n);
        if (n) std::memcpy(data_.get() + position_, src, n);
        position_ += n;
    }
    void WriteByte(uint8_t b) { Write(&b, 1); }
    void Clear() { length_ = position_ = 0; }

  private:
    void Grow(size_t n);
    std::unique_ptr<uint8_t[]> data_;
    size_t capacity_ = 0;
    size_t length_ = 0;
    size_t position_ = 0;
};

// The one bounds-checked reader of packet bytes: every parser goes through
// it. A read past the end raises 2027; a parse ends with ExpectEnd, or with
// IgnoreRest where the protocol lets newer servers append fields.
class PacketReader {
  public:
    PacketReader(const uint8_t* data, size_t length, size_t position = 0)
        : data_(data), length_(length), pos_(position) {
        Need(position <= length);
    }

    size_t Position() const { return pos_; }
    size_t Length() const { return length_; }
    size_t Remaining() const { return length_ - pos_; }
    bool AtEnd() const { return pos_ == length_; }
    const uint8_t* Data() const { return data_; }
    // The bytes from the position on, not consumed.
    const uint8_t* Current() const { return data_ + pos_; }
    void SetPosition(size_t p) {
        Need(p <= length_);
        pos_ = p;
    }
    void Skip(size_t n) {
        Need(n <= Remaining());
        pos_ += n;
    }

    uint8_t ReadByte() {
        Need(1 <= Remaining());
        return data_[pos_++];
    }
    uint16_t ReadUInt16() { return static_cast<uint16_t>(ReadLE(2)); }
    // Error codes are read sign-extended from 16 bits.
    int ReadInt16() { return static_cast<int16_t>(ReadLE(2)); }
    uint32_t ReadUInt24() { return static_cast<uint32_t>(ReadLE(3)); }
    uint32_t ReadUInt32() { return static_cast<uint32_t>(ReadLE(4)); }
    int64_t ReadInt64() { return static_cast<int64_t>(ReadLE(8)); }
    // -1 for the NULL marker 251.
    int64_t ReadLengthCoded() {
        const uint8_t b = ReadByte();
        if (b < kNullLength) return b;
        switch (b) {
        case kNullLength:
            return -1;
        case 252:
            return ReadUInt16();
        case 253:
            return ReadUInt24();
        case 254:
            return ReadInt64();
        default:
            // No length starts with 255: the packet is not what it claims to be.
            throw EMySqlException::Malformed();
        }
    }
    // Up to the next 0 byte (skipped), or to the end of the packet.
    std::string ReadNulString();
    std::string ReadString(size_t n);
    void ReadBytes(void* dest, size_t n) {
        Need(n <= Remaining());
        if (n) std::memcpy(dest, data_ + pos_, n);
        pos_ += n;
    }
    std::string ReadRest() { return ReadString(Remaining()); }

    // Ends a parse: bytes left over mean the packet is not what it claims.
    void ExpectEnd() const {
        if (!AtEnd()) throw EMySqlException::Make(CR_MALFORMED_PACKET, "extra bytes");
    }
    // Ends a parse whose format allows more after what was read; the
    // caller's comment says why.
    void IgnoreRest() { pos_ = length_; }

    static void Need(bool ok) {
        if (!ok) throw EMySqlException::Malformed();
    }

  private:
    uint64_t ReadLE(size_t n) {
        Need(n <= Remaining());
        uint64_t v = 0;
        for (size_t i = 0; i < n; ++i)
            v |= uint64_t(data_[pos_ + i]) << (8 * i);
        pos_ += n;
        return v;
    }
    const uint8_t* data_;
    size_t length_;
    size_t pos_;
};

// Appends a length-coded integer.
void AppendLengthCoded(std::string& out, uint64_t value);

// Server capability flags and client flags.
enum CapabilityFlags : uint32_t {
    CLIENT_LONG_PASSWORD = 0x1,
    CLIENT_FOUND_ROWS = 0x2,
    CLIENT_LONG_FLAG = 0x4,
    CLIENT_CONNECT_WITH_DB = 0x8,
    CLIENT_COMPRESS = 0x20,
    CLIENT_LOCAL_FILES = 0x80,
    CLIENT_PROTOCOL_41 = 0x200,
    CLIENT_INTERACTIVE = 0x400,
    CLIENT_SSL = 0x800,
    CLIENT_TRANSACTIONS = 0x2000,
    CLIENT_SECURE_CONNECTION = 0x8000,
    CLIENT_MULTI_STATEMENTS = 0x10000,
    CLIENT_MULTI_RESULTS = 0x20000,
    // The greeting names an authentication plugin; the login names the one
    // it answers with, and the server may switch to another.
    CLIENT_PLUGIN_AUTH = 0x80000,
};

// Column type codes of a column definition.
enum MySqlType : uint8_t {
    MYSQL_TYPE_DECIMAL = 0,
    MYSQL_TYPE_TINY = 1,
    MYSQL_TYPE_SHORT = 2,
    MYSQL_TYPE_LONG = 3,
    MYSQL_TYPE_FLOAT = 4,
    MYSQL_TYPE_DOUBLE = 5,
    MYSQL_TYPE_NULL = 6,
    MYSQL_TYPE_TIMESTAMP = 7,
    MYSQL_TYPE_LONGLONG = 8,
    MYSQL_TYPE_INT24 = 9,
    MYSQL_TYPE_DATE = 10,
    MYSQL_TYPE_TIME = 11,
    MYSQL_TYPE_DATETIME = 12,
    MYSQL_TYPE_YEAR = 13,
    MYSQL_TYPE_NEWDATE = 14,
    MYSQL_TYPE_VARCHAR = 15,
    MYSQL_TYPE_BIT = 16,
    MYSQL_TYPE_JSON = 245,
    MYSQL_TYPE_NEWDECIMAL = 246,
    MYSQL_TYPE_ENUM = 247,
    MYSQL_TYPE_SET = 248,
    MYSQL_TYPE_TINY_BLOB = 249,
    MYSQL_TYPE_MEDIUM_BLOB = 250,
    MYSQL_TYPE_LONG_BLOB = 251,
    MYSQL_TYPE_BLOB = 252,
    MYSQL_TYPE_VAR_STRING = 253,
    MYSQL_TYPE_STRING = 254,
    MYSQL_TYPE_GEOMETRY = 255,
};

// Column flags of a column definition.
enum ColumnFlags : uint32_t {
    NOT_NULL_FLAG = 1,
    PRI_KEY_FLAG = 2,
    UNIQUE_KEY_FLAG = 4,
    MULTIPLE_KEY_FLAG = 8,
    UNSIGNED_FLAG = 32,
    BINARY_FLAG = 128,
    AUTO_INCREMENT_FLAG = 512,
    TIMESTAMP_FLAG = 1024,
    PART_KEY_FLAG = 0x4000,
    NUM_FLAG = 0x8000,
};

// Character set numbers of the login packet and of column definitions.
enum CharsetNumber : uint8_t {
    CHARSET_LATIN1 = 8,  // latin1_swedish_ci, what the login asks for by default
    CHARSET_UTF8 = 33,   // utf8_general_ci: three bytes a character
    CHARSET_BINARY = 63, // binary strings
};

constexpr uint16_t SERVER_STATUS_AUTOCOMMIT = 2;
constexpr uint16_t SERVER_MORE_RESULTS_EXIST = 8;

// Server greeting (protocol 10).
struct Greeting {
    int protocolVersion = 0;
    std::string serverVersion;
    uint32_t threadId = 0;
    uint8_t scramble[20] = {};
    bool fullScramble = false;
    // Low 16 bits, and the high 16 bits where the greeting has them.
    uint32_t serverCapabilities = 0;
    uint8_t serverCharset = 0;
    uint16_t serverStatus = 2;
    // With CLIENT_PLUGIN_AUTH: the plugin the scramble is meant for.
    std::string authPluginName;
};
// Raises 2007 for a protocol version other than 10, 2027 when truncated.
Greeting ParseGreeting(const uint8_t* data, size_t length);

// Raises the server's error when the packet is an error packet (0xFF).
void CheckErrorPacket(const uint8_t* data, size_t length);

// OK packet (first byte 0) of a command or a query.
struct OkPacket {
    uint64_t affectedRows = 0;
    uint64_t insertId = 0;
    uint16_t serverStatus = 0;
    uint16_t warningCount = 0;
    bool hasStatus = false;
    std::string info;
};
OkPacket ParseOk(const uint8_t* data, size_t length, bool protocol41, bool transactions);

// An EOF packet is at most 8 bytes long and starts with 0xFE.
inline bool IsEofPacket(const uint8_t* data, size_t length) {
    return length > 0 && length <= 8 && data[0] == 0xFE;
}
struct EofPacket {
    bool hasStatus = false;
    uint16_t warningCount = 0;
    uint16_t serverStatus = 0;
};
EofPacket ParseEof(const uint8_t* data, size_t length);

// One column definition, as read.
struct TMySqlFieldInfo {
    std::string name;
    std::string orgName;
    std::string table;
    std::string orgTable;
    std::string database;
    std::string defaultValue;
    uint32_t length = 0;
    uint32_t decimals = 0;
    uint32_t maxLength = 0;
    uint32_t flags = 0;
    uint32_t charsetNr = 0;
    uint8_t type = 0;
};
using TMySqlFieldInfos = std::vector<TMySqlFieldInfo>;

// Column definition packet; 4.1 form (7 values) or the older form (5 values).
TMySqlFieldInfo ParseColumnDefinition(const uint8_t* data, size_t length, bool protocol41,
                                      bool longFlag);

// Value positions of one text-protocol row.
class TMySqlBinds {
  public:
    struct Entry {
        uint32_t start = 0;
        uint32_t length = 0;
        bool isNull = false;
    };
    size_t Count() const { return entries_.size(); }
    bool IsNull(size_t i) const { return entries_[i].isNull; }
    uint32_t Length(size_t i) const { return entries_[i].length; }
    const char* Value(size_t i) const {
        return entries_[i].isNull ? nullptr
                                  : reinterpret_cast<const char*>(row_ + entries_[i].start);
    }
    std::string_view Field(size_t i) const {
        return entries_[i].isNull ? std::string_view() : std::string_view(Value(i), Length(i));
    }
    const Entry& operator[](size_t i) const { return entries_[i]; }
    const Entry* Entries() const { return entries_.data(); }
    const uint8_t* Row() const { return row_; }

    // Walks the row packet, one value per column and nothing after them.
    void ParseTextRow(const uint8_t* row, size_t length, size_t columns);
    // Reads one value per column from r, whose packet the values point
    // into; what follows them is the caller's.
    void readValues(PacketReader& r, size_t columns);

  private:
    std::vector<Entry> entries_;
    const uint8_t* row_ = nullptr;
};

// Pre-4.1 and 4.1 password scrambles.
void ScrambleNative(const uint8_t scramble[20], std::string_view password, uint8_t out[20]);
// Returns the 8 scramble characters (no terminating 0; empty for an empty password).
std::string ScrambleOld(const uint8_t message[8], std::string_view password);

} // namespace v270::mysql
