#include "MySqlTls.h"

#include "MySqlErrors.h"

#include <arpa/inet.h>
#include <cerrno>
#include <climits>
#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>

namespace v270::mysql {

namespace {

// OpenSSL's queued errors, earliest first, joined; then the queue is empty.
std::string QueuedErrors() {
    std::string text;
    int kept = 0;
    while (unsigned long e = ERR_get_error()) {
        if (++kept > 3) continue;
        char buf[256];
        ERR_error_string_n(e, buf, sizeof buf);
        if (!text.empty()) text += "; ";
        text += buf;
    }
    return text;
}

[[noreturn]] void Fail(const std::string& what) {
    std::string reason = QueuedErrors();
    throw EMySqlException::Make(CR_SSL_CONNECTION_ERROR,
                                reason.empty() ? what : what + ": " + reason);
}

// OpenSSL keeps the TLS 1.3 suites (TLS_AES_128_GCM_SHA256 and the like)
// apart from the older cipher list: each part of the list goes to its own
// call, and a part left empty keeps its version's defaults. A list of which
// nothing is known is refused.
void setCiphers(SSL_CTX* ctx, const std::string& list) {
    std::string suites, older;
    size_t start = 0;
    while (start <= list.size()) {
        size_t end = list.find_first_of(": ,", start);
        if (end == std::string::npos) end = list.size();
        const std::string name = list.substr(start, end - start);
        std::string& part = name.rfind("TLS_", 0) == 0 ? suites : older;
        if (!name.empty()) part += (part.empty() ? "" : ":") + name;
        start = end + 1;
    }
    const bool suitesSet = !suites.empty() && SSL_CTX_set_ciphersuites(ctx, suites.c_str()) == 1;
    const bool olderSet = !older.empty() && SSL_CTX_set_cipher_list(ctx, older.c_str()) == 1;
    if (!suitesSet && !olderSet) Fail("no usable cipher in '" + list + "'");
    // The part that was not taken must not be told as the handshake's error.
    ERR_clear_error();
}

bool IsIpAddress(const std::string& host) {
    unsigned char buf[sizeof(in6_addr)];
    return inet_pton(AF_INET, host.c_str(), buf) == 1 ||
           inet_pton(AF_INET6, host.c_str(), buf) == 1;
}

// A BIO over our own transport, so that TLS runs over the transport's
// buffered reads and retried writes and under its time limits.
TVio* VioOf(BIO* b) {
    return static_cast<TVio*>(BIO_get_data(b));
}

int VioBioRead(BIO* b, char* out, int length) {
    BIO_clear_retry_flags(b);
    if (length <= 0) return 0;
    TVio* vio = VioOf(b);
    size_t got = vio->Read(reinterpret_cast<uint8_t*>(out), static_cast<size_t>(length));
    if (got > 0) return static_cast<int>(got);
    return vio->LastErrorCode() != 0 ? -1 : 0;
}

int VioBioWrite(BIO* b, const char* in, int length) {
    BIO_clear_retry_flags(b);
    if (length <= 0) return 0;
    size_t put = VioOf(b)->Write(reinterpret_cast<const uint8_t*>(in), static_cast<size_t>(length));
    return put > 0 ? static_cast<int>(put) : -1;
}

long VioBioCtrl(BIO*, int command, long, void*) {
    return command == BIO_CTRL_FLUSH ? 1 : 0;
}

BIO_METHOD* VioBioMethod() {
    // Made once for the process and never freed: every BIO made from it
    // may outlive any one connection.
    static BIO_METHOD* method = [] {
        BIO_METHOD* m = BIO_meth_new(BIO_get_new_index() | BIO_TYPE_SOURCE_SINK, "v270 transport");
        if (m) {
            BIO_meth_set_read(m, VioBioRead);
            BIO_meth_set_write(m, VioBioWrite);
            BIO_meth_set_ctrl(m, VioBioCtrl);
        }
        return m;
    }();
    return method;
}

struct CtxFree {
    void operator()(SSL_CTX* c) const { SSL_CTX_free(c); }
};
struct SslFree {
    void operator()(SSL* s) const { SSL_free(s); }
};

} // namespace

struct TVioSsl::Handles {
    std::unique_ptr<SSL_CTX, CtxFree> ctx;
    std::unique_ptr<SSL, SslFree> ssl;
    // After a fatal error OpenSSL must not send close_notify.
    bool fatal = false;
};

TVioSsl::TVioSsl(std::unique_ptr<TVio> inner, const TlsOptions& o, const std::string& host)
    : inner_(std::move(inner)), handles_(std::make_unique<Handles>()) {
    ERR_clear_error();
    handles_->ctx.reset(SSL_CTX_new(TLS_client_method()));
    SSL_CTX* ctx = handles_->ctx.get();
    if (!ctx || !VioBioMethod()) Fail("cannot set up TLS");
    if (!o.cipher.empty()) setCiphers(ctx, o.cipher);
    if (!o.ca.empty() || !o.caPath.empty()) {
        if (SSL_CTX_load_verify_locations(ctx, o.ca.empty() ? nullptr : o.ca.c_str(),
                                          o.caPath.empty() ? nullptr : o.caPath.c_str()) != 1)
            Fail("cannot read the CA certificates '" + (o.ca.empty() ? o.caPath : o.ca) + "'");
    } else if (o.verifyServerCert && SSL_CTX_set_default_verify_paths(ctx) != 1) {
        Fail("cannot read the system's CA certificates");
    }
    if (!o.cert.empty()) {
        const std::string& key = o.key.empty() ? o.cert : o.key;
        if (SSL_CTX_use_certificate_chain_file(ctx, o.cert.c_str()) != 1)
            Fail("cannot read the client certificate '" + o.cert + "'");
        if (SSL_CTX_use_PrivateKey_file(ctx, key.c_str(), SSL_FILETYPE_PEM) != 1)
            Fail("cannot read the client key '" + key + "'");
        if (SSL_CTX_check_private_key(ctx) != 1)
            Fail("the client key does not belong to the certificate");
    } else if (!o.key.empty()) {
        Fail("a client key needs its certificate");
    }
    SSL_CTX_set_verify(ctx, o.verifyServerCert ? SSL_VERIFY_PEER : SSL_VERIFY_NONE, nullptr);

    handles_->ssl.reset(SSL_new(ctx));
    SSL* ssl = handles_->ssl.get();
    BIO* bio = ssl ? BIO_new(VioBioMethod()) : nullptr;
    if (!bio) Fail("cannot set up TLS");
    BIO_set_data(bio, inner_.get());
    BIO_set_init(bio, 1);
    SSL_set_bio(ssl, bio, bio);

    const bool ip = IsIpAddress(host);
    if (o.verifyServerCert) {
        X509_VERIFY_PARAM* param = SSL_get0_param(ssl);
        X509_VERIFY_PARAM_set_hostflags(param, X509_CHECK_FLAG_NO_PARTIAL_WILDCARDS);
        const int set = ip ? X509_VERIFY_PARAM_set1_ip_asc(param, host.c_str())
                           : X509_VERIFY_PARAM_set1_host(param, host.c_str(), 0);
        if (set != 1) Fail("cannot check the server's name '" + host + "'");
    }
    if (!ip && !host.empty()) SSL_set_tlsext_host_name(ssl, host.c_str());

    const int rc = SSL_connect(ssl);
    if (rc == 1) return;
    handles_->fatal = true;
    std::string reason = QueuedErrors();
    const long verify = SSL_get_verify_result(ssl);
    if (o.verifyServerCert && verify != X509_V_OK)
        reason += std::string(reason.empty() ? "" : " (") + X509_verify_cert_error_string(verify) +
                  (reason.empty() ? "" : ")");
    if (reason.empty())
        reason = inner_->LastError().empty() ? "the server closed the connection during the TLS "
                                               "handshake"
                                             : inner_->LastError();
    throw EMySqlException::Make(CR_SSL_CONNECTION_ERROR, reason);
}

TVioSsl::~TVioSsl() {
    TVioSsl::Close();
}

void TVioSsl::Close() {
    if (!closed_) {
        closed_ = true;
        if (!handles_->fatal && handles_->ssl) {
            // Tell the server we are done; its answer is not waited for.
            ERR_clear_error();
            SSL_shutdown(handles_->ssl.get());
            ERR_clear_error();
        }
    }
    ResetReadAhead();
    inner_->Close();
}

void TVioSsl::RecordFailure(const char* what, int rc) {
    const int kind = SSL_get_error(handles_->ssl.get(), rc);
    if (kind == SSL_ERROR_ZERO_RETURN) {
        // The server closed the TLS session: like a socket closed by the peer.
        ERR_clear_error();
        return;
    }
    handles_->fatal = true;
    std::string reason = QueuedErrors();
    if (reason.empty() && !inner_->LastError().empty()) {
        lastError_ = inner_->LastError();
        lastErrorCode_ = inner_->LastErrorCode();
        return;
    }
    lastErrorCode_ = inner_->LastErrorCode() != 0 ? inner_->LastErrorCode() : EPROTO;
    lastError_ = std::string(what) + ":\r\n" + (reason.empty() ? "TLS failure" : reason);
}

size_t TVioSsl::RawRead(uint8_t* dest, size_t count) {
    ClearError();
    if (closed_ || handles_->fatal) {
        lastErrorCode_ = EBADF;
        lastError_ = "Error on data reading from the connection: Invalid socket";
        return 0;
    }
    ERR_clear_error();
    const int n =
        SSL_read(handles_->ssl.get(), dest, static_cast<int>(std::min<size_t>(count, INT_MAX)));
    if (n > 0) return static_cast<size_t>(n);
    RecordFailure("Error on data reading from the connection", n);
    return 0;
}

size_t TVioSsl::RawWrite(const uint8_t* src, size_t count) {
    ClearError();
    if (closed_ || handles_->fatal) {
        lastErrorCode_ = EBADF;
        lastError_ = "Error on data writing to the connection: Invalid socket";
        return 0;
    }
    if (count == 0) return 0;
    ERR_clear_error();
    const int n =
        SSL_write(handles_->ssl.get(), src, static_cast<int>(std::min<size_t>(count, INT_MAX)));
    if (n > 0) return static_cast<size_t>(n);
    RecordFailure("Error on data writing to the connection", n);
    if (lastErrorCode_ == 0) lastErrorCode_ = EPIPE;
    return 0;
}

bool TVioSsl::WaitForData(int seconds) {
    if (!closed_ && SSL_pending(handles_->ssl.get()) > 0) return true;
    return inner_->WaitForData(seconds);
}

std::string TVioSsl::Version() const {
    return handles_->ssl ? SSL_get_version(handles_->ssl.get()) : "";
}

std::string TVioSsl::Cipher() const {
    const char* name = handles_->ssl ? SSL_get_cipher_name(handles_->ssl.get()) : nullptr;
    return name ? name : "";
}

} // namespace v270::mysql
