#include "FakeServer.h"

#include "mysql/MySqlPacket.h"

#include <csignal>
#include <memory>
#include <netinet/in.h>
#include <poll.h>
#include <stdexcept>
#include <sys/socket.h>
#include <unistd.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rsa.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>
#include <zlib.h>

namespace v270::mysql::test {

namespace {
// The connection, through TLS once a StartTls step has run.
struct Conn {
    int fd = -1;
    SSL* ssl = nullptr;
    SSL_CTX* ctx = nullptr;
    ~Conn() {
        SSL_free(ssl);
        SSL_CTX_free(ctx);
    }
    ssize_t Recv(void* p, size_t n) {
        if (!ssl) return ::recv(fd, p, n, 0);
        int r = SSL_read(ssl, p, static_cast<int>(n));
        return r > 0 ? r : -1;
    }
    ssize_t Send(const void* p, size_t n) {
        if (!ssl) return ::send(fd, p, n, MSG_NOSIGNAL);
        int w = SSL_write(ssl, p, static_cast<int>(n));
        return w > 0 ? w : -1;
    }
    bool StartTls() {
        // OpenSSL writes to the socket with write(): a client that went
        // away must not end the test process.
        std::signal(SIGPIPE, SIG_IGN);
        const TestIdentity& id = Identity();
        ctx = SSL_CTX_new(TLS_server_method());
        BIO* cert = BIO_new_mem_buf(id.certPem.data(), static_cast<int>(id.certPem.size()));
        BIO* key = BIO_new_mem_buf(id.keyPem.data(), static_cast<int>(id.keyPem.size()));
        X509* x = PEM_read_bio_X509(cert, nullptr, nullptr, nullptr);
        EVP_PKEY* k = PEM_read_bio_PrivateKey(key, nullptr, nullptr, nullptr);
        bool ok =
            x && k && SSL_CTX_use_certificate(ctx, x) == 1 && SSL_CTX_use_PrivateKey(ctx, k) == 1;
        X509_free(x);
        EVP_PKEY_free(k);
        BIO_free(cert);
        BIO_free(key);
        if (!ok) return false;
        ssl = SSL_new(ctx);
        SSL_set_fd(ssl, fd);
        if (SSL_accept(ssl) == 1) return true;
        SSL_free(ssl);
        ssl = nullptr;
        return false;
    }
};

bool ReadAll(Conn& c, void* p, size_t n) {
    auto* b = static_cast<uint8_t*>(p);
    while (n) {
        ssize_t r = c.Recv(b, n);
        if (r <= 0) return false;
        b += r;
        n -= static_cast<size_t>(r);
    }
    return true;
}
void WriteAll(Conn& c, const std::string& s) {
    size_t done = 0;
    while (done < s.size()) {
        ssize_t w = c.Send(s.data() + done, s.size() - done);
        if (w <= 0) return;
        done += static_cast<size_t>(w);
    }
}

std::string PemOf(int (*write)(BIO*, const void*), const void* object) {
    BIO* b = BIO_new(BIO_s_mem());
    write(b, object);
    char* data = nullptr;
    long n = BIO_get_mem_data(b, &data);
    std::string pem(data, static_cast<size_t>(n));
    BIO_free(b);
    return pem;
}

TestIdentity MakeIdentity() {
    TestIdentity id;
    EVP_PKEY* key = EVP_RSA_gen(2048);
    X509* x = X509_new();
    X509_set_version(x, 2);
    ASN1_INTEGER_set(X509_get_serialNumber(x), 1);
    X509_gmtime_adj(X509_getm_notBefore(x), -60);
    X509_gmtime_adj(X509_getm_notAfter(x), 24 * 3600);
    X509_set_pubkey(x, key);
    X509_NAME* name = X509_get_subject_name(x);
    X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC,
                               reinterpret_cast<const unsigned char*>("localhost"), -1, -1, 0);
    X509_set_issuer_name(x, name);
    X509V3_CTX v3;
    X509V3_set_ctx_nodb(&v3);
    X509V3_set_ctx(&v3, x, x, nullptr, nullptr, 0);
    X509_EXTENSION* san =
        X509V3_EXT_conf_nid(nullptr, &v3, NID_subject_alt_name, "DNS:localhost,IP:127.0.0.1");
    X509_add_ext(x, san, -1);
    X509_EXTENSION_free(san);
    X509_sign(x, key, EVP_sha256());
    id.keyPem = PemOf(
        [](BIO* b, const void* k) {
            return PEM_write_bio_PrivateKey(b, static_cast<EVP_PKEY*>(const_cast<void*>(k)),
                                            nullptr, nullptr, 0, nullptr, nullptr);
        },
        key);
    id.publicKeyPem = PemOf(
        [](BIO* b, const void* k) {
            return PEM_write_bio_PUBKEY(b, static_cast<EVP_PKEY*>(const_cast<void*>(k)));
        },
        key);
    id.certPem = PemOf(
        [](BIO* b, const void* c) {
            return PEM_write_bio_X509(b, static_cast<X509*>(const_cast<void*>(c)));
        },
        x);
    X509_free(x);
    EVP_PKEY_free(key);
    return id;
}
} // namespace

