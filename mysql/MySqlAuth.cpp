#include "MySqlAuth.h"

#include "MySqlPacket.h"

#include <memory>
#include <sodium.h>
#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rsa.h>

namespace v270::mysql {

namespace {

[[noreturn]] void PluginError(std::string_view plugin, const std::string& why) {
    ERR_clear_error();
    throw EMySqlException::Make(CR_AUTH_PLUGIN_ERR, {}, {std::string(plugin), why});
}

void Sha256(const void* data, size_t n, uint8_t out[32]) {
    unsigned int len = 32;
    EVP_Digest(data, n, out, &len, EVP_sha256(), nullptr);
}

struct PkeyFree {
    void operator()(EVP_PKEY* k) const { EVP_PKEY_free(k); }
};
struct PkeyCtxFree {
    void operator()(EVP_PKEY_CTX* c) const { EVP_PKEY_CTX_free(c); }
};
struct BioFree {
    void operator()(BIO* b) const { BIO_free(b); }
};

// Clears secrets on every way out.
template <size_t N> struct Secret {
    uint8_t bytes[N];
    ~Secret() { sodium_memzero(bytes, N); }
};

} // namespace

AuthSwitch ParseAuthSwitch(const uint8_t* data, size_t length) {
    PacketReader r(data, length);
    PacketReader::Need(r.ReadByte() == kAuthSwitchRequest);
    AuthSwitch s;
    // The name is a C string; a packet without its 0 byte is not a request.
    const uint8_t* start = r.Current();
    const void* nul = r.Remaining() ? std::memchr(start, 0, r.Remaining()) : nullptr;
    PacketReader::Need(nul != nullptr);
    s.plugin = r.ReadNulString();
    PacketReader::Need(!s.plugin.empty());
    // The rest is the plugin's own data, however long.
    s.data = r.ReadRest();
    r.ExpectEnd();
    return s;
}

std::string ParseAuthMoreData(const uint8_t* data, size_t length) {
    PacketReader r(data, length);
    PacketReader::Need(r.ReadByte() == kAuthMoreData);
    std::string more = r.ReadRest();
    r.ExpectEnd();
    return more;
}

std::string_view TwentyByteScramble(std::string_view data) {
    PacketReader r(reinterpret_cast<const uint8_t*>(data.data()), data.size());
    r.Skip(20);
    if (r.Remaining() == 1) PacketReader::Need(r.ReadByte() == 0);
    r.ExpectEnd();
    return data.substr(0, 20);
}

std::string ScrambleSha256(std::string_view scramble, std::string_view password) {
    Secret<32> s1, s2;
    uint8_t buf[32 + 64], m[32];
    Sha256(password.data(), password.size(), s1.bytes);
    Sha256(s1.bytes, 32, s2.bytes);
    std::memcpy(buf, s2.bytes, 32);
    const size_t n = std::min<size_t>(scramble.size(), 64);
    std::memcpy(buf + 32, scramble.data(), n);
    Sha256(buf, 32 + n, m);
    std::string out(32, '\0');
    for (size_t i = 0; i < 32; ++i)
        out[i] = static_cast<char>(s1.bytes[i] ^ m[i]);
    return out;
}

std::string EncryptPassword(std::string_view pem, std::string_view password,
                            std::string_view scramble) {
    const std::string_view plugin = kCachingSha2Password;
    if (scramble.empty()) PluginError(plugin, "no scramble to encrypt the password with");
    ERR_clear_error();
    // A key of many kilobytes is no key a server sends.
    if (pem.size() > 65536) PluginError(plugin, "the server's public key is too long");
    std::unique_ptr<BIO, BioFree> bio(BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size())));
    if (!bio) PluginError(plugin, "the server's public key cannot be read");
    // The PEM armour first, then the DER key inside it: reading the key in
    // one call goes through every decoder the library knows, many times
    // slower for the one kind of key a server sends.
    char* name = nullptr;
    char* header = nullptr;
    unsigned char* der = nullptr;
    long derLength = 0;
    const bool armoured = PEM_read_bio(bio.get(), &name, &header, &der, &derLength) == 1;
    const bool isPublicKey = armoured && std::string_view(name) == PEM_STRING_PUBLIC;
    const unsigned char* cursor = der;
    std::unique_ptr<EVP_PKEY, PkeyFree> key(isPublicKey ? d2i_PUBKEY(nullptr, &cursor, derLength)
                                                        : nullptr);
    OPENSSL_free(name);
    OPENSSL_free(header);
    OPENSSL_free(der);
    if (!key || EVP_PKEY_get_base_id(key.get()) != EVP_PKEY_RSA)
        PluginError(plugin, "the server's public key is not an RSA public key in PEM form");

    std::string plain(password);
    plain += '\0';
    for (size_t i = 0; i < plain.size(); ++i)
        plain[i] = static_cast<char>(plain[i] ^ scramble[i % scramble.size()]);
    struct Wipe {
        std::string& s;
        ~Wipe() { sodium_memzero(s.data(), s.size()); }
    } wipe{plain};

    std::unique_ptr<EVP_PKEY_CTX, PkeyCtxFree> ctx(EVP_PKEY_CTX_new(key.get(), nullptr));
    size_t outLength = 0;
    if (!ctx || EVP_PKEY_encrypt_init(ctx.get()) != 1 ||
        EVP_PKEY_CTX_set_rsa_padding(ctx.get(), RSA_PKCS1_OAEP_PADDING) != 1 ||
        EVP_PKEY_encrypt(ctx.get(), nullptr, &outLength,
                         reinterpret_cast<const uint8_t*>(plain.data()), plain.size()) != 1)
        PluginError(plugin, "cannot encrypt with the server's public key");
    // OAEP with SHA-1 leaves the key's size less 42 bytes for the message.
    if (plain.size() + 42 > static_cast<size_t>(EVP_PKEY_get_size(key.get())))
        PluginError(plugin, "the password is too long for the server's public key");
    std::string out(outLength, '\0');
    if (EVP_PKEY_encrypt(ctx.get(), reinterpret_cast<uint8_t*>(out.data()), &outLength,
                         reinterpret_cast<const uint8_t*>(plain.data()), plain.size()) != 1)
        PluginError(plugin, "cannot encrypt with the server's public key");
    out.resize(outLength);
    return out;
}

