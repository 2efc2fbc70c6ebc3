#include "MySqlVio.h"

#include "MySqlErrors.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <mutex>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <system_error>
#include <thread>
#include <unistd.h>
#include <utility>

namespace v270::mysql {

namespace {

std::string CodeText(int code) {
    char buf[64];
    std::snprintf(buf, sizeof buf, "%d($%X)", code, static_cast<unsigned>(code));
    return buf;
}

std::string SocketErrorText(const char* what, int code) {
    return std::string(what) + ":\r\n" + std::strerror(code) +
           ".\r\nSocket Error Code: " + CodeText(code);
}

} // namespace

TVio::TVio(size_t readAheadSize)
    : buffer_(std::make_unique_for_overwrite<uint8_t[]>(readAheadSize)),
      readAheadSize_(readAheadSize) {}
TVio::~TVio() = default;

std::unique_ptr<uint8_t[]> TVio::SetReadAheadSize(size_t n) {
    const size_t pending = bufLen_ - bufPos_;
    if (n < pending) n = pending;
    auto bigger = std::make_unique_for_overwrite<uint8_t[]>(n);
    if (pending) std::memcpy(bigger.get(), buffer_.get() + bufPos_, pending);
    std::swap(buffer_, bigger);
    readAheadSize_ = n;
    bufPos_ = 0;
    bufLen_ = pending;
    return bigger;
}

void TVio::Connect() {
    if (!TryConnect())
        throw SocketException(lastError_.empty() ? "Unknown socket error" : lastError_);
}

size_t TVio::ReadSlow(uint8_t* dest, size_t count) {
    if (count == 0) return 0;
    size_t done = 0;
    if (bufPos_ < bufLen_) {
        done = std::min(count, bufLen_ - bufPos_);
        std::memcpy(dest, buffer_.get() + bufPos_, done);
        bufPos_ += done;
        if (bufPos_ == bufLen_) bufLen_ = bufPos_ = 0;
    }
    if (done == count) return done;
    if (count - done < kDirectReadThreshold) {
        size_t got = RawRead(buffer_.get(), readAheadSize_);
        if (got == 0) return done;
        bufLen_ = got;
        bufPos_ = 0;
        size_t n = std::min(count - done, bufLen_);
        std::memcpy(dest + done, buffer_.get(), n);
        bufPos_ = n;
        if (bufPos_ == bufLen_) bufLen_ = bufPos_ = 0;
        done += n;
    }
    while (done < count) {
        size_t got = RawRead(dest + done, count - done);
        if (got == 0) break;
        done += got;
    }
    return done;
}

size_t TVio::Write(const uint8_t* src, size_t count) {
    size_t done = 0;
    int zeroTries = 0;
    while (done < count) {
        size_t n = RawWrite(src + done, count - done);
        if (n == 0) {
            if (lastErrorCode_ != 0 || ++zeroTries >= 3) break;
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
            continue;
        }
        done += n;
    }
    return done;
}

// ---------------------------------------------------------------------------

namespace {

std::atomic<TConnector::ResolveFunction> g_resolver{&::getaddrinfo};

// The resolver's failures as errno values, so that the code printed beside
// the resolver's text is a real one.
int ResolverErrno(int rc, int systemErrno) {
    switch (rc) {
    case EAI_SYSTEM:
        return systemErrno;
    case EAI_AGAIN:
        return EAGAIN;
    case EAI_MEMORY:
        return ENOMEM;
    case EAI_NONAME:
    case EAI_NODATA:
    case EAI_ADDRFAMILY:
        return ENOENT;
    case EAI_BADFLAGS:
    case EAI_FAMILY:
    case EAI_SOCKTYPE:
    case EAI_SERVICE:
        return EINVAL;
    default:
        return EIO;
    }
}

// One lookup, shared by the connecting thread and the lookup thread so that
// whichever ends last frees it.
struct Lookup {
    std::string host, service;
    addrinfo hints{};
    TConnector::ResolveFunction resolve = nullptr;
    std::mutex mutex;
    std::condition_variable finished;
    bool done = false;
    int rc = 0;
    int systemErrno = 0;
    addrinfo* result = nullptr;

