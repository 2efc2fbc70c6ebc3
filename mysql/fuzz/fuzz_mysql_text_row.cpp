// Text-protocol rows; the first byte is the column count.
#include "mysql/MySqlPacket.h"

#include <cstdint>

using namespace v270::mysql;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    size_t columns = data[0] % 64;
    TMySqlBinds binds;
    try {
        binds.ParseTextRow(data + 1, size - 1, columns);
        // Touch every value byte so a bad offset shows up under ASan.
        volatile unsigned sum = 0;
        for (size_t i = 0; i < binds.Count(); ++i)
            for (char c : binds.Field(i))
                sum = sum + static_cast<unsigned char>(c);
    } catch (const EMySqlException&) {
    }
    return 0;
}
