#include "MySqlPacket.h"

#include <algorithm>
#include <cmath>
#include <openssl/evp.h>

namespace v270::mysql {

GrowBuffer::GrowBuffer(size_t capacity) {
    if (capacity) {
        data_ = std::make_unique_for_overwrite<uint8_t[]>(capacity);
        capacity_ = capacity;
    }
}

void GrowBuffer::Grow(size_t n) {
    // Buffers start empty and grow with what they hold; the first step is
    // large enough for most packets at once.
    constexpr size_t kFirstCapacity = 256;
    size_t cap = std::max({n, capacity_ + capacity_ / 2, kFirstCapacity});
    auto bigger = std::make_unique_for_overwrite<uint8_t[]>(cap);
    if (length_) std::memcpy(bigger.get(), data_.get(), length_);
    data_ = std::move(bigger);
    capacity_ = cap;
}

std::string PacketReader::ReadNulString() {
    const uint8_t* start = data_ + pos_;
    const void* nul = Remaining() ? std::memchr(start, 0, Remaining()) : nullptr;
    if (!nul) {
        std::string s(reinterpret_cast<const char*>(start), Remaining());
        pos_ = length_;
        return s;
    }
    size_t n = static_cast<size_t>(static_cast<const uint8_t*>(nul) - start);
    std::string s(reinterpret_cast<const char*>(start), n);
    pos_ += n + 1;
    return s;
}

std::string PacketReader::ReadString(size_t n) {
    Need(n <= Remaining());
    std::string s(reinterpret_cast<const char*>(data_ + pos_), n);
    pos_ += n;
    return s;
}

void AppendLengthCoded(std::string& out, uint64_t value) {
    auto put = [&](uint64_t v, int bytes) {
        for (int i = 0; i < bytes; ++i)
            out += static_cast<char>((v >> (8 * i)) & 0xFF);
    };
    if (value <= 250) {
        put(value, 1);
    } else if (value <= 0xFFFF) {
        out += static_cast<char>(252);
        put(value, 2);
    } else if (value <= 0xFFFFFF) {
        out += static_cast<char>(253);
        put(value, 3);
    } else {
        out += static_cast<char>(254);
        put(value, 8);
    }
}

Greeting ParseGreeting(const uint8_t* data, size_t length) {
    PacketReader r(data, length);
    Greeting g;
    g.protocolVersion = r.ReadByte();
    if (g.protocolVersion != 10)
        throw EMySqlException::Make(CR_VERSION_ERROR, {},
                                    {std::to_string(g.protocolVersion), "10"});
    g.serverVersion = r.ReadNulString();
    g.threadId = r.ReadUInt32();
    r.ReadBytes(g.scramble, 8);
    const size_t p = r.Position();
    const size_t l = length;
    if (l > p) r.Skip(1); // filler
    if (l > p + 2) g.serverCapabilities = r.ReadUInt16();
    size_t scrambleLength = 0;
    if (l >= p + 18) {
        g.serverCharset = r.ReadByte();
        g.serverStatus = r.ReadUInt16();
        g.serverCapabilities |= uint32_t(r.ReadUInt16()) << 16;
        scrambleLength = r.ReadByte();
    }
    if (l >= p + 30) {
        // A greeting that ends 30 bytes after the filler carries only 11 of
        // the 12 bytes; the missing one stays 0.
        r.SetPosition(p + 19);
        r.ReadBytes(g.scramble + 8, std::min<size_t>(12, r.Remaining()));
        g.fullScramble = true;
    }
    if ((g.serverCapabilities & CLIENT_PLUGIN_AUTH) && g.fullScramble) {
        // The second scramble part takes at least 13 bytes (its last one a
        // terminating 0); the plugin's name follows it.
        const size_t part2 = std::max<size_t>(13, scrambleLength > 8 ? scrambleLength - 8 : 0);
        if (l > p + 19 + part2) {
            r.SetPosition(p + 19 + part2);
            g.authPluginName = r.ReadNulString();
        }
    }
    // Newer servers append fields this login does not use.
    r.IgnoreRest();
    return g;
}

void CheckErrorPacket(const uint8_t* data, size_t length) {
    if (length == 0 || data[0] != 0xFF) return;
    PacketReader r(data, length, 1);
    int code = r.ReadInt16();
    // The message runs to the first 0 byte; anything after it is not ours.
    std::string text = r.ReadNulString();
    r.IgnoreRest();
    throw EMySqlException::Make(code, text);
}

OkPacket ParseOk(const uint8_t* data, size_t length, bool protocol41, bool transactions) {
    PacketReader r(data, length);
    OkPacket ok;
    r.ReadLengthCoded(); // field count 0
    ok.affectedRows = static_cast<uint64_t>(r.ReadLengthCoded());
    ok.insertId = static_cast<uint64_t>(r.ReadLengthCoded());
    if (protocol41 || transactions) {
        ok.serverStatus = r.ReadUInt16();
        ok.hasStatus = true;
    }
    if (protocol41) ok.warningCount = r.ReadUInt16();
    // Servers send the info text length-coded; a text that does not fit
    // that form is taken as the rest of the packet.
    ok.info = r.ReadRest();
    if (!ok.info.empty()) {
        PacketReader lc(reinterpret_cast<const uint8_t*>(ok.info.data()), ok.info.size());
        try {
            int64_t n = lc.ReadLengthCoded();
            if (n >= 0 && static_cast<uint64_t>(n) == lc.Remaining()) ok.info = lc.ReadRest();
        } catch (const EMySqlException&) {
        }
    }
    r.ExpectEnd();
    return ok;
}

EofPacket ParseEof(const uint8_t* data, size_t length) {
    EofPacket e;
    PacketReader r(data, length);
    r.Skip(1); // 0xFE
    // A short EOF packet (older servers) carries no status.
    if (r.Remaining() >= 4) {
        e.warningCount = r.ReadUInt16();
        e.serverStatus = r.ReadUInt16();
        e.hasStatus = true;
    }
    // Up to 8 bytes count as an EOF packet; what follows the status is unused.
    r.IgnoreRest();
    return e;
}

namespace {
// Types counted as numbers: up to INT24 and YEAR, except a TIMESTAMP whose
// length is neither 14 nor 8.
bool IsNumericColumn(uint8_t type, uint32_t length) {
    if (type == MYSQL_TYPE_TIMESTAMP) return length == 14 || length == 8;
    return type <= MYSQL_TYPE_INT24 || type == MYSQL_TYPE_YEAR;
}
} // namespace

// Rows come through here one after another: it sits in ParseTextRow, where
// the reader stays in registers.
[[gnu::always_inline]] inline void TMySqlBinds::readValues(PacketReader& r, size_t columns) {
    if (entries_.size() != columns) entries_.resize(columns);
    row_ = r.Data();
    for (size_t i = 0; i < columns; ++i) {
        Entry& e = entries_[i];
        const int64_t coded = r.ReadLengthCoded();
        e.start = static_cast<uint32_t>(r.Position());
        if (coded < 0) {
            e.length = 0;
            e.isNull = true;
            continue;
        }
        // Of an 8-byte length only the low 32 bits count.
        const uint32_t len = static_cast<uint32_t>(coded);
        r.Skip(len);
        e.length = len;
        e.isNull = false;
    }
}

TMySqlFieldInfo ParseColumnDefinition(const uint8_t* data, size_t length, bool protocol41,
                                      bool longFlag) {
    // One list of value places for every definition this thread reads (a
    // result has one a column), not a new one each time.
    thread_local TMySqlBinds v;
    PacketReader values(data, length);
    v.readValues(values, protocol41 ? 7 : 5);
    // A field list's definitions end with the column's default value, which
    // is not used.
    values.IgnoreRest();
    auto text = [&](size_t i) { return std::string(v.Field(i)); };
    auto reader = [&](size_t i) {
        PacketReader::Need(!v.IsNull(i));
        return PacketReader(data + v[i].start, v.Length(i));
    };
    TMySqlFieldInfo f;
    if (protocol41) {
        f.database = text(1);
        f.table = text(2);
        f.orgTable = text(3);
        f.name = text(4);
        f.orgName = text(5);
        // Fixed part: charset, length, type, flags, decimals (and its filler).
        PacketReader r = reader(6);
        f.charsetNr = r.ReadUInt16();
        f.length = r.ReadUInt32();
        f.type = r.ReadByte();
        f.flags = r.ReadUInt16();
        f.decimals = r.Remaining() >= 2 ? r.ReadUInt16() : r.ReadByte();
        // The fixed part is 12 bytes long on the wire; the last ones are filler.
        r.IgnoreRest();
    } else {
        f.table = text(0);
        f.orgTable = f.table;
        f.name = text(1);
        PacketReader len = reader(2);
        f.length = len.ReadUInt24();
        len.ExpectEnd();
        PacketReader type = reader(3);
        f.type = type.ReadByte();
        type.ExpectEnd();
        PacketReader r = reader(4);
        f.flags = longFlag ? r.ReadUInt16() : r.ReadByte();
        f.decimals = r.Remaining() ? r.ReadByte() : 0;
        r.ExpectEnd();
    }
    if (IsNumericColumn(f.type, f.length)) f.flags |= NUM_FLAG;
    return f;
}

void TMySqlBinds::ParseTextRow(const uint8_t* row, size_t length, size_t columns) {
    PacketReader r(row, length);
    readValues(r, columns);
    r.ExpectEnd();
}

namespace {
void Sha1(const void* data, size_t n, uint8_t out[20]) {
    unsigned int len = 20;
    EVP_Digest(data, n, out, &len, EVP_sha1(), nullptr);
}

struct OldHash {
    uint32_t first, second;
};

OldHash HashOld(const uint8_t* p, size_t n) {
    uint32_t nr = 1345345333u, add = 7, nr2 = 0x12345671u;
    for (size_t i = 0; i < n; ++i) {
        uint32_t c = p[i];
        if (c == ' ' || c == '\t') continue;
        nr ^= (((nr & 63) + add) * c) + (nr << 8);
        nr2 += (nr2 << 8) ^ nr;
        add += c;
    }
    return {nr & 0x7FFFFFFFu, nr2 & 0x7FFFFFFFu};
}
} // namespace

void ScrambleNative(const uint8_t scramble[20], std::string_view password, uint8_t out[20]) {
    uint8_t s1[20], s2[20], buf[40], t[20];
    Sha1(password.data(), password.size(), s1);
    Sha1(s1, 20, s2);
    std::memcpy(buf, scramble, 20);
    std::memcpy(buf + 20, s2, 20);
    Sha1(buf, 40, t);
    for (int i = 0; i < 20; ++i)
        out[i] = t[i] ^ s1[i];
}

std::string ScrambleOld(const uint8_t message[8], std::string_view password) {
    if (password.empty()) return {};
    OldHash hp = HashOld(reinterpret_cast<const uint8_t*>(password.data()), password.size());
    OldHash hm = HashOld(message, 8);
    const uint32_t maxValue = 0x3FFFFFFFu;
    uint64_t seed1 = (hp.first ^ hm.first) % maxValue;
    uint64_t seed2 = (hp.second ^ hm.second) % maxValue;
    auto rnd = [&]() {
        seed1 = (seed1 * 3 + seed2) % maxValue;
        seed2 = (seed1 + seed2 + 33) % maxValue;
        return static_cast<double>(seed1) / 1073741823.0;
    };
    std::string out(8, '\0');
    for (int i = 0; i < 8; ++i)
        out[i] = static_cast<char>(static_cast<int>(std::floor(rnd() * 31)) + 64);
    char extra = static_cast<char>(static_cast<int>(std::floor(rnd() * 31)));
    for (char& c : out)
        c = static_cast<char>(c ^ extra);
    return out;
}

} // namespace v270::mysql
