// Server bytes from the greeting on through the login exchange.
#include "mysql/MySqlSession.h"

#include <cstdint>
#include <string>

using namespace v270::mysql;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    TMySqlSession s;
    s.protocol = 3; // use the transport attached below instead of TCP
    s.net.AttachVio(
        std::make_unique<MemoryVio>(std::string(reinterpret_cast<const char*>(data), size)));
    try {
        s.RealConnect("h", "u", "pw", "db", 3306, CLIENT_COMPRESS);
    } catch (const EMySqlException&) {
    }
    try {
        ParseGreeting(data, size);
    } catch (const EMySqlException&) {
    }
    return 0;
}
