#pragma once

// The terminal control: the properties and operations the windows call on
// FP_CLOCK1, in their argument order. Every operation blocks until the
// terminal answers or a time limit runs out, and needs no event loop.
// A false result leaves the reason in GetLastError (codes in ErrorNames.h,
// mapping in PROTOCOL.md).

#include "DeviceState.h"
#include "ErrorNames.h"
#include "Link.h"
#include "LinkProtocol.h"

#include <QString>

#include <array>
#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

class DeviceModel;
class Link;

// What a terminal holds, for showing progress against a total.
struct DeviceCounts {
    int32_t newRecords = 0;  // records no transfer has committed yet
    int32_t allRecords = 0;  // every record
    int32_t users = 0;       // distinct enroll numbers among the enrollments
    int32_t enrollments = 0; // fingerprints, cards and passwords, as ReadAllUserID lists them
    bool operator==(const DeviceCounts&) const = default;
};

// The caller's bell block: bytes 0-7 on flags, 8-15 hours, 16-23 minutes;
// the control touches only those 24.
using BellTable = std::array<uint8_t, 72>;

class TFP_CLOCK {
  public:
    TFP_CLOCK();
    ~TFP_CLOCK();
    TFP_CLOCK(const TFP_CLOCK&) = delete;
    TFP_CLOCK& operator=(const TFP_CLOCK&) = delete;

    // Properties, written before OpenCommPort (and ReadMark before ReadGeneralLogData).
    int32_t CommPort = 1;
    bool ReadMark = false;
    int32_t Baudrate = 115200;
    bool IsUSB = false;

    bool OpenCommPort(int32_t machineNumber);
    void CloseCommPort();
    bool SetIPAddress(const QString& ipAddress, int32_t port, int32_t password);
    bool EnableDevice(int32_t machineNumber, int32_t flag);
    bool GetLastError(int32_t& errorCode);
    bool SetDeviceTime(int32_t machineNumber);
    bool GetDeviceTime(int32_t machineNumber, int32_t& year, int32_t& month, int32_t& day,
                       int32_t& hour, int32_t& minute, int32_t& second);

    bool ReadGeneralLogData(int32_t machineNumber);
    bool GetGeneralLogData(int32_t machineNumber, int32_t& tMachineNumber, int32_t& enrollNumber,
                           int32_t& eMachineNumber, int32_t& verifyMode, int32_t& year,
                           int32_t& month, int32_t& day, int32_t& hour, int32_t& minute);
    bool ReadAllGeneralLogData(int32_t machineNumber);
    bool GetAllGeneralLogData(int32_t machineNumber, int32_t& tMachineNumber, int32_t& enrollNumber,
                              int32_t& eMachineNumber, int32_t& verifyMode, int32_t& year,
                              int32_t& month, int32_t& day, int32_t& hour, int32_t& minute);

    bool ReadAllUserID(int32_t machineNumber);
    bool GetAllUserID(int32_t machineNumber, int32_t& enrollNumber, int32_t& eMachineNumber,
                      int32_t& backupNumber, int32_t& privilege, int32_t& enable);

    // Backups 0-9 carry the template, 10 (password) and 11 (card) the password value.
    bool GetEnrollData(int32_t machineNumber, int32_t enrollNumber, int32_t eMachineNumber,
                       int32_t backupNumber, int32_t& privilege, EnrollTemplate& enrollData,
                       int32_t& password);
    bool SetEnrollData(int32_t machineNumber, int32_t enrollNumber, int32_t eMachineNumber,
                       int32_t backupNumber, int32_t privilege, const EnrollTemplate& enrollData,
                       int32_t password);
    // The text form: 356 groups of eight upper-case hex digits, one blank
    // between groups; empty for backups 10 and 11.
    bool GetEnrollDataWithString(int32_t machineNumber, int32_t enrollNumber,
                                 int32_t eMachineNumber, int32_t backupNumber, int32_t& privilege,
                                 QString& enrollData, int32_t& password);
    bool SetEnrollDataWithString(int32_t machineNumber, int32_t enrollNumber,
                                 int32_t eMachineNumber, int32_t backupNumber, int32_t privilege,
                                 const QString& enrollData, int32_t password);
    bool DeleteEnrollData(int32_t machineNumber, int32_t enrollNumber, int32_t eMachineNumber,
                          int32_t backupNumber);
    bool ModifyPrivilege(int32_t machineNumber, int32_t enrollNumber, int32_t eMachineNumber,
                         int32_t backupNumber, int32_t privilege);
    bool EmptyEnrollData(int32_t machineNumber);
    bool ClearKeeperData(int32_t machineNumber);

