#include "LinkProtocol.h"

#include "LinkOperations.h"

#include <cstring>
#include <zlib.h>

namespace wire {

namespace {

void putU32(QByteArray& out, uint32_t v) {
    const char b[4] = {char(v & 0xff), char((v >> 8) & 0xff), char((v >> 16) & 0xff),
                       char((v >> 24) & 0xff)};
    out.append(b, 4);
}

uint32_t getU32(const char* p) {
    const auto* u = reinterpret_cast<const unsigned char*>(p);
    return uint32_t(u[0]) | uint32_t(u[1]) << 8 | uint32_t(u[2]) << 16 | uint32_t(u[3]) << 24;
}

// Bounds-checked reader over a payload: every take fails rather than
// running past the end.
class Reader {
  public:
    Reader(const char* data, size_t size) : p_(data), left_(size) {}
    bool u8(uint8_t& v) {
        if (left_ < 1) return false;
        v = static_cast<uint8_t>(*p_);
        ++p_, --left_;
        return true;
    }
    bool u32(uint32_t& v) {
        if (left_ < 4) return false;
        v = getU32(p_);
        p_ += 4, left_ -= 4;
        return true;
    }
    bool bytes(size_t n, const char*& at) {
        if (left_ < n) return false;
        at = p_;
        p_ += n, left_ -= n;
        return true;
    }
    size_t left() const { return left_; }

