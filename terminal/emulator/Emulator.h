#pragma once

// The emulator's server loop: one device model served over TCP, a
// pseudo-terminal and a Unix socket. Requests are handled one at a time on
// the event loop; the device lock decides which client may work. A client's
// WaitForNewRecords is held, without holding up the others, until the log
// grows past its position or its time is up.

#include "ReplyMutator.h"
#include "terminal/DeviceModel.h"
#include "terminal/LinkProtocol.h"

#include <QDeadlineTimer>
#include <QObject>
#include <QString>

#include <functional>
#include <map>
#include <memory>

class QIODevice;
class QLocalServer;
class QSocketNotifier;
class QTcpServer;
class QTimer;

class Emulator : public QObject {
  public:
    explicit Emulator(std::shared_ptr<DeviceModel> device);
    ~Emulator() override;

    // Each returns false with *error set when it can't listen.
    bool listenTcp(const QString& host, uint16_t port, QString* where, QString* error);
    bool listenUnix(const QString& path, QString* error);
    bool openPty(const QString& linkPath, QString* ptyPath, QString* error);
    // From now on every reply frame passes through the mutator (soak tests);
    // each fault is logged on standard error.
    void setMutator(std::unique_ptr<ReplyMutator> mutator) { mutator_ = std::move(mutator); }
    // The log may have grown (a punch): answers the waits it ends.
    void wakeWaits();

  private:
    struct Connection {
        QIODevice* device = nullptr; // owned by Qt parent (this), deleted later
        wire::FrameDecoder decoder;
        DeviceModel::ClientId client = 0;
        QByteArray held; // a reply the mutator holds back
    };
    // A held WaitForNewRecords. Its client's later requests stay in its
    // buffer until it is answered, so replies keep their order.
    using Answer = std::function<void(const wire::Message&, uint8_t version)>;
    struct Waiting {
        wire::Message request;
        uint8_t version = wire::kVersion; // of the request: the reply's too
        int32_t from = 0;
        QDeadlineTimer deadline;
        Answer answer; // sends the reply, then serves the client's next requests
    };
    void adopt(QIODevice* device, bool checkPassword);
    void serve(QIODevice* device);
    void drop(QIODevice* device);
    void hold(DeviceModel::ClientId client, const wire::Message& request, uint8_t version,
              const DeviceModel::Reply& reply, Answer answer);
    void endWait(DeviceModel::ClientId client);
    void armWaitClock();
    void servePty();
    void takePtyRequests();
    void writePty(const QByteArray& bytes);
    void resetPtySession();
    // The bytes that go out for one reply frame.
    QByteArray outgoing(const QByteArray& frame, QByteArray& held);

    std::shared_ptr<DeviceModel> device_;
    std::unique_ptr<QTcpServer> tcp_;
    std::unique_ptr<QLocalServer> local_;
    QString unixPath_;
    std::map<QIODevice*, Connection> connections_;
    std::unique_ptr<ReplyMutator> mutator_;
    uint64_t replies_ = 0;
    std::map<DeviceModel::ClientId, Waiting> waiting_;
    std::unique_ptr<QTimer> waitClock_; // fires at the earliest deadline of a wait

    int ptyMaster_ = -1;
    int ptySlave_ = -1; // kept open so the master never sees a hang-up between clients
    QString ptyLink_;
    std::unique_ptr<QSocketNotifier> ptyNotifier_;
    wire::FrameDecoder ptyDecoder_;
    std::unique_ptr<QTimer> ptyStale_; // drops a partial frame a vanished peer left behind
    DeviceModel::ClientId ptyClient_ = 0;
    QByteArray ptyHeld_; // a reply the mutator holds back; the line outlives sessions
};
