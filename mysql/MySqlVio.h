#pragma once
// Byte-stream transports under the packet layer: an abstract transport with a
// read-ahead buffer and a retried write, a TCP socket transport with time
// limits, and an in-memory transport for tests and fuzzing.

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>

struct addrinfo;

namespace v270::mysql {

class TVio {
  public:
    static constexpr size_t kReadAheadSize = 32768;
    static constexpr size_t kDirectReadThreshold = 2048;

    explicit TVio(size_t readAheadSize = kReadAheadSize);
    virtual ~TVio();
    TVio(const TVio&) = delete;
    TVio& operator=(const TVio&) = delete;

    virtual int GetTimeout() const = 0;
    virtual void SetTimeout(int seconds) = 0;
    // Returns false and records the error text on failure.
    virtual bool TryConnect() = 0;
    // Raises SocketException with the error text on failure.
    virtual void Connect();
    virtual void Close() = 0;
    // One receive call; 0 on error (error recorded) or when the peer closed.
    virtual size_t RawRead(uint8_t* dest, size_t count) = 0;
    // One send call; 0 on error (error recorded).
    virtual size_t RawWrite(const uint8_t* src, size_t count) = 0;
    // Buffered read: small reads are served from the read-ahead buffer.
    size_t Read(uint8_t* dest, size_t count) {
        // Fast path for the common case of a row already in the buffer.
        if (count != 0 && count <= bufLen_ - bufPos_) {
            std::memcpy(dest, buffer_.get() + bufPos_, count);
            bufPos_ += count;
            if (bufPos_ == bufLen_) bufLen_ = bufPos_ = 0;
            return count;
        }
        return ReadSlow(dest, count);
    }
    // The bytes read ahead and not yet taken: a reader may take a whole
    // packet from there at once. Take(n) with n at most what is there.
    const uint8_t* ReadAhead(size_t& available) const {
        available = bufLen_ - bufPos_;
        return buffer_.get() + bufPos_;
    }
    void Take(size_t n) {
        bufPos_ += n;
        if (bufPos_ == bufLen_) bufLen_ = bufPos_ = 0;
    }
    // Write with a short retry on zero-byte sends.
    virtual size_t Write(const uint8_t* src, size_t count);
    virtual bool WaitForData(int seconds) = 0;
    virtual int GetSocket() const = 0;
    // True for a transport that encrypts (TLS): only there may a password
    // cross in the clear.
    virtual bool IsSecure() const { return false; }

    const std::string& LastError() const { return lastError_; }
    int LastErrorCode() const { return lastErrorCode_; }

  protected:
    void ClearError() {
        lastError_.clear();
        lastErrorCode_ = 0;
    }
    void ResetReadAhead() { bufLen_ = bufPos_ = 0; }
    // A read-ahead of n bytes (the bytes read ahead and not taken stay).
    // Each refill asks for up to this many bytes. Returns the old buffer:
    // the packet read last may still be looked at where it lies.
    std::unique_ptr<uint8_t[]> SetReadAheadSize(size_t n);
    size_t ReadAheadSize() const { return readAheadSize_; }

    std::string lastError_;
    int lastErrorCode_ = 0;

  private:
    size_t ReadSlow(uint8_t* dest, size_t count);
    std::unique_ptr<uint8_t[]> buffer_;
    size_t readAheadSize_ = kReadAheadSize;
    size_t bufLen_ = 0;
    size_t bufPos_ = 0;
};

// Performs one TCP connect: resolve, create the socket, connect without
// blocking and wait with poll, all within one time limit. A host-name lookup
// runs on a short-lived thread that is abandoned when the limit passes (the
// resolver has no time limit of ours); the connect itself leaves no thread
// and no socket behind.
class TConnector {
  public:
    using ResolveFunction = int (*)(const char* host, const char* service, const addrinfo* hints,
                                    addrinfo** result);