  private:
    const char* p_;
    size_t left_;
};

uint32_t crcOf(const char* data, size_t size) {
    return static_cast<uint32_t>(
        crc32(crc32(0L, Z_NULL, 0), reinterpret_cast<const Bytef*>(data), static_cast<uInt>(size)));
}

} // namespace

void appendEnrollDataAnswer(std::vector<int32_t>& ints, const EnrollDataAnswer& answer) {
    ints.insert(ints.end(), {answer.code, answer.privilege, answer.password,
                             static_cast<int32_t>(answer.data.size())});
    ints.insert(ints.end(), answer.data.begin(), answer.data.end());
}

bool splitEnrollDataAnswers(const std::vector<int32_t>& ints, size_t asked,
                            std::vector<EnrollDataAnswer>& answers) {
    answers.clear();
    size_t at = 0;
    while (at < ints.size()) {
        if (answers.size() == asked || ints.size() - at < 4) return false;
        EnrollDataAnswer a;
        a.code = ints[at], a.privilege = ints[at + 1], a.password = ints[at + 2];
        const int32_t count = ints[at + 3];
        at += 4;
        if ((count != 0 && count != kTemplateInts) || ints.size() - at < size_t(count))
            return false;
        a.data.assign(ints.begin() + static_cast<std::ptrdiff_t>(at),
                      ints.begin() + static_cast<std::ptrdiff_t>(at + size_t(count)));
        at += size_t(count);
        answers.push_back(std::move(a));
    }
    return !answers.empty();
}

size_t payloadSize(const Message& m) {
    size_t size = 1 + 4 + 4 + 4 * m.ints.size() + 4;
    for (const auto& b : m.blobs)
        size += 4 + static_cast<size_t>(b.size());
    return size;
}

QByteArray encodePayload(const Message& m) {
    QByteArray out;
    size_t blobBytes = 0;
    for (const auto& b : m.blobs)
        blobBytes += 4 + static_cast<size_t>(b.size());
    out.reserve(static_cast<qsizetype>(13 + 4 * m.ints.size() + blobBytes));
    out.append(char(m.op));
    putU32(out, static_cast<uint32_t>(m.code));
    putU32(out, static_cast<uint32_t>(m.ints.size()));
    const qsizetype at = out.size();
    out.resize(at + static_cast<qsizetype>(4 * m.ints.size()));
    char* p = out.data() + at;
    for (int32_t v : m.ints) {
        const auto u = static_cast<uint32_t>(v);
        p[0] = char(u & 0xff), p[1] = char((u >> 8) & 0xff), p[2] = char((u >> 16) & 0xff),
        p[3] = char((u >> 24) & 0xff);
        p += 4;
    }
    putU32(out, static_cast<uint32_t>(m.blobs.size()));
    for (const auto& b : m.blobs) {
        putU32(out, static_cast<uint32_t>(b.size()));
        out.append(b);
    }
    return out;
}

std::optional<Message> decodePayload(const char* data, size_t size) {
    Reader r(data, size);
    Message m;
    uint8_t op = 0;
    uint32_t code = 0, count = 0;
    if (!r.u8(op) || !r.u32(code) || !r.u32(count)) return std::nullopt;
    if (!linkOperation(static_cast<Op>(op))) return std::nullopt;
    m.op = static_cast<Op>(op);
    m.code = static_cast<int32_t>(code);
    if (count > r.left() / 4) return std::nullopt;
    m.ints.resize(count);
    const char* at = nullptr;
    r.bytes(size_t(count) * 4, at);
    for (uint32_t i = 0; i < count; ++i)
        m.ints[i] = static_cast<int32_t>(getU32(at + 4 * i));
    if (!r.u32(count) || count > r.left() / 4) return std::nullopt;
    m.blobs.reserve(count);
    for (uint32_t i = 0; i < count; ++i) {
        uint32_t len = 0;
        if (!r.u32(len) || !r.bytes(len, at)) return std::nullopt;
        m.blobs.emplace_back(at, static_cast<qsizetype>(len));
    }
    if (r.left() != 0) return std::nullopt;
    return m;
}

// ---- compact attendance records

namespace {

constexpr int64_t kMinutesPerYear = 12 * 31 * 24 * 60;

uint32_t zigzag(int32_t v) {
    return (static_cast<uint32_t>(v) << 1) ^ static_cast<uint32_t>(v >> 31);
}
uint64_t zigzag(int64_t v) {
    return (static_cast<uint64_t>(v) << 1) ^ static_cast<uint64_t>(v >> 63);
}
int32_t unzigzag32(uint64_t u) {
    return static_cast<int32_t>(static_cast<uint32_t>(u >> 1) ^
                                (0u - static_cast<uint32_t>(u & 1)));
}
int64_t unzigzag64(uint64_t u) {
    return static_cast<int64_t>((u >> 1) ^ (0ull - (u & 1)));
}

// A record takes at most 5 + 5 + 5 * 5 bytes (a raw time), or 5 + 5 + 10.
constexpr size_t kMaxRecordBytes = 35;

unsigned char* putVarint(unsigned char* p, uint64_t v) {
    while (v >= 0x80) {
        *p++ = static_cast<unsigned char>(v | 0x80);
        v >>= 7;
    }
    *p++ = static_cast<unsigned char>(v);
    return p;
}

bool getVarint(const unsigned char*& p, const unsigned char* end, uint64_t& v) {
    v = 0;
    for (int shift = 0; shift < 64; shift += 7) {
        if (p == end) return false;
        const unsigned char b = *p++;
        if (shift == 63 && b > 1) return false; // more than 64 bits
        v |= static_cast<uint64_t>(b & 0x7f) << shift;
        if (!(b & 0x80)) return true;
    }
    return false;
}

bool get32(const unsigned char*& p, const unsigned char* end, int32_t& v) {
    uint64_t u = 0;
    if (!getVarint(p, end, u) || u > UINT32_MAX) return false;
    v = unzigzag32(u);
    return true;
}

int64_t floorDiv(int64_t a, int64_t b) {
    return a / b - ((a % b != 0) && ((a < 0) != (b < 0)));
}

// A calendar-like count of minutes: every month has 31 days. It is not a
// real time, only a number that grows by little from one record to the next.
bool hasPlainTime(const int32_t* r) {
    return r[3] >= 1 && r[3] <= 12 && r[4] >= 1 && r[4] <= 31 && r[5] >= 0 && r[5] <= 23 &&
           r[6] >= 0 && r[6] <= 59;
}
int64_t minutesOf(const int32_t* r) {
    return (((int64_t(r[2]) * 12 + (r[3] - 1)) * 31 + (r[4] - 1)) * 24 + r[5]) * 60 + r[6];
}

} // namespace

QByteArray encodeLogRows(const int32_t* rows, size_t count) {
    QByteArray out(static_cast<qsizetype>(count * kMaxRecordBytes), Qt::Uninitialized);
    auto* const begin = reinterpret_cast<unsigned char*>(out.data());
    unsigned char* p = begin;
    int64_t previous = 0;
    for (size_t i = 0; i < count; ++i) {
        const int32_t* r = rows + i * kLogInts;
        const bool plain = hasPlainTime(r);
        p = putVarint(p, uint64_t(zigzag(r[1])) << 1 | (plain ? 0 : 1));
        p = putVarint(p, zigzag(r[0]));
        if (plain) {
            const int64_t minutes = minutesOf(r);
            p = putVarint(p, zigzag(minutes - previous));
            previous = minutes;
        } else {
            for (int k = 2; k < kLogInts; ++k)
                p = putVarint(p, zigzag(r[k]));
        }
    }
    out.truncate(p - begin);
    return out;
}

bool decodeLogRows(const char* data, size_t size, size_t count, std::vector<int32_t>& rows) {
    // Every record takes at least three bytes: refuse a count the bytes can't hold
    // before allocating for it.
    if (count > size / 3) return false;
    rows.resize(count * kLogInts);
    const auto* p = reinterpret_cast<const unsigned char*>(data);
    const auto* end = p + size;
    int64_t previous = 0;
    for (size_t i = 0; i < count; ++i) {
        int32_t* r = rows.data() + i * kLogInts;
        uint64_t head = 0;
        if (!getVarint(p, end, head) || (head >> 1) > UINT32_MAX) return false;
        r[1] = unzigzag32(head >> 1);
        if (!get32(p, end, r[0])) return false;
        if (head & 1) {
            for (int k = 2; k < kLogInts; ++k)
                if (!get32(p, end, r[k])) return false;
            continue;
        }
        uint64_t delta = 0;
        int64_t minutes = 0;
        if (!getVarint(p, end, delta) ||
            __builtin_add_overflow(previous, unzigzag64(delta), &minutes))
            return false;
        previous = minutes;
        const int64_t year = floorDiv(minutes, kMinutesPerYear);
        if (year < INT32_MIN || year > INT32_MAX) return false;
        int64_t rest = minutes - year * kMinutesPerYear;
        r[2] = static_cast<int32_t>(year);
        r[6] = static_cast<int32_t>(rest % 60), rest /= 60;
        r[5] = static_cast<int32_t>(rest % 24), rest /= 24;
        r[4] = static_cast<int32_t>(rest % 31) + 1, rest /= 31;
        r[3] = static_cast<int32_t>(rest) + 1;
    }
    return p == end;
}

QByteArray encodeFrame(const Message& m, uint8_t version) {
    const QByteArray payload = encodePayload(m);
    QByteArray frame;
    frame.reserve(kHeaderSize + payload.size() + kTrailerSize);
    frame.append("VT", 2);
    frame.append(char(version));
    putU32(frame, static_cast<uint32_t>(payload.size()));
    frame.append(payload);
    putU32(frame, crcOf(frame.constData() + 2, static_cast<size_t>(frame.size() - 2)));
    return frame;
}

FrameDecoder::Status FrameDecoder::next(Message& out) {
    const qsizetype have = buffer_.size();
    const char* p = buffer_.constData();
    // Check what has arrived so far, so that garbage is refused at once
    // instead of waiting for a length's worth of bytes that never come.
    if (have >= 1 && p[0] != 'V') return Status::Malformed;
    if (have >= 2 && p[1] != 'T') return Status::Malformed;
    const auto version = static_cast<uint8_t>(have >= 3 ? p[2] : kMinVersion);
    if (version < kMinVersion || version > newest_) return Status::Malformed;
    if (have < kHeaderSize) return Status::NeedMore;
    const uint32_t len = getU32(p + 3);
    if (len > kMaxPayload) return Status::Malformed;
    const qsizetype total = kHeaderSize + qsizetype(len) + kTrailerSize;
    if (have < total) return Status::NeedMore;
    const uint32_t crc = getU32(p + kHeaderSize + len);
    if (crc != crcOf(p + 2, size_t(kHeaderSize - 2) + len)) return Status::Malformed;
    auto m = decodePayload(p + kHeaderSize, len);
    if (!m || linkOperation(m->op)->since > version) return Status::Malformed;
    out = std::move(*m);
    version_ = version;
    buffer_.remove(0, total);
    return Status::Frame;
}

} // namespace wire
