#pragma once
// TLS (OpenSSL) over the transport of a login: the SSL switch of the login
// packet wraps the TCP transport in a TVioSsl, and every later byte, the
// compressed framing included, goes through it.

#include "MySqlVio.h"

#include <memory>
#include <string>

namespace v270::mysql {

struct TlsOptions {
    std::string key;    // client key file (PEM); empty: the certificate file holds it
    std::string cert;   // client certificate file (PEM), for servers that ask for one
    std::string ca;     // file of trusted CA certificates (PEM)
    std::string caPath; // directory of trusted CA certificates
    std::string cipher; // OpenSSL cipher list; TLS_ names are TLS 1.3 suites
    // Check the server's certificate against the CA (the system's CAs when
    // none is given) and its name against the host connected to.
    bool verifyServerCert = false;
};

class TVioSsl : public TVio {
  public:
    // Runs the TLS handshake over inner as a client of host. Raises
    // EMySqlException 2026 with OpenSSL's reason.
    TVioSsl(std::unique_ptr<TVio> inner, const TlsOptions& options, const std::string& host);
    ~TVioSsl() override;

    int GetTimeout() const override { return inner_->GetTimeout(); }
    void SetTimeout(int seconds) override { inner_->SetTimeout(seconds); }
    // Connected by the handshake.
    bool TryConnect() override { return !closed_; }
    // Sends close_notify, then closes the transport underneath.
    void Close() override;
    size_t RawRead(uint8_t* dest, size_t count) override;
    size_t RawWrite(const uint8_t* src, size_t count) override;
    bool WaitForData(int seconds) override;
    int GetSocket() const override { return inner_->GetSocket(); }
    bool IsSecure() const override { return !closed_; }

    // "TLSv1.3", "TLS_AES_256_GCM_SHA384".
    std::string Version() const;
    std::string Cipher() const;

  private:
    struct Handles;
    // Records the failure of an SSL_read or SSL_write that returned rc.
    void RecordFailure(const char* what, int rc);

    std::unique_ptr<TVio> inner_;
    std::unique_ptr<Handles> handles_;
    bool closed_ = false;
};

} // namespace v270::mysql
