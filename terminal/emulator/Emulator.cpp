#include "Emulator.h"

#include "terminal/ErrorNames.h"

#include <QFile>
#include <QLocalServer>
#include <QLocalSocket>
#include <QSocketNotifier>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>

#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

namespace {

// In the oldest version still spoken, so that any client can read why.
QByteArray errorFrame(int32_t code) {
    wire::Message m;
    m.op = wire::Op::Error;
    m.code = code;
    return wire::encodeFrame(m, wire::kMinVersion);
}

// What a client may send while its wait is held: a frame's worth. More is
// not a client waiting for its answer.
constexpr qsizetype kMaxBufferedWhileWaiting =
    wire::kHeaderSize + qsizetype(wire::kMaxPayload) + wire::kTrailerSize;

} // namespace

Emulator::Emulator(std::shared_ptr<DeviceModel> device)
    : device_(std::move(device)), waitClock_(std::make_unique<QTimer>()) {
    waitClock_->setSingleShot(true);
    waitClock_->setTimerType(Qt::PreciseTimer);
    connect(waitClock_.get(), &QTimer::timeout, this, [this] { wakeWaits(); });
}

Emulator::~Emulator() {
    for (auto& [device, c] : connections_) {
        QObject::disconnect(device, nullptr, this, nullptr);
        delete device; // a child of this; deleted now, while its handlers can't run
    }
    connections_.clear();
    if (local_) {
        local_->close();
        QLocalServer::removeServer(unixPath_);
    }
    ptyNotifier_.reset();
    if (!ptyLink_.isEmpty()) QFile::remove(ptyLink_);
    if (ptySlave_ >= 0) ::close(ptySlave_);
    if (ptyMaster_ >= 0) ::close(ptyMaster_);
}

bool Emulator::listenTcp(const QString& host, uint16_t port, QString* where, QString* error) {
    tcp_ = std::make_unique<QTcpServer>();
    QHostAddress address;
    if (host == QLatin1String("localhost"))
        address = QHostAddress::LocalHost;
    else if (!address.setAddress(host)) {
        *error = QStringLiteral("not an IP address: %1").arg(host);
        return false;
    }
    if (!tcp_->listen(address, port)) {
        *error = tcp_->errorString();
        return false;
    }
    *where = QStringLiteral("%1:%2").arg(tcp_->serverAddress().toString()).arg(tcp_->serverPort());
    connect(tcp_.get(), &QTcpServer::newConnection, this, [this] {
        while (QTcpSocket* s = tcp_->nextPendingConnection()) {
            s->setParent(this);
            s->setSocketOption(QAbstractSocket::LowDelayOption, 1);
            connect(s, &QTcpSocket::disconnected, this, [this, s] { drop(s); });
            adopt(s, true);
        }
    });
    return true;
}

bool Emulator::listenUnix(const QString& path, QString* error) {
    local_ = std::make_unique<QLocalServer>();
    local_->setSocketOptions(QLocalServer::UserAccessOption);
    QLocalServer::removeServer(path); // a stale socket file of an earlier run
    if (!local_->listen(path)) {
        *error = local_->errorString();
        return false;
    }
    unixPath_ = path;
    connect(local_.get(), &QLocalServer::newConnection, this, [this] {
        while (QLocalSocket* s = local_->nextPendingConnection()) {
            s->setParent(this);
            connect(s, &QLocalSocket::disconnected, this, [this, s] { drop(s); });
            adopt(s, false);
        }
    });
    return true;
}

void Emulator::adopt(QIODevice* device, bool checkPassword) {
    Connection& c = connections_[device];
    c.device = device;
    c.decoder = wire::FrameDecoder(device_->protocolVersion());
    c.client = device_->connectClient(checkPassword);
    connect(device, &QIODevice::readyRead, this, [this, device] { serve(device); });
    if (device->bytesAvailable() > 0) serve(device);
}

void Emulator::drop(QIODevice* device) {
    const auto it = connections_.find(device);
    if (it == connections_.end()) return;
    waiting_.erase(it->second.client);
    device_->disconnectClient(it->second.client);
    connections_.erase(it);
    device->deleteLater();
}

static void hangUp(QIODevice* device) {
    if (auto* s = qobject_cast<QTcpSocket*>(device))
        s->disconnectFromHost(); // sends what is queued, then closes
    else if (auto* l = qobject_cast<QLocalSocket*>(device))
        l->disconnectFromServer();
}

