// The login from the greeting on, as far as the server's bytes take it:
// the greeting's plugin name, authentication switch requests to every
// plugin, caching_sha2_password's replies and the public key it asks for.
// The first byte picks the transport's chunk size and an empty password.
#include "mysql/MySqlSession.h"

#include <cstdint>
#include <string>

using namespace v270::mysql;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    TMySqlSession s;
    s.protocol = 3; // use the transport attached below instead of TCP
    s.net.AttachVio(std::make_unique<MemoryVio>(
        std::string(reinterpret_cast<const char*>(data + 1), size - 1), data[0] & 7));
    try {
        s.RealConnect("h", "u", data[0] & 8 ? "" : "gizli", "db", 3306, 0);
    } catch (const EMySqlException&) {
    }
    return 0;
}