    void Run() {
        addrinfo* r = nullptr;
        int code = resolve(host.c_str(), service.c_str(), &hints, &r);
        int e = errno;
        std::lock_guard lock(mutex);
        rc = code;
        systemErrno = e;
        result = r;
        done = true;
        finished.notify_all();
    }
    ~Lookup() {
        if (result) freeaddrinfo(result);
    }
};

} // namespace

TConnector::ResolveFunction TConnector::SetResolver(ResolveFunction resolver) {
    return g_resolver.exchange(resolver ? resolver : &::getaddrinfo);
}

void TConnector::SetTimedOut() {
    timedOut_ = true;
    lastErrorCode_ = ETIMEDOUT;
    lastError_ = "Cannot connect to server on host '" + host_ + "': Connection timed out";
}

bool TConnector::Resolve(std::chrono::steady_clock::time_point deadline, bool limited,
                         addrinfo** result) {
    auto job = std::make_shared<Lookup>();
    job->host = host_;
    job->service = std::to_string(port_);
    job->hints.ai_family = ipVersion_ == 1 ? AF_INET6 : ipVersion_ == 2 ? AF_UNSPEC : AF_INET;
    job->hints.ai_socktype = SOCK_STREAM;
    job->hints.ai_protocol = IPPROTO_TCP;
    job->resolve = g_resolver.load();

    // A numeric address needs no resolver and cannot hang.
    addrinfo numeric = job->hints;
    numeric.ai_flags = AI_NUMERICHOST;
    if (::getaddrinfo(job->host.c_str(), job->service.c_str(), &numeric, result) == 0 && *result)
        return true;

    bool threaded = false;
    if (limited) {
        try {
            std::thread([job] { job->Run(); }).detach();
            threaded = true;
        } catch (const std::system_error&) {
            // No thread to be had: look up on this one.
        }
    }
    if (!threaded) job->Run();
    std::unique_lock lock(job->mutex);
    if (!job->finished.wait_until(lock, deadline, [&] { return job->done; })) {
        SetTimedOut();
        return false;
    }
    if (job->rc == 0 && job->result) {
        *result = std::exchange(job->result, nullptr);
        return true;
    }
    int rc = job->rc == 0 ? EAI_NONAME : job->rc;
    lastErrorCode_ = ResolverErrno(rc, job->systemErrno);
    std::string text = rc == EAI_SYSTEM ? std::strerror(job->systemErrno) : gai_strerror(rc);
    lastError_ = "Unknown host '" + host_ + "'.\r\n" + text +
                 ".\r\nSocket Error Code: " + CodeText(lastErrorCode_);
    return false;
}

int TConnector::Run(int timeoutMs) {
    lastError_.clear();
    lastErrorCode_ = 0;
    timedOut_ = false;
    const bool limited = timeoutMs > 0;
    const auto deadline =
        limited ? std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs)
                : std::chrono::steady_clock::time_point::max();

    addrinfo* found = nullptr;
    if (!Resolve(deadline, limited, &found)) return -1;
    std::unique_ptr<addrinfo, void (*)(addrinfo*)> guard(found, freeaddrinfo);

    const int fd = openSocket(*found);
    if (fd < 0) return -1;
    int flags = fcntl(fd, F_GETFL, 0);
    fcntl(fd, F_SETFL, flags | O_NONBLOCK);
    int err = 0;
    if (::connect(fd, found->ai_addr, found->ai_addrlen) != 0) {
        err = errno;
        if (err == EINPROGRESS) err = waitForConnect(fd, deadline, limited);
    }
    if (err != 0) {
        ::close(fd);
        if (timedOut_) {
            SetTimedOut();
        } else {
            lastErrorCode_ = err;
            lastError_ =
                SocketErrorText(("Cannot connect to server on host '" + host_ + "'").c_str(), err);
        }
        return -1;
    }
    fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
    return fd;
}

int TConnector::openSocket(const addrinfo& address) {
    int fd = ::socket(address.ai_family, SOCK_STREAM | SOCK_CLOEXEC, IPPROTO_TCP);
    if (fd < 0) {
        lastErrorCode_ = errno;
        lastError_ = std::string("Cannot create TCP/IP socket:\r\n") + std::strerror(errno) +
                     ".\r\nSocket Error Code: " + CodeText(lastErrorCode_);
        return -1;
    }
    // Keep-alive: 15 s idle, 1 s between probes.
    int one = 1, idle = 15, interval = 1;
    (void)setsockopt(fd, SOL_SOCKET, SO_KEEPALIVE, &one, sizeof one);
    (void)setsockopt(fd, IPPROTO_TCP, TCP_KEEPIDLE, &idle, sizeof idle);
    (void)setsockopt(fd, IPPROTO_TCP, TCP_KEEPINTVL, &interval, sizeof interval);
    return fd;
}

int TConnector::waitForConnect(int fd, std::chrono::steady_clock::time_point deadline,
                               bool limited) {
    pollfd p{fd, POLLOUT, 0};
    for (;;) {
        int wait = -1;
        if (limited) {
            auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                            deadline - std::chrono::steady_clock::now())
                            .count();
            wait = static_cast<int>(std::max<long long>(left, 0));
        }
        int pr = ::poll(&p, 1, wait);
        if (pr < 0 && errno == EINTR) continue;
        if (pr < 0) return errno;
        if (pr == 0) {
            timedOut_ = true;
            return ETIMEDOUT;
        }
        int err = 0;
        socklen_t len = sizeof err;
        if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len) != 0) err = errno;
        return err;
    }
}

// ---------------------------------------------------------------------------

TVioSocket::~TVioSocket() {
    TVioSocket::Close();
}

void TVioSocket::SetHost(const std::string& host) {
    if (socket_ >= 0) throw SocketException("Cannot change host for the active connection");
    host_ = host;
}

void TVioSocket::SetPort(int port) {
    if (socket_ >= 0) throw SocketException("Cannot change port for the active connection");
    port_ = port;
}