    // The terminal keeps at most 12 characters of a name.
    bool GetUserName(int32_t kind, int32_t machineNumber, int32_t enrollNumber,
                     int32_t machineNumber2, QString& name);
    bool SetUserName(int32_t kind, int32_t machineNumber, int32_t enrollNumber,
                     int32_t machineNumber2, const QString& name);

    bool GetBellTime(int32_t machineNumber, int32_t& ringDuration, BellTable& bellTable);
    bool SetBellTime(int32_t machineNumber, int32_t ringDuration, const BellTable& bellTable);

    // Not in the original control:
    // The device of the next serial or USB OpenCommPort: a serial device path,
    // or for USB a serial device or a Unix socket. The caller works it out.
    void setDevicePath(const QString& path) { devicePath_ = path; }
    // What the operator calls this terminal, for messages about its link.
    void setDisplayName(const QString& name) { displayName_ = name; }
    QString displayName() const { return displayName_; }
    // Where the open connection goes, as the operator would write it:
    // "host:port", a device path, or empty when not connected.
    QString linkAddress() const;
    // Time limits: opening a connection (default 5 s) and one request (default 10 s).
    void setTimeouts(int openMs, int operationMs);
    // Asked while a request waits for the terminal: once it says the command
    // was cancelled, a request in flight ends within a second even when the
    // terminal hangs (its link is closed under it, which also frees the
    // terminal's lock), and no link is opened again until it says otherwise.
    // Called on the control's own thread.
    void setCancelCheck(CancelCheck cancelled) { cancelled_ = std::move(cancelled); }
    bool cancelled() const { return cancelled_ && cancelled_(); }
    // Talk to this device model in-process instead of over a link (tests).
    // It takes precedence over every other connection setting; nullptr ends it.
    void setInProcessDevice(std::shared_ptr<DeviceModel> device);
    bool isConnected() const;
    // False once the link failed (it is opened again by the next request)
    // or was never opened; a terminal that answered "no" leaves it open.
    bool linkOpen() const;

    // The new-record batch that ReadGeneralLogData prepared with ReadMark
    // true: the terminal's position of its first record, -1 when none is
    // prepared. Record k handed out by GetGeneralLogData (from 0) sits at
    // newRecordsStart() + k.
    int32_t newRecordsStart() const;
    // Tells the terminal that the first count records of that batch are
    // safely stored, so they are no longer new. Nothing else moves the
    // terminal's new-record mark: locking and releasing never do. The batch
    // then starts after them. Never reopens a broken link: the terminal
    // would not know the batch on a new connection.
    bool commitNewRecords(int32_t machineNumber, int32_t count);
    // The terminal's serial number, which tells one terminal from another
    // whatever its machine number and address. A reply that is no serial
    // number (empty, too long, not printable ASCII) fails with ERR_READ_FAIL.
    bool GetSerialNumber(int32_t machineNumber, QString& serial);
    // How many records (new and all), users and enrollments the terminal
    // holds. A reply that is no such count (not four integers, a negative
    // one, more new records than records or more users than enrollments)
    // fails with ERR_READ_FAIL; a failure leaves counts all 0.
    bool GetDeviceCounts(int32_t machineNumber, DeviceCounts& counts);
    // Waits until the terminal's log holds records past position (the
    // position of the first record the caller has not seen), for at most ms
    // (0 to wire::kMaxWaitMs; 0 asks without waiting). logEnd is where the
    // log ends: past position when records came, else "none yet" (at or
    // before it; before it only when the log is shorter than the caller
    // thinks). A wait that ran out is a success, so it doubles as a
    // heartbeat. A dead link fails within ms plus the request limit (at most
    // kWaitMarginMs); a cancel ends the wait within kCancelGraceMs. A
    // terminal older than protocol version 5 can't wait: ERR_NOSUPPORT,
    // without asking it. Records are read as ever (ReadGeneralLogData).
    bool WaitForNewRecords(int32_t machineNumber, int32_t position, int32_t ms, int32_t& logEnd);
    static constexpr int kWaitMarginMs = 3000;
    // The protocol version the connected terminal speaks (wire::kMinVersion
    // to wire::kVersion); 0 when not connected.
    int protocolVersion() const { return link_ ? peerVersion_ : 0; }
    // Bytes of frames sent and received since the control was made.
    long long linkBytes() const { return linkBytes_; }