const TestIdentity& Identity() {
    static const TestIdentity id = MakeIdentity();
    return id;
}

std::string TestIdentity::Decrypt(const std::string& cipherText) const {
    BIO* b = BIO_new_mem_buf(keyPem.data(), static_cast<int>(keyPem.size()));
    EVP_PKEY* key = PEM_read_bio_PrivateKey(b, nullptr, nullptr, nullptr);
    BIO_free(b);
    std::string out;
    EVP_PKEY_CTX* ctx = key ? EVP_PKEY_CTX_new(key, nullptr) : nullptr;
    size_t n = 0;
    const auto* in = reinterpret_cast<const unsigned char*>(cipherText.data());
    if (ctx && EVP_PKEY_decrypt_init(ctx) == 1 &&
        EVP_PKEY_CTX_set_rsa_padding(ctx, RSA_PKCS1_OAEP_PADDING) == 1 &&
        EVP_PKEY_decrypt(ctx, nullptr, &n, in, cipherText.size()) == 1) {
        out.resize(n);
        if (EVP_PKEY_decrypt(ctx, reinterpret_cast<unsigned char*>(out.data()), &n, in,
                             cipherText.size()) == 1)
            out.resize(n);
        else
            out.clear();
    }
    EVP_PKEY_CTX_free(ctx);
    EVP_PKEY_free(key);
    return out;
}

namespace {
size_t Le24(const uint8_t* h) {
    return h[0] | (h[1] << 8) | (size_t(h[2]) << 16);
}
} // namespace

FakeServer::FakeServer(std::vector<Step> script) : script_(std::move(script)) {
    listener_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::bind(listener_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
        ::listen(listener_, 1) != 0)
        throw std::runtime_error("fake server: cannot listen");
    socklen_t len = sizeof a;
    ::getsockname(listener_, reinterpret_cast<sockaddr*>(&a), &len);
    port_ = ntohs(a.sin_port);
    thread_ = std::thread([this] { Run(); });
}

FakeServer::~FakeServer() {
    if (listener_ >= 0) ::shutdown(listener_, SHUT_RDWR);
    if (thread_.joinable()) thread_.join();
    if (listener_ >= 0) ::close(listener_);
}

const std::vector<Received>& FakeServer::Finish() {
    if (thread_.joinable()) thread_.join();
    return received_;
}

void FakeServer::Run() {
    int fd = ::accept(listener_, nullptr, nullptr);
    if (fd < 0) return;
    {
        Conn conn;
        conn.fd = fd;
        for (const Step& s : script_) {
            if (s.kind == Step::StartTls) {
                if (!conn.StartTls()) break;
            } else if (s.kind == Step::Send) {
                WriteAll(conn, s.bytes);
            } else if (s.kind == Step::Close) {
                break;
            } else if (s.kind == Step::Stall) {
                pollfd p{fd, POLLIN, 0};
                ::poll(&p, 1, s.milliseconds);
            } else if (s.kind == Step::Receive) {
                // One logical packet, joined over 16 MB fragments.
                Received r;
                size_t len;
                do {
                    uint8_t h[4];
                    if (!ReadAll(conn, h, 4)) goto done;
                    len = Le24(h);
                    r.seq = h[3];
                    size_t old = r.payload.size();
                    r.payload.resize(old + len);
                    if (!ReadAll(conn, r.payload.data() + old, len)) goto done;
                } while (len == kMaxPacketPayload);
                received_.push_back(std::move(r));
            } else {
                uint8_t h[7];
                if (!ReadAll(conn, h, 7)) break;
                Received r;
                r.seq = h[3];
                r.plainLength = Le24(h + 4);
                std::string body(Le24(h), '\0');
                if (!ReadAll(conn, body.data(), body.size())) break;
                if (r.plainLength == 0) {
                    r.payload = body;
                } else {
                    r.payload.resize(r.plainLength);
                    uLongf n = r.plainLength;
                    uncompress(reinterpret_cast<Bytef*>(r.payload.data()), &n,
                               reinterpret_cast<const Bytef*>(body.data()), body.size());
                }
                received_.push_back(std::move(r));
            }
        }
    done:;
    }
    ::shutdown(fd, SHUT_RDWR);
    ::close(fd);
}