void TVioSocket::ApplyTimeouts() {
    if (socket_ < 0) return;
    timeval tv{};
    tv.tv_sec = receiveTimeout_;
    (void)setsockopt(socket_, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    if (sendTimeout_ > 0) {
        timeval st{};
        st.tv_sec = sendTimeout_;
        (void)setsockopt(socket_, SOL_SOCKET, SO_SNDTIMEO, &st, sizeof st);
    }
}

void TVioSocket::SetTimeout(int seconds) {
    connectionTimeout_ = seconds;
    if (seconds != receiveTimeout_) {
        receiveTimeout_ = seconds;
        ApplyTimeouts();
    }
}

void TVioSocket::Close() {
    ResetReadAhead();
    if (socket_ < 0) return;
    ::shutdown(socket_, SHUT_RDWR);
    ::close(socket_);
    socket_ = -1;
}

size_t TVioSocket::RawRead(uint8_t* dest, size_t count) {
    ClearError();
    for (;;) {
        ssize_t n = ::recv(socket_, dest, count, 0);
        if (n >= 0) return static_cast<size_t>(n);
        if (errno == EINTR) continue;
        lastErrorCode_ = errno;
        lastError_ = SocketErrorText("Error on data reading from the connection", errno);
        return 0;
    }
}

size_t TVioSocket::RawWrite(const uint8_t* src, size_t count) {
    ClearError();
    if (socket_ < 0) {
        lastErrorCode_ = EBADF;
        lastError_ = "Error on data writing to the connection: Invalid socket";
        return 0;
    }
    for (;;) {
        // MSG_NOSIGNAL: a peer that went away must give an error, not SIGPIPE.
        ssize_t n = ::send(socket_, src, count, MSG_NOSIGNAL);
        if (n >= 0) return static_cast<size_t>(n);
        if (errno == EINTR) continue;
        lastErrorCode_ = errno;
        lastError_ = SocketErrorText("Error on data writing to the connection", errno);
        return 0;
    }
}

bool TVioSocket::WaitForData(int seconds) {
    pollfd p{socket_, POLLIN, 0};
    for (;;) {
        int rc = ::poll(&p, 1, seconds * 1000);
        if (rc < 0 && errno == EINTR) continue;
        if (rc < 0)
            throw SocketException(
                SocketErrorText("Error on data waiting from the connection", errno));
        return rc > 0;
    }
}

TVioTcp::TVioTcp(std::string host, int port, int ipVersion) {
    host_ = std::move(host);
    port_ = port;
    ipVersion_ = ipVersion;
}

bool TVioTcp::TryConnect() {
    ResetReadAhead();
    ClearError();
    Close();
    if (host_.empty()) host_ = "localhost";
    TConnector connector(host_, port_, ipVersion_);
    int fd = connector.Run(connectionTimeout_ > 0 ? connectionTimeout_ * 1000 : 0);
    if (fd < 0) {
        lastError_ = connector.LastError();
        lastErrorCode_ = connector.LastErrorCode();
        return false;
    }
    socket_ = fd;
    int one = 1;
    (void)setsockopt(socket_, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    ApplyTimeouts();
    return true;
}

// ---------------------------------------------------------------------------

size_t MemoryVio::RawRead(uint8_t* dest, size_t count) {
    ClearError();
    ++rawReads_;
    if (closed_) {
        lastErrorCode_ = EBADF;
        lastError_ = "Error on data reading from the connection: Invalid socket";
        return 0;
    }
    size_t n = std::min(count, input_.size() - pos_);
    if (chunk_ > 0) n = std::min(n, chunk_);
    if (n == 0) return 0;
    std::memcpy(dest, input_.data() + pos_, n);
    pos_ += n;
    return n;
}

MemoryVio::MemoryVio(std::string input, size_t chunk)
    : TVio(ReadAheadFor(input.size())), input_(std::move(input)), chunk_(chunk) {}

size_t MemoryVio::ReadAheadFor(size_t inputSize) {
    return std::clamp<size_t>(inputSize, 64, kReadAheadSize);
}

void MemoryVio::FitReadAhead() {
    if (ReadAheadSize() < std::min(input_.size(), kReadAheadSize))
        previousReadAhead_ = SetReadAheadSize(ReadAheadFor(input_.size()));
}

void MemoryVio::Append(const std::string& more) {
    input_ += more;
    FitReadAhead();
}

void MemoryVio::Reset(std::string_view input, size_t chunk) {
    input_.assign(input);
    pos_ = 0;
    chunk_ = chunk;
    output_.clear();
    closed_ = false;
    ResetReadAhead();
    FitReadAhead();
}

size_t MemoryVio::RawWrite(const uint8_t* src, size_t count) {
    ClearError();
    if (closed_) {
        lastErrorCode_ = EBADF;
        lastError_ = "Error on data writing to the connection: Invalid socket";
        return 0;
    }
    output_.append(reinterpret_cast<const char*>(src), count);
    return count;
}

} // namespace v270::mysql
