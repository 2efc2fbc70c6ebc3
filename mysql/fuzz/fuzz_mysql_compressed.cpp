// Compressed framing and plain framing of a packet stream.
#include "mysql/MySqlNet.h"

#include <cstdint>
#include <string>

using namespace v270::mysql;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    bool compressed = data[0] & 1;
    bool skip = data[0] & 2;
    TMySqlNet net;
    net.AttachVio(std::make_unique<MemoryVio>(
        std::string(reinterpret_cast<const char*>(data + 1), size - 1), data[0] >> 4));
    net.SetCompress(compressed);
    try {
        for (int i = 0; i < 64; ++i) {
            if (skip)
                net.SkipPacket();
            else
                net.ReadPacket();
        }
    } catch (const EMySqlException&) {
    }
    return 0;
}
