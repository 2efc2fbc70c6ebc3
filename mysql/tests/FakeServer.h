#pragma once
// A scripted server on loopback for the client tests: it accepts one
// connection and plays a list of steps (send bytes, receive a packet, close).

#include <cstdint>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace v270::mysql::test {

struct Step {
    enum Kind { Send, Receive, ReceiveCompressed, Close, Stall, StartTls } kind;
    std::string bytes;
    int milliseconds = 0;
    static Step Out(std::string b) { return {Send, std::move(b)}; }
    static Step In() { return {Receive, {}}; }
    static Step InCompressed() { return {ReceiveCompressed, {}}; }
    static Step Hangup() { return {Close, {}}; }
    // Sends nothing for a while, or until the client closes.
    static Step Silence(int ms) { return {Stall, {}, ms}; }
    // Accepts TLS with the test identity; what follows goes through it.
    static Step Tls() { return {StartTls, {}}; }
};

// A 2048-bit RSA key and a self-signed certificate for localhost and
// 127.0.0.1, made once per process.
struct TestIdentity {
    std::string keyPem;       // private key
    std::string publicKeyPem; // "-----BEGIN PUBLIC KEY-----"
    std::string certPem;
    // RSA-OAEP decryption with the private key; empty on failure.
    std::string Decrypt(const std::string& cipherText) const;
};
const TestIdentity& Identity();

struct Received {
    uint8_t seq = 0;
    std::string payload;
    // Compressed frames only: the uncompressed-length field of the frame.
    size_t plainLength = 0;
};

class FakeServer {
  public:
    explicit FakeServer(std::vector<Step> script);
    ~FakeServer();
    int Port() const { return port_; }
    // Waits for the script to end; the packets the client sent.
    const std::vector<Received>& Finish();

  private:
    void Run();
    int listener_ = -1;
    int port_ = 0;
    std::vector<Step> script_;
    std::vector<Received> received_;
    std::thread thread_;
};

std::string Bytes(std::initializer_list<int> b);
std::string Packet(uint8_t seq, const std::string& payload);
std::string Lc(const std::string& s);
// A protocol-10 greeting with a 20-byte scramble "abcdefghijklmnopqrst".
std::string GreetingPayload(uint16_t caps = 0xF7FF, const std::string& version = "5.5.5-10.11.6",
                            bool secondPart = true);
// A greeting with CLIENT_PLUGIN_AUTH naming plugin, as MySQL 8 sends it, with
// the scramble "abcdefghijklmnopqrst"; tls adds CLIENT_SSL.
std::string PluginGreetingPayload(const std::string& plugin, bool tls = false);
std::string ErrorPayload(int code, const std::string& text);
std::string OkPayload(uint64_t affected = 0, uint16_t status = 2);
std::string EofPayload(uint16_t status = 2);
std::string ColumnDef(const std::string& name, uint8_t type = 253, uint32_t length = 40,
                      uint16_t flags = 0, uint8_t decimals = 0, uint16_t charset = 8);

// What a server sends for a login: the greeting (sequence 0) and the OK (2).
std::string LoginReplies();
// A result set as the reply to a statement: column count, definitions, EOF,
// rows (nothing for NULL), EOF.
using Row = std::vector<std::optional<std::string>>;
std::string ResultReply(const std::vector<std::string>& columns, const std::vector<Row>& rows);

} // namespace v270::mysql::test
