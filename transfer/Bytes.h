#pragma once

#include <QByteArray>

#include <cstddef>
#include <cstdint>

// Little-endian numbers in the program's own binary files (the delivery
// journal), and the checksum over them.

void putU32(QByteArray& out, uint32_t v);
void putU64(QByteArray& out, uint64_t v);

// CRC-32 as zlib computes it.
uint32_t crcOf(const char* data, size_t size);

// Takes numbers off the front of bytes read from a file, so from outside:
// every read checks that the bytes are there, and a read that finds them
// missing takes nothing and returns false. A parser ends by saying what
// becomes of the bytes after what it read: refused (rest() != 0), or
// skipped with a comment why.
class ByteReader {
  public:
    ByteReader(const char* data, size_t size) : data_(data), size_(size) {}

    bool u32(uint32_t& v);
    bool u64(uint64_t& v);
    // The next bytes are exactly these.
    bool expect(const char* bytes, size_t n);
    // Points at the next n bytes and takes them.
    bool bytes(size_t n, const char*& at);

    size_t consumed() const { return at_; }
    size_t rest() const { return size_ - at_; }
    void skipRest() { at_ = size_; }

  private:
    const char* data_;
    size_t size_;
    size_t at_ = 0;
};
