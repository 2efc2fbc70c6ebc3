#include "Link.h"

#include "DeviceModel.h"
#include "ErrorNames.h"

#include <QDeadlineTimer>
#include <QLocalSocket>
#include <QSerialPort>
#include <QTcpSocket>
#include <QThread>

#include <algorithm>

namespace {

// One implementation for every QIODevice: the sockets and the serial port
// all offer blocking waits that work without an event loop.
class StreamLink : public Link {
  public:
    explicit StreamLink(std::unique_ptr<QIODevice> device) : device_(std::move(device)) {}
    ~StreamLink() override { close(); }

    bool isOpen() const override { return device_ != nullptr; }
    void setVersion(uint8_t version) override { version_ = version; }

    int32_t transact(const wire::Message& request, wire::Message& reply, int timeoutMs,
                     const CancelCheck& cancelled) override {
        if (!device_) return ERR_COMPORT_ERROR;
        QDeadlineTimer deadline(timeoutMs);
        QDeadlineTimer grace = QDeadlineTimer::Forever; // runs once the command is cancelled
        // Waits in slices, so that a cancel is seen while the terminal is silent.
        const auto slice = [&] {
            if (grace.isForever() && cancelled && cancelled())
                grace.setRemainingTime(kCancelGraceMs);
            return static_cast<int>(std::clamp<qint64>(
                std::min(deadline.remainingTime(), grace.remainingTime()), 1, kWaitSliceMs));
        };
        const QByteArray frame = wire::encodeFrame(request, version_);
        if (device_->write(frame) != frame.size()) return fail(ERR_WRITE_FAIL);
        while (device_->bytesToWrite() > 0) {
            if (grace.hasExpired()) return fail(ERR_COMPORT_ERROR);
            if (deadline.hasExpired()) return fail(ERR_WRITE_FAIL);
            if (!device_->waitForBytesWritten(slice()) && !isTimeout())
                return fail(ERR_COMPORT_ERROR);
        }
        for (;;) {
            if (device_->bytesAvailable() > 0) {
                decoder_.append(device_->readAll());
                // The limit is for silence: a big chunk on a slow serial line
                // may take longer as a whole, a dead link still fails in time.
                deadline.setRemainingTime(timeoutMs);
            }
            switch (decoder_.next(reply)) {
            case wire::FrameDecoder::Status::Frame:
                if (reply.op == wire::Op::Error)
                    return fail(reply.code != SUCCESS ? reply.code : ERR_READ_FAIL);
                if (reply.op != request.op) return fail(ERR_READ_FAIL);
                return SUCCESS;
            case wire::FrameDecoder::Status::Malformed:
                return fail(ERR_READ_FAIL);
            case wire::FrameDecoder::Status::NeedMore:
                break;
            }
            if (grace.hasExpired()) return fail(ERR_COMPORT_ERROR);
            if (deadline.hasExpired()) return fail(ERR_READ_FAIL);
            if (!device_->waitForReadyRead(slice()) && device_->bytesAvailable() == 0 &&
                !isTimeout())
                return fail(ERR_COMPORT_ERROR);
        }
    }

  protected:
    static constexpr int kWaitSliceMs = 100;

    // Whether the wait that just failed only ran out of time: the link is
    // still good. Anything else means the other end went away.
    bool isTimeout() const {
        if (auto* socket = qobject_cast<QAbstractSocket*>(device_.get()))
            return socket->state() == QAbstractSocket::ConnectedState;
        if (auto* local = qobject_cast<QLocalSocket*>(device_.get()))
            return local->state() == QLocalSocket::ConnectedState;
        // A serial port stays open when the other end goes away; only its
        // error tells.
        if (auto* port = qobject_cast<QSerialPort*>(device_.get()))
            return port->error() == QSerialPort::TimeoutError ||
                   port->error() == QSerialPort::NoError;
        return false;
    }

    // A link that failed once is out of step: close it, the control opens a new one.
    int32_t fail(int32_t code) {
        close();
        return code;
    }

