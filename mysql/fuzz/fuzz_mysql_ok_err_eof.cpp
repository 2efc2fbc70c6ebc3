// OK, error and EOF packets; the first byte picks the protocol flags.
#include "mysql/MySqlPacket.h"

#include <cstdint>

using namespace v270::mysql;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    bool p41 = data[0] & 1, transactions = data[0] & 2;
    ++data;
    --size;
    try {
        OkPacket ok = ParseOk(data, size, p41, transactions);
        (void)ok;
    } catch (const EMySqlException&) {
    }
    try {
        CheckErrorPacket(data, size);
    } catch (const EMySqlException&) {
    }
    if (IsEofPacket(data, size)) (void)ParseEof(data, size);
    return 0;
}
