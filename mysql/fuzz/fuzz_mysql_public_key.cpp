// The public key a server sends for caching_sha2_password's full
// authentication, read and used to encrypt a password.
#include "mysql/MySqlAuth.h"
#include "mysql/MySqlErrors.h"

#include <cstdint>
#include <string>

using namespace v270::mysql;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    try {
        (void)EncryptPassword(std::string_view(reinterpret_cast<const char*>(data), size), "gizli",
                              "abcdefghijklmnopqrst");
    } catch (const EMySqlException&) {
    }
    return 0;
}