QByteArray Emulator::outgoing(const QByteArray& frame, QByteArray& held) {
    ++replies_;
    if (!mutator_) return frame;
    QByteArray out = mutator_->pass(frame, held);
    if (!mutator_->lastFault().isEmpty()) {
        const char* op = frame.size() > 7 ? wire::opName(static_cast<wire::Op>(frame[7])) : nullptr;
        std::fprintf(stderr, "v270-terminal: mutate reply %llu (%s, %lld bytes): %s\n",
                     static_cast<unsigned long long>(replies_), op ? op : "?",
                     static_cast<long long>(frame.size()), qPrintable(mutator_->lastFault()));
    }
    return out;
}

void Emulator::serve(QIODevice* device) {
    const auto it = connections_.find(device);
    if (it == connections_.end()) return;
    Connection& c = it->second;
    c.decoder.append(device->readAll());
    const bool waiting = waiting_.count(c.client) != 0;
    if (waiting && c.decoder.buffered() <= kMaxBufferedWhileWaiting) return;
    wire::Message request;
    for (;;) {
        const auto status =
            waiting ? wire::FrameDecoder::Status::Malformed : c.decoder.next(request);
        if (status == wire::FrameDecoder::Status::NeedMore) return;
        if (status == wire::FrameDecoder::Status::Malformed) {
            // Out of step with this peer: say why, then end the connection.
            waiting_.erase(c.client);
            device->write(outgoing(errorFrame(ERR_READ_FAIL), c.held));
            c.decoder.clear();
            device_->disconnectClient(c.client);
            hangUp(device);
            return;
        }
        const uint8_t version = c.decoder.version();
        DeviceModel::Reply reply = device_->handle(c.client, request);
        if (reply.waitMs > 0) {
            hold(c.client, request, version, reply,
                 [this, device](const wire::Message& m, uint8_t v) {
                     const auto at = connections_.find(device);
                     if (at == connections_.end()) return;
                     device->write(outgoing(wire::encodeFrame(m, v), at->second.held));
                     serve(device);
                 });
            return;
        }
        device->write(outgoing(wire::encodeFrame(reply.message, version), c.held));
        wakeWaits(); // whatever the request did, a wait it ends is answered now
        if (reply.hangUp) {
            c.decoder.clear();
            device_->disconnectClient(c.client);
            hangUp(device);
            return;
        }
    }
}

void Emulator::hold(DeviceModel::ClientId client, const wire::Message& request, uint8_t version,
                    const DeviceModel::Reply& reply, Answer answer) {
    Waiting& w = waiting_[client];
    w.request = request;
    w.version = version;
    w.from = reply.waitFrom;
    w.deadline = QDeadlineTimer(reply.waitMs, Qt::PreciseTimer);
    w.answer = std::move(answer);
    armWaitClock();
}

void Emulator::wakeWaits() {
    const int32_t end = device_->logEnd();
    std::vector<DeviceModel::ClientId> due;
    for (const auto& [client, w] : waiting_)
        if (end > w.from || w.deadline.hasExpired()) due.push_back(client);
    // An answer serves its client's next requests, which may hold or end
    // other waits: each is looked up again.
    for (DeviceModel::ClientId client : due)
        endWait(client);
    armWaitClock();
}

void Emulator::endWait(DeviceModel::ClientId client) {
    const auto it = waiting_.find(client);
    if (it == waiting_.end()) return;
    Waiting w = std::move(it->second);
    waiting_.erase(it);
    w.answer(device_->endWait(w.request), w.version);
}

void Emulator::armWaitClock() {
    qint64 next = -1;
    for (const auto& [client, w] : waiting_) {
        const qint64 left = w.deadline.remainingTime();
        if (next < 0 || left < next) next = left;
    }
    if (next < 0)
        waitClock_->stop();
    else
        waitClock_->start(static_cast<int>(next));
}

