// Feeds arbitrary bytes to the history line reader; a line that parses
// writes back to one that parses the same.

#include "transfer/TransferHistory.h"

#include <cstddef>
#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const auto entry = parseHistoryLine(
        QByteArrayView(reinterpret_cast<const char*>(data), static_cast<qsizetype>(size)));
    if (!entry) return 0;
    const auto back = parseHistoryLine(historyLine(*entry));
    if (!back || *back != *entry) __builtin_trap();
    return 0;
}
