#pragma once

// One terminal's behaviour: its state, the lock per client, the new-record
// mark, the record cursors and the injected faults. The emulator serves it
// over a socket; tests can reach it in-process (InProcessLink).

#include "DeviceState.h"
#include "LinkProtocol.h"

#include <QString>

#include <functional>
#include <map>
#include <string>
#include <unordered_map>

namespace wire {
enum class Saving;
struct LinkOperation;
const LinkOperation* linkOperation(Op op);
} // namespace wire

struct DeviceFaults {
    std::map<std::string, int32_t> failOps; // control operation name -> error code
    int dropAfter = -1; // cut the link after N records or enrollments of one list
    int delayMs = 0;    // latency per request
};

class DeviceModel {
  public:
    using ClientId = int;

    struct Reply {
        wire::Message message;
        bool hangUp = false; // cut the link after sending the reply (--drop-after)
        // A WaitForNewRecords with nothing past its position yet: the server
        // holds the request instead of sending message (which says "none
        // yet"), and answers it with endWait() once logEnd() passes waitFrom
        // or after waitMs, whichever comes first.
        int waitMs = 0;
        int32_t waitFrom = 0;
    };

    // A state without a serial number gets a new one.
    explicit DeviceModel(DeviceState state = {});

    // A client on a link where the communication password is not asked
    // (serial line, USB) passes checkPassword = false.
    ClientId connectClient(bool checkPassword = true);
    void disconnectClient(ClientId client);

    // Handles one request of a client. Requests before a successful hello are refused.
    Reply handle(ClientId client, const wire::Message& request);
    // The answer to a WaitForNewRecords that handle() left waiting.
    wire::Message endWait(const wire::Message& request) const;

    // Where the log ends: the position the next record gets.
    int32_t logEnd() const;
    // A user's punch: appends the record and returns its position.
    int32_t addRecord(const LogRecord& record);

    // The protocol version the terminal speaks (wire::kVersion); an older
    // one plays an older terminal: its hello says nothing of a version and
    // it knows no later operation.
    void setProtocolVersion(uint8_t version) { protocolVersion_ = version; }
    uint8_t protocolVersion() const { return protocolVersion_; }

    const DeviceState& state() const { return state_; }
    // Call it for each change (tests): it marks the enrollment index stale.
    DeviceState& mutableState() {
        indexStale_ = true;
        return state_;
    }
    DeviceFaults& faults() { return faults_; }

    // Called to save the state file: once per lock, before the release is
    // answered (or when its holder goes away); before a commit of new
    // records is answered; and for a change made while nobody holds the
    // lock, at once, or through the save-later hook below. So the file is
    // current once a command that locks has ended, and a bulk write doesn't
    // rewrite it once per enrollment.
    void setOnChange(std::function<void()> onChange) { onChange_ = std::move(onChange); }
    // Called instead of saving at once for each change made while nobody
    // holds the lock; the owner then calls saveChangesWithoutLock() shortly
    // (the emulator 200 ms after the first such change), so that a run of
    // them - names sent one by one - is saved together rather than once per
    // change. Taking the lock saves them first, so a lock still saves once.
    void setSaveLater(std::function<void()> saveLater) { saveLater_ = std::move(saveLater); }
    void saveChangesWithoutLock();
    // Saves pending changes now (at exit).
    void flushChanges();

    // Sees every request before it is handled (tests).
    void setRequestObserver(std::function<void(const wire::Message&)> observer) {
        observer_ = std::move(observer);
    }

    // Which client holds the terminal locked, 0 for none.
    ClientId lockHolder() const { return lockHolder_; }

  private:
    enum class CursorKind { None, NewLogs, AllLogs, Users };
    struct Cursor {
        CursorKind kind = CursorKind::None;
        size_t begin = 0, end = 0, position = 0; // rows [begin, end) of the list, next at position
        int handedOut = 0;                       // rows of this list sent so far
    };
    // Records and enrollments have a cursor each, so listing the enrollments
    // while a download runs does not end the download.
    struct Client {
        bool greeted = false;
        bool checkPassword = true;
        Cursor logs;
        Cursor users;
    };

  public:
    // One request as its handler sees it.
    struct Request {
        Client& client;
        ClientId id;
        const wire::Message& message;
        bool hangUp = false; // cut the link after the reply
        int waitMs = 0;      // hold the request instead of answering (Reply::waitMs)
        int32_t at(size_t i) const { return message.ints[i]; }
    };
    using Handler = wire::Message (DeviceModel::*)(Request&);

  private:
    // The table of link operations names the handlers.
    friend const wire::LinkOperation* wire::linkOperation(wire::Op);

    void execute(Client& c, ClientId id, const wire::Message& rq, Reply& out);
    std::string faultName(const Client& c, const wire::LinkOperation& op) const;
    void save(wire::Saving saving);

    wire::Message onHello(Request& r);
    wire::Message onEnableDevice(Request& r);
    wire::Message onSetDeviceTime(Request& r);
    wire::Message onGetDeviceTime(Request& r);
    wire::Message onReadLogs(Request& r);
    wire::Message onFetchLogs(Request& r);
    wire::Message onReadAllUserID(Request& r);
    wire::Message onFetchUsers(Request& r);
    wire::Message onGetEnrollData(Request& r);
    wire::Message onGetEnrollDataBatch(Request& r);
    wire::Message onSetEnrollData(Request& r);
    wire::Message onDeleteEnrollData(Request& r);
    wire::Message onModifyPrivilege(Request& r);
    wire::Message onEmptyEnrollData(Request& r);
    wire::Message onGetUserName(Request& r);
    wire::Message onGetUserNameBatch(Request& r);
    wire::Message onSetUserName(Request& r);
    wire::Message onGetBellTime(Request& r);
    wire::Message onSetBellTime(Request& r);
    wire::Message onCommitNewRecords(Request& r);
    wire::Message onGetSerialNumber(Request& r);
    wire::Message onGetDeviceCounts(Request& r);
    wire::Message onWaitForNewRecords(Request& r);

    wire::Message fetch(Cursor& cursor, Request& r);
    wire::EnrollDataAnswer readEnrollment(int32_t enroll, int32_t backup);
    int32_t readUserName(int32_t enroll, QString& name);

    // The enrollment list and its index change only through these.
    Enrollment* findEnrollment(int32_t enroll, int32_t backup);
    Enrollment& addEnrollment(int32_t enroll, int32_t backup);
    bool removeEnrollment(int32_t enroll, int32_t backup);
    void clearEnrollments();

    void changed();
    void releaseLock();

    DeviceState state_;
    DeviceFaults faults_;
    std::function<void()> onChange_;
    std::function<void()> saveLater_;
    std::function<void(const wire::Message&)> observer_;
    bool unsaved_ = false;
    static uint64_t keyOf(int32_t enroll, int32_t backup) {
        return uint64_t(uint32_t(enroll)) << 32 | uint32_t(backup);
    }
    std::unordered_map<uint64_t, size_t> index_; // enroll and backup -> position
    bool indexStale_ = true;
    std::map<ClientId, Client> clients_;
    ClientId nextClient_ = 1;
    ClientId lockHolder_ = 0;
    uint8_t protocolVersion_ = wire::kVersion;
};