    static QString templateToText(const EnrollTemplate& data);
    static bool textToTemplate(const QString& text, EnrollTemplate& data);

  private:
    enum class LinkKind { InProcess, Tcp, Serial, Usb };
    struct Endpoint {
        LinkKind kind = LinkKind::Tcp;
        QString address; // host, device path or socket path
        int32_t port = 0;
        int32_t password = 0;
        int32_t baudRate = 0;
        int32_t machine = 0;
    };
    enum class ListKind { None, NewLogs, AllLogs, Users };
    struct RowList {
        ListKind kind = ListKind::None;
        int32_t total = 0;       // rows the terminal prepared
        int32_t start = 0;       // the terminal's position of the first row (records)
        int32_t fetched = 0;     // rows received so far
        int32_t handed = 0;      // rows handed to the caller after start
        int32_t nextChunkAt = 0; // the terminal's position of the next chunk's first row
        std::vector<int32_t> rows;
        size_t next = 0; // index into rows of the next row to hand out
    };

    bool connectLink();
    bool fail(int32_t code);
    // One request and its reply; false (with the code kept) on any failure.
    // timeoutMs 0: the operation limit (setTimeouts).
    bool call(wire::Op op, std::vector<int32_t> ints, wire::Message* reply = nullptr,
              std::vector<QByteArray> blobs = {}, bool mayReconnect = true, int timeoutMs = 0);
    bool prepareList(RowList& list, ListKind kind, wire::Op op, std::vector<int32_t> ints);
    const int32_t* nextRow(RowList& list, int rowInts, wire::Op fetchOp, int32_t machine);
    bool getLog(int32_t machine, int32_t& tMachine, int32_t& enroll, int32_t& eMachine,
                int32_t& mode, int32_t& year, int32_t& month, int32_t& day, int32_t& hour,
                int32_t& minute);

    // Read-ahead while walking the enrollment list under the lock: the data
    // and name of the enrollment GetAllUserID handed out last come from a
    // batch read with the rows after it. nullopt: ask the terminal directly.
    struct NameAnswer {
        int32_t code = 0;
        QString name;
    };
    const int32_t* currentUserRow(size_t& index) const;
    size_t userRowsLeft() const;
    std::optional<wire::EnrollDataAnswer> enrollDataAhead(int32_t machine, int32_t enroll,
                                                          int32_t eMachine, int32_t backup);
    std::optional<NameAnswer> userNameAhead(int32_t machine, int32_t enroll);
    void dropReadAhead();

    std::unique_ptr<Link> link_;
    int peerVersion_ = wire::kMinVersion; // the terminal's, told by its hello
    std::optional<Endpoint> endpoint_;    // the connection OpenCommPort made, for reopening
    std::shared_ptr<DeviceModel> inProcess_;
    QString pendingAddress_;
    int32_t pendingPort_ = 0;
    int32_t pendingPassword_ = 0;
    bool addressArmed_ = false;
    int32_t lastError_ = SUCCESS;
    CancelCheck cancelled_;
    int openTimeoutMs_ = 5000;
    int operationTimeoutMs_ = 10000;
    QString devicePath_;
    QString displayName_;
    RowList logs_;
    RowList users_;
    bool locked_ = false; // this control holds the terminal's lock
    int32_t dataMachine_ = 0;
    size_t dataAheadFirst_ = 0; // list index of dataAhead_[0]
    std::vector<wire::EnrollDataAnswer> dataAhead_;
    int32_t namesMachine_ = 0;
    size_t namesAheadFirst_ = 0;
    std::vector<NameAnswer> namesAhead_;
    long long linkBytes_ = 0;
};