    void close() {
        if (!device_) return;
        if (auto* socket = qobject_cast<QAbstractSocket*>(device_.get()))
            socket->abort();
        else if (auto* local = qobject_cast<QLocalSocket*>(device_.get()))
            local->abort();
        else
            device_->close();
        device_.reset();
        decoder_.clear();
    }

  private:
    std::unique_ptr<QIODevice> device_;
    wire::FrameDecoder decoder_;
    uint8_t version_ = wire::kMinVersion;
};

class InProcessLink : public Link {
  public:
    explicit InProcessLink(std::shared_ptr<DeviceModel> device)
        : device_(std::move(device)), client_(device_->connectClient()) {}
    ~InProcessLink() override { hangUp(); }

    bool isOpen() const override { return device_ != nullptr; }

    int32_t transact(const wire::Message& request, wire::Message& reply, int,
                     const CancelCheck& cancelled) override {
        if (!device_) return ERR_COMPORT_ERROR;
        DeviceModel::Reply r = device_->handle(client_, request);
        if (r.waitMs > 0) {
            // Nothing can add a record while this thread waits in the device,
            // so a wait simply runs its time out, as a quiet terminal would.
            QDeadlineTimer until(r.waitMs);
            while (!until.hasExpired()) {
                if (cancelled && cancelled()) {
                    hangUp();
                    return ERR_COMPORT_ERROR;
                }
                QThread::msleep(static_cast<unsigned long>(
                    std::clamp<qint64>(until.remainingTime(), 1, kWaitSliceMs)));
            }
            r.message = device_->endWait(request);
        }
        reply = std::move(r.message);
        if (r.hangUp) hangUp();
        return SUCCESS;
    }

  private:
    static constexpr int kWaitSliceMs = 20;

    void hangUp() {
        if (device_) device_->disconnectClient(client_);
        device_.reset();
    }

    std::shared_ptr<DeviceModel> device_;
    DeviceModel::ClientId client_;
};

} // namespace

std::unique_ptr<Link> openTcpLink(const QString& host, uint16_t port, int timeoutMs,
                                  int32_t* error) {
    auto socket = std::make_unique<QTcpSocket>();
    socket->connectToHost(host, port);
    // A connect that times out returns false without an error signal, so
    // only the return value counts.
    if (!socket->waitForConnected(timeoutMs)) {
        socket->abort();
        *error = ERR_COMPORT_ERROR;
        return nullptr;
    }
    socket->setSocketOption(QAbstractSocket::LowDelayOption, 1);
    return std::make_unique<StreamLink>(std::move(socket));
}

std::unique_ptr<Link> openSerialLink(const QString& device, int32_t baudRate, int32_t* error) {
    auto port = std::make_unique<QSerialPort>(device);
    if (baudRate <= 0 || !port->setBaudRate(baudRate)) {
        *error = ERR_INVALID_PARAM;
        return nullptr;
    }
    port->setDataBits(QSerialPort::Data8);
    port->setParity(QSerialPort::NoParity);
    port->setStopBits(QSerialPort::OneStop);
    port->setFlowControl(QSerialPort::NoFlowControl);
    if (!port->open(QIODevice::ReadWrite)) {
        *error = ERR_COMPORT_ERROR;
        return nullptr;
    }
    port->clear(); // stale bytes of an earlier session would break the first frame
    return std::make_unique<StreamLink>(std::move(port));
}

std::unique_ptr<Link> openLocalLink(const QString& socketPath, int timeoutMs, int32_t* error) {
    auto socket = std::make_unique<QLocalSocket>();
    socket->connectToServer(socketPath);
    if (!socket->waitForConnected(timeoutMs)) {
        // With a full backlog the socket stays "connecting" and sets no error.
        socket->abort();
        *error = ERR_COMPORT_ERROR;
        return nullptr;
    }
    return std::make_unique<StreamLink>(std::move(socket));
}

std::unique_ptr<Link> openInProcessLink(std::shared_ptr<DeviceModel> device, int32_t* error) {
    if (!device) {
        *error = ERR_COMPORT_ERROR;
        return nullptr;
    }
    return std::make_unique<InProcessLink>(std::move(device));
}