bool Emulator::openPty(const QString& linkPath, QString* ptyPath, QString* error) {
    ptyMaster_ = ::posix_openpt(O_RDWR | O_NOCTTY);
    if (ptyMaster_ < 0 || ::grantpt(ptyMaster_) != 0 || ::unlockpt(ptyMaster_) != 0) {
        *error = QString::fromLocal8Bit(strerror(errno));
        return false;
    }
    const char* name = ::ptsname(ptyMaster_);
    if (!name) {
        *error = QString::fromLocal8Bit(strerror(errno));
        return false;
    }
    *ptyPath = QString::fromLocal8Bit(name);
    ptySlave_ = ::open(name, O_RDWR | O_NOCTTY);
    if (ptySlave_ < 0) {
        *error = QString::fromLocal8Bit(strerror(errno));
        return false;
    }
    // Raw, so that nothing is echoed or translated before a client sets the line up.
    termios tio{};
    if (::tcgetattr(ptySlave_, &tio) == 0) {
        ::cfmakeraw(&tio);
        ::tcsetattr(ptySlave_, TCSANOW, &tio);
    }
    ::fcntl(ptyMaster_, F_SETFL, ::fcntl(ptyMaster_, F_GETFL) | O_NONBLOCK);
    if (!linkPath.isEmpty()) {
        QFile::remove(linkPath);
        if (!QFile::link(*ptyPath, linkPath)) {
            *error = QStringLiteral("can't create the link %1").arg(linkPath);
            return false;
        }
        ptyLink_ = linkPath;
    }
    ptyDecoder_ = wire::FrameDecoder(device_->protocolVersion());
    ptyClient_ = device_->connectClient(false);
    // A client that died halfway through a frame would otherwise make the
    // next client's hello look like the rest of it.
    ptyStale_ = std::make_unique<QTimer>();
    ptyStale_->setSingleShot(true);
    ptyStale_->setInterval(2000);
    connect(ptyStale_.get(), &QTimer::timeout, this, [this] { ptyDecoder_.clear(); });
    ptyNotifier_ = std::make_unique<QSocketNotifier>(ptyMaster_, QSocketNotifier::Read);
    connect(ptyNotifier_.get(), &QSocketNotifier::activated, this, [this] { servePty(); });
    return true;
}

void Emulator::resetPtySession() {
    waiting_.erase(ptyClient_);
    device_->disconnectClient(ptyClient_);
    ptyClient_ = device_->connectClient(false);
    ptyDecoder_ = wire::FrameDecoder(device_->protocolVersion());
}

void Emulator::writePty(const QByteArray& bytes) {
    const char* p = bytes.constData();
    size_t left = static_cast<size_t>(bytes.size());
    while (left > 0) {
        const ssize_t n = ::write(ptyMaster_, p, left);
        if (n > 0) {
            p += n, left -= static_cast<size_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        // A full line with nobody reading: give up on this reply after a while
        // rather than hang the emulator.
        pollfd pfd{ptyMaster_, POLLOUT, 0};
        if (::poll(&pfd, 1, 10000) <= 0) {
            resetPtySession();
            return;
        }
    }
}

void Emulator::servePty() {
    char buffer[65536];
    bool got = false;
    for (;;) {
        const ssize_t n = ::read(ptyMaster_, buffer, sizeof buffer);
        if (n > 0) {
            ptyDecoder_.append(buffer, static_cast<size_t>(n));
            got = true;
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        break;
    }
    // A control that waits sends nothing: bytes meanwhile come from one that
    // gave up on its wait (a cancel) or from a new peer on the line, which
    // must not find that answer out of turn.
    if (got && waiting_.erase(ptyClient_) != 0) armWaitClock();
    takePtyRequests();
}

void Emulator::takePtyRequests() {
    wire::Message request;
    for (;;) {
        const auto status = ptyDecoder_.next(request);
        if (status == wire::FrameDecoder::Status::NeedMore) {
            if (ptyDecoder_.buffered() > 0)
                ptyStale_->start();
            else
                ptyStale_->stop();
            return;
        }
        if (status == wire::FrameDecoder::Status::Malformed) {
            // Noise on the line: report it and start over with an empty session.
            writePty(outgoing(errorFrame(ERR_READ_FAIL), ptyHeld_));
            resetPtySession();
            return;
        }
        const uint8_t version = ptyDecoder_.version();
        DeviceModel::Reply reply = device_->handle(ptyClient_, request);
        if (reply.waitMs > 0) {
            hold(ptyClient_, request, version, reply, [this](const wire::Message& m, uint8_t v) {
                writePty(outgoing(wire::encodeFrame(m, v), ptyHeld_));
            });
            return;
        }
        writePty(outgoing(wire::encodeFrame(reply.message, version), ptyHeld_));
        wakeWaits();
        if (reply.hangUp) {
            // A serial line can't be hung up; the session ends instead.
            resetPtySession();
            return;
        }
    }
}
