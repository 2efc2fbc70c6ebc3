// Feeds arbitrary bytes to the delivery journal's slot parser; a slot that
// parses writes back to one that parses the same.

#include "transfer/JournalFormat.h"

#include <cstddef>
#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    uint64_t sequence = 0;
    const auto entries = parseJournalSlot(reinterpret_cast<const char*>(data), size, &sequence);
    if (!entries) return 0;
    const QByteArray again = serializeJournalSlot(*entries, sequence);
    uint64_t sequenceAgain = 0;
    const auto back =
        parseJournalSlot(again.constData(), static_cast<size_t>(again.size()), &sequenceAgain);
    if (!back || *back != *entries || sequenceAgain != sequence) __builtin_trap();
    return 0;
}