    TConnector(std::string host, int port, int ipVersion)
        : host_(std::move(host)), port_(port), ipVersion_(ipVersion) {}
    // timeoutMs <= 0: no limit. Returns the socket, or -1 with the error set.
    int Run(int timeoutMs);
    // The name lookup of every connect (getaddrinfo); tests put a slow one
    // in its place. Returns the one it replaces.
    static ResolveFunction SetResolver(ResolveFunction resolver);
    const std::string& LastError() const { return lastError_; }
    int LastErrorCode() const { return lastErrorCode_; }
    bool TimedOut() const { return timedOut_; }

  private:
    // Fills result, or records the error and returns false.
    bool Resolve(std::chrono::steady_clock::time_point deadline, bool limited, addrinfo** result);
    // A TCP socket for the address, with keep-alive; -1 with the error set.
    int openSocket(const addrinfo& address);
    // Waits for a connect in progress on fd; returns its errno (0: connected).
    int waitForConnect(int fd, std::chrono::steady_clock::time_point deadline, bool limited);
    void SetTimedOut();

    std::string host_;
    int port_;
    int ipVersion_;
    std::string lastError_;
    int lastErrorCode_ = 0;
    bool timedOut_ = false;
};

class TVioSocket : public TVio {
  public:
    ~TVioSocket() override;

    int GetTimeout() const override { return receiveTimeout_; }
    void SetTimeout(int seconds) override;
    void Close() override;
    size_t RawRead(uint8_t* dest, size_t count) override;
    size_t RawWrite(const uint8_t* src, size_t count) override;
    bool WaitForData(int seconds) override;
    int GetSocket() const override { return socket_; }

    const std::string& Host() const { return host_; }
    void SetHost(const std::string& host);
    int Port() const { return port_; }
    void SetPort(int port);
    void SetSendTimeout(int seconds) { sendTimeout_ = seconds; }
    int ConnectionTimeout() const { return connectionTimeout_; }

  protected:
    void ApplyTimeouts();

    std::string host_;
    int port_ = 3306;
    int ipVersion_ = 0; // 0 IPv4, 1 IPv6, 2 either
    int socket_ = -1;
    int connectionTimeout_ = 0;
    int receiveTimeout_ = 30;
    int sendTimeout_ = 0;
};

class TVioTcp : public TVioSocket {
  public:
    TVioTcp(std::string host, int port, int ipVersion);
    bool TryConnect() override;
};

// In-memory transport: reads come from a fixed input (at most chunk bytes
// per raw read, to exercise partial reads), writes are collected.
class MemoryVio : public TVio {
  public:
    explicit MemoryVio(std::string input = {}, size_t chunk = 0);
    int GetTimeout() const override { return 0; }
    void SetTimeout(int) override {}
    bool TryConnect() override { return true; }
    void Close() override {
        closed_ = true;
        ResetReadAhead();
    }
    size_t RawRead(uint8_t* dest, size_t count) override;
    size_t RawWrite(const uint8_t* src, size_t count) override;
    bool WaitForData(int) override { return pos_ < input_.size(); }
    int GetSocket() const override { return -1; }

    void Append(const std::string& more);
    // The next input of the same connection: what was not read of the last
    // one, read ahead or not, is dropped, and so are the collected writes;
    // a closed transport is open again. Lets a fuzzer run many inputs over
    // one logged-in session.
    void Reset(std::string_view input, size_t chunk);
    const std::string& Output() const { return output_; }
    void ClearOutput() { output_.clear(); }
    size_t RawReads() const { return rawReads_; }
    bool Closed() const { return closed_; }

  private:
    // An input in memory needs no read-ahead larger than itself: a refill
    // asks for up to the read-ahead's size, and gets what is left either
    // way, so the reads are those of the full-size buffer.
    static size_t ReadAheadFor(size_t inputSize);
    void FitReadAhead();

    std::string input_;
    // The read-ahead before it last grew, kept until it grows again.
    std::unique_ptr<uint8_t[]> previousReadAhead_;
    size_t pos_ = 0;
    size_t chunk_;
    std::string output_;
    size_t rawReads_ = 0;
    bool closed_ = false;
};

} // namespace v270::mysql