std::string Ed25519Sign(std::string_view password, std::string_view message) {
    static const bool ready = sodium_init() >= 0;
    if (!ready) PluginError(kEd25519, "libsodium cannot start");
    // az: the hash of the password; its first half, clamped, is the secret
    // scalar a, its second half keys the nonce.
    Secret<64> az, wide, nonce;
    Secret<32> a, r;
    crypto_hash_sha512(az.bytes, reinterpret_cast<const uint8_t*>(password.data()),
                       password.size());
    az.bytes[0] &= 248;
    az.bytes[31] &= 63;
    az.bytes[31] |= 64;
    std::memset(wide.bytes, 0, 64);
    std::memcpy(wide.bytes, az.bytes, 32);
    crypto_core_ed25519_scalar_reduce(a.bytes, wide.bytes);
    uint8_t publicKey[32];
    if (crypto_scalarmult_ed25519_base_noclamp(publicKey, a.bytes) != 0)
        PluginError(kEd25519, "the password gives no key");

    crypto_hash_sha512_state h;
    crypto_hash_sha512_init(&h);
    crypto_hash_sha512_update(&h, az.bytes + 32, 32);
    crypto_hash_sha512_update(&h, reinterpret_cast<const uint8_t*>(message.data()), message.size());
    crypto_hash_sha512_final(&h, nonce.bytes);
    crypto_core_ed25519_scalar_reduce(r.bytes, nonce.bytes);

    uint8_t signature[64];
    // R = rB; a nonce of 0 (never in practice) gives the neutral point.
    if (crypto_scalarmult_ed25519_base_noclamp(signature, r.bytes) != 0) {
        std::memset(signature, 0, 32);
        signature[0] = 1;
    }
    uint8_t hram[64], k[32], ka[32];
    crypto_hash_sha512_init(&h);
    crypto_hash_sha512_update(&h, signature, 32);
    crypto_hash_sha512_update(&h, publicKey, 32);
    crypto_hash_sha512_update(&h, reinterpret_cast<const uint8_t*>(message.data()), message.size());
    crypto_hash_sha512_final(&h, hram);
    crypto_core_ed25519_scalar_reduce(k, hram);
    // S = r + k·a (mod L).
    crypto_core_ed25519_scalar_mul(ka, k, a.bytes);
    crypto_core_ed25519_scalar_add(signature + 32, r.bytes, ka);
    sodium_memzero(ka, sizeof ka);
    return std::string(reinterpret_cast<char*>(signature), 64);
}

} // namespace v270::mysql