std::string Bytes(std::initializer_list<int> b) {
    std::string s;
    for (int v : b)
        s += static_cast<char>(v);
    return s;
}

std::string Packet(uint8_t seq, const std::string& payload) {
    size_t n = payload.size();
    return Bytes({int(n & 0xFF), int((n >> 8) & 0xFF), int((n >> 16) & 0xFF), seq}) + payload;
}

std::string Lc(const std::string& s) {
    std::string out;
    AppendLengthCoded(out, s.size());
    return out + s;
}

std::string GreetingPayload(uint16_t caps, const std::string& version, bool secondPart) {
    std::string g = Bytes({10}) + version + Bytes({0}) + Bytes({42, 0, 0, 0}) + "abcdefgh" +
                    Bytes({0, caps & 0xFF, caps >> 8, 8, 2, 0});
    if (secondPart) g += std::string(13, '\0') + "ijklmnopqrst" + Bytes({0});
    return g;
}

std::string PluginGreetingPayload(const std::string& plugin, bool tls) {
    const uint32_t caps = (tls ? 0xFFFF : 0xF7FF) | CLIENT_PLUGIN_AUTH;
    return Bytes({10}) + "8.0.36" + Bytes({0}) + Bytes({42, 0, 0, 0}) + "abcdefgh" +
           Bytes({0, int(caps & 0xFF), int((caps >> 8) & 0xFF), 8, 2, 0, int((caps >> 16) & 0xFF),
                  int(caps >> 24), 21}) +
           std::string(10, '\0') + "ijklmnopqrst" + Bytes({0}) + plugin + Bytes({0});
}

std::string ErrorPayload(int code, const std::string& text) {
    return Bytes({0xFF, code & 0xFF, code >> 8}) + text;
}

std::string OkPayload(uint64_t affected, uint16_t status) {
    std::string s = Bytes({0});
    AppendLengthCoded(s, affected);
    s += Bytes({0, status & 0xFF, status >> 8, 0, 0});
    return s;
}

std::string EofPayload(uint16_t status) {
    return Bytes({0xFE, 0, 0, status & 0xFF, status >> 8});
}

std::string ColumnDef(const std::string& name, uint8_t type, uint32_t length, uint16_t flags,
                      uint8_t decimals, uint16_t charset) {
    std::string fixed = Bytes({charset & 0xFF, charset >> 8, int(length & 0xFF),
                               int((length >> 8) & 0xFF), int((length >> 16) & 0xFF),
                               int(length >> 24), type, flags & 0xFF, flags >> 8, decimals, 0, 0});
    return Lc("def") + Lc("db") + Lc("t") + Lc("t") + Lc(name) + Lc(name) + Lc(fixed);
}

std::string LoginReplies() {
    return Packet(0, GreetingPayload()) + Packet(2, OkPayload());
}

std::string ResultReply(const std::vector<std::string>& columns, const std::vector<Row>& rows) {
    uint8_t seq = 1;
    std::string count;
    AppendLengthCoded(count, columns.size());
    std::string out = Packet(seq++, count);
    for (const std::string& c : columns)
        out += Packet(seq++, c);
    out += Packet(seq++, EofPayload());
    for (const Row& row : rows) {
        std::string payload;
        for (const auto& v : row)
            payload += v ? Lc(*v) : Bytes({0xFB});
        out += Packet(seq++, payload);
    }
    return out + Packet(seq, EofPayload());
}

} // namespace v270::mysql::test
