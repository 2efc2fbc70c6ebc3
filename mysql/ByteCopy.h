#pragma once
// Copies of a few bytes, the size of most values: without a call of memcpy,
// which costs more than such a copy itself.

#include <cstdint>
#include <cstring>

namespace v270::mysql {

inline void copyBytes(void* dest, const void* src, size_t n) {
    char* d = static_cast<char*>(dest);
    const char* s = static_cast<const char*>(src);
    // Two copies of a fixed size that overlap in the middle cover any length
    // between one and two of them.
    auto two = [&](auto word) {
        using Word = decltype(word);
        Word head, tail;
        std::memcpy(&head, s, sizeof head);
        std::memcpy(&tail, s + n - sizeof tail, sizeof tail);
        std::memcpy(d, &head, sizeof head);
        std::memcpy(d + n - sizeof tail, &tail, sizeof tail);
    };
    if (n > 16)
        std::memcpy(d, s, n);
    else if (n >= 8)
        two(uint64_t{});
    else if (n >= 4)
        two(uint32_t{});
    else if (n >= 2)
        two(uint16_t{});
    else if (n == 1)
        *d = *s;
}

} // namespace v270::mysql
