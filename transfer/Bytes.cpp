#include "Bytes.h"

#include <cstring>
#include <zlib.h>

namespace {

template <typename T> void putLittleEndian(QByteArray& out, T v) {
    char b[sizeof(T)];
    for (size_t i = 0; i < sizeof(T); ++i)
        b[i] = static_cast<char>(v >> (8 * i));
    out.append(b, sizeof(T));
}

template <typename T> T getLittleEndian(const char* p) {
    T v = 0;
    for (size_t i = 0; i < sizeof(T); ++i)
        v |= T(static_cast<unsigned char>(p[i])) << (8 * i);
    return v;
}

} // namespace

void putU32(QByteArray& out, uint32_t v) {
    putLittleEndian(out, v);
}

void putU64(QByteArray& out, uint64_t v) {
    putLittleEndian(out, v);
}

uint32_t crcOf(const char* data, size_t size) {
    return static_cast<uint32_t>(
        crc32(crc32(0L, Z_NULL, 0), reinterpret_cast<const Bytef*>(data), static_cast<uInt>(size)));
}

bool ByteReader::u32(uint32_t& v) {
    if (rest() < 4) return false;
    v = getLittleEndian<uint32_t>(data_ + at_);
    at_ += 4;
    return true;
}

bool ByteReader::u64(uint64_t& v) {
    if (rest() < 8) return false;
    v = getLittleEndian<uint64_t>(data_ + at_);
    at_ += 8;
    return true;
}

bool ByteReader::bytes(size_t n, const char*& at) {
    if (rest() < n) return false;
    at = data_ + at_;
    at_ += n;
    return true;
}

bool ByteReader::expect(const char* bytes, size_t n) {
    if (rest() < n || std::memcmp(data_ + at_, bytes, n) != 0) return false;
    at_ += n;
    return true;
}
