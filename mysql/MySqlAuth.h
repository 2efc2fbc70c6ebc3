#pragma once
// Authentication plugins beyond the 4.1 and pre-4.1 scrambles: MySQL's
// caching_sha2_password (SHA-256 scramble, RSA-OAEP full authentication)
// and MariaDB's client_ed25519, and the packets of a plugin exchange.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace v270::mysql {

inline constexpr std::string_view kNativePassword = "mysql_native_password";
inline constexpr std::string_view kOldPassword = "mysql_old_password";
inline constexpr std::string_view kCachingSha2Password = "caching_sha2_password";
inline constexpr std::string_view kEd25519 = "client_ed25519";
inline constexpr std::string_view kClearPassword = "mysql_clear_password";

// First byte of a packet during the login.
constexpr uint8_t kAuthMoreData = 0x01;
constexpr uint8_t kAuthSwitchRequest = 0xFE;
// caching_sha2_password's replies and its request for the public key.
constexpr uint8_t kFastAuthSuccess = 3;
constexpr uint8_t kPerformFullAuthentication = 4;
constexpr uint8_t kRequestPublicKey = 2;

// Authentication switch request: 0xFE, the plugin's name, its data.
struct AuthSwitch {
    std::string plugin;
    std::string data;
};
// Raises 2027 for a packet that is not one.
AuthSwitch ParseAuthSwitch(const uint8_t* data, size_t length);

// More data of the plugin at work: 0x01 and its bytes. Raises 2027.
std::string ParseAuthMoreData(const uint8_t* data, size_t length);

// The scramble a plugin signs: 20 bytes, where the server may add the
// 0 byte that ends its C string. Raises 2027 for anything else.
std::string_view TwentyByteScramble(std::string_view data);

// caching_sha2_password's fast path: SHA-256(password) XOR
// SHA-256(SHA-256(SHA-256(password)) + scramble); 32 bytes.
std::string ScrambleSha256(std::string_view scramble, std::string_view password);

// caching_sha2_password's full authentication over plain TCP: the password
// with its terminating 0, XOR the scramble, encrypted with RSA-OAEP under
// the server's public key (PEM). Raises 2061 for a key that is not an RSA
// public key or too short for the password.
std::string EncryptPassword(std::string_view publicKeyPem, std::string_view password,
                            std::string_view scramble);

// client_ed25519 as MariaDB defines it: an Ed25519 signature of the
// server's 32-byte scramble, with the key derived from the password as
// Ed25519 derives it from a seed (SHA-512, clamped), whatever the
// password's length. 64 bytes.
std::string Ed25519Sign(std::string_view password, std::string_view message);

} // namespace v270::mysql
