// The packets of a plugin exchange on their own: an authentication switch
// request, more data of a plugin, and the scramble a switch carries.
#include "mysql/MySqlAuth.h"
#include "mysql/MySqlErrors.h"

#include <cstdint>
#include <string>

using namespace v270::mysql;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    try {
        AuthSwitch s = ParseAuthSwitch(data, size);
        (void)TwentyByteScramble(s.data);
    } catch (const EMySqlException&) {
    }
    try {
        (void)ParseAuthMoreData(data, size);
    } catch (const EMySqlException&) {
    }
    return 0;
}
