// Feeds arbitrary bytes to the compact record decoder. The first byte says
// how many records to expect; whatever decodes must encode back to records
// that decode the same.

#include "terminal/LinkProtocol.h"

#include <cstddef>
#include <cstdint>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    const size_t count = data[0];
    const char* bytes = reinterpret_cast<const char*>(data + 1);
    std::vector<int32_t> rows;
    if (!wire::decodeLogRows(bytes, size - 1, count, rows)) return 0;
    if (rows.size() != count * wire::kLogInts) __builtin_trap();
    const QByteArray again = wire::encodeLogRows(rows.data(), count);
    std::vector<int32_t> back;
    if (!wire::decodeLogRows(again.constData(), static_cast<size_t>(again.size()), count, back) ||
        back != rows)
        __builtin_trap();
    return 0;
}
