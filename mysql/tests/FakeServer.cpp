#include "FakeServer.h"

#include "mysql/MySqlPacket.h"

#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>
#include <zlib.h>

#include <stdexcept>

namespace v270::mysql::test {

namespace {
bool ReadAll(int fd, void* p, size_t n) {
    auto* b = static_cast<uint8_t*>(p);
    while (n) {
        ssize_t r = ::recv(fd, b, n, 0);
        if (r <= 0) return false;
        b += r;
        n -= static_cast<size_t>(r);
    }
    return true;
}
void WriteAll(int fd, const std::string& s) {
    size_t done = 0;
    while (done < s.size()) {
        ssize_t w = ::send(fd, s.data() + done, s.size() - done, MSG_NOSIGNAL);
        if (w <= 0) return;
        done += static_cast<size_t>(w);
    }
}
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
    for (const Step& s : script_) {
        if (s.kind == Step::Send) {
            WriteAll(fd, s.bytes);
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
                if (!ReadAll(fd, h, 4)) goto done;
                len = Le24(h);
                r.seq = h[3];
                size_t old = r.payload.size();
                r.payload.resize(old + len);
                if (!ReadAll(fd, r.payload.data() + old, len)) goto done;
            } while (len == kMaxPacketPayload);
            received_.push_back(std::move(r));
        } else {
            uint8_t h[7];
            if (!ReadAll(fd, h, 7)) break;
            Received r;
            r.seq = h[3];
            r.plainLength = Le24(h + 4);
            std::string body(Le24(h), '\0');
            if (!ReadAll(fd, body.data(), body.size())) break;
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
done:
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
