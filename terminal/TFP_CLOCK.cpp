#include "TFP_CLOCK.h"

#include "DeviceModel.h"
#include "Link.h"
#include "LinkOperations.h"

#include <QDateTime>
#include <QDeadlineTimer>
#include <QRegularExpression>

#include <sys/stat.h>

using wire::Message;
using wire::Op;

namespace {

long long frameBytes(const Message& m) {
    return wire::kHeaderSize + static_cast<long long>(wire::payloadSize(m)) + wire::kTrailerSize;
}

} // namespace

TFP_CLOCK::TFP_CLOCK() = default;
TFP_CLOCK::~TFP_CLOCK() = default;

void TFP_CLOCK::setTimeouts(int openMs, int operationMs) {
    openTimeoutMs_ = std::max(1, openMs);
    operationTimeoutMs_ = std::max(1, operationMs);
}

void TFP_CLOCK::setInProcessDevice(std::shared_ptr<DeviceModel> device) {
    inProcess_ = std::move(device);
}

bool TFP_CLOCK::isConnected() const {
    return endpoint_.has_value();
}

bool TFP_CLOCK::linkOpen() const {
    return link_ && link_->isOpen();
}

QString TFP_CLOCK::linkAddress() const {
    if (!endpoint_) return {};
    switch (endpoint_->kind) {
    case LinkKind::InProcess:
        return QStringLiteral("dahili terminal");
    case LinkKind::Tcp:
        return QStringLiteral("%1:%2").arg(endpoint_->address).arg(endpoint_->port);
    case LinkKind::Serial:
    case LinkKind::Usb:
        break;
    }
    return endpoint_->address;
}

bool TFP_CLOCK::fail(int32_t code) {
    lastError_ = code;
    return false;
}

bool TFP_CLOCK::SetIPAddress(const QString& ipAddress, int32_t port, int32_t password) {
    // Only arms the next OpenCommPort; nothing is sent yet.
    if (ipAddress.trimmed().isEmpty() || port < 1 || port > 65535) {
        // The next open is still a network one and fails; it never falls
        // back to whatever serial port was set before.
        pendingAddress_.clear();
        addressArmed_ = true;
        return fail(ERR_INVALID_PARAM);
    }
    pendingAddress_ = ipAddress.trimmed();
    pendingPort_ = port;
    pendingPassword_ = password;
    addressArmed_ = true;
    return true;
}

bool TFP_CLOCK::OpenCommPort(int32_t machineNumber) {
    CloseCommPort();
    Endpoint ep;
    ep.machine = machineNumber;
    ep.baudRate = Baudrate;
    if (inProcess_) {
        ep.kind = LinkKind::InProcess;
    } else if (IsUSB) {
        ep.kind = LinkKind::Usb;
        ep.address = devicePath_;
        if (ep.address.isEmpty()) return fail(ERR_COMPORT_ERROR);
    } else if (addressArmed_) {
        addressArmed_ = false;
        if (pendingAddress_.isEmpty()) return fail(ERR_INVALID_PARAM);
        ep.kind = LinkKind::Tcp;
        ep.address = pendingAddress_;
        ep.port = pendingPort_;
        ep.password = pendingPassword_;
    } else {
        ep.kind = LinkKind::Serial;
        if (CommPort < 1) return fail(ERR_INVALID_PARAM);
        ep.address = devicePath_;
        if (ep.address.isEmpty()) return fail(ERR_COMPORT_ERROR);
    }
    // The address is for one OpenCommPort; a later serial open must not turn into TCP.
    addressArmed_ = false;
    endpoint_ = ep;
    if (!connectLink()) {
        endpoint_.reset();
        return false;
    }
    return true;
}

void TFP_CLOCK::CloseCommPort() {
    link_.reset();
    endpoint_.reset();
    logs_ = {};
    users_ = {};
    locked_ = false;
    dropReadAhead();
}

bool TFP_CLOCK::connectLink() {
    link_.reset();
    logs_ = {};
    users_ = {};
    locked_ = false;
    dropReadAhead();
    const Endpoint& ep = *endpoint_;
    QDeadlineTimer deadline(openTimeoutMs_);
    int32_t error = ERR_COMPORT_ERROR;
    switch (ep.kind) {
    case LinkKind::InProcess:
        link_ = openInProcessLink(inProcess_, &error);
        break;
    case LinkKind::Tcp:
        link_ = openTcpLink(ep.address, static_cast<uint16_t>(ep.port), openTimeoutMs_, &error);
        break;
    case LinkKind::Serial:
        link_ = openSerialLink(ep.address, ep.baudRate, &error);
        break;
    case LinkKind::Usb: {
        // The USB path is a serial device, or a Unix socket standing in for one.
        struct stat st {};
        const QByteArray path = ep.address.toLocal8Bit();
        if (::stat(path.constData(), &st) == 0 && S_ISSOCK(st.st_mode))
            link_ = openLocalLink(ep.address, openTimeoutMs_, &error);
        else
            link_ = openSerialLink(ep.address, ep.baudRate, &error);
        break;
    }
    }
    if (!link_) return fail(error);
    Message hello;
    hello.op = Op::Hello;
    hello.ints = {ep.machine, ep.password};
    Message reply;
    const int left = static_cast<int>(std::max<qint64>(1, deadline.remainingTime()));
    // The hello goes in the oldest version still spoken, so that any
    // terminal reads it; from version 5 its reply says the terminal's own.
    link_->setVersion(wire::kMinVersion);
    int32_t code = link_->transact(hello, reply, left, cancelled_);
    if (code == SUCCESS) code = reply.code;
    if (code == SUCCESS && !wire::linkOperation(Op::Hello)->reply.fits(reply)) code = ERR_READ_FAIL;
    if (code != SUCCESS) {
        link_.reset();
        return fail(code);
    }
    peerVersion_ = reply.ints.empty()
                       ? wire::kMinVersion
                       : std::clamp<int32_t>(reply.ints[0], wire::kMinVersion, wire::kVersion);
    link_->setVersion(static_cast<uint8_t>(peerVersion_));
    return true;
}

bool TFP_CLOCK::call(Op op, std::vector<int32_t> ints, Message* reply,
                     std::vector<QByteArray> blobs, bool mayReconnect, int timeoutMs) {
    if (!link_ || !link_->isOpen()) {
        link_.reset();
        locked_ = false;
        // After a broken link the next operation opens it again, so the
        // operator can simply retry; a download in progress can't be resumed.
        // A cancelled command gives up at once.
        if (!endpoint_ || !mayReconnect || cancelled()) return fail(ERR_COMPORT_ERROR);
        if (!connectLink()) return false;
    }
    Message rq;
    rq.op = op;
    rq.ints = std::move(ints);
    rq.blobs = std::move(blobs);
    // Too big for a frame: the terminal would refuse it and hang up.
    if (wire::payloadSize(rq) > wire::kMaxPayload) return fail(ERR_INVALID_PARAM);
    const wire::LinkOperation* row = wire::linkOperation(op);
    // An older terminal would take it for a malformed frame and hang up.
    if (!row || row->since > peerVersion_) return fail(ERR_NOSUPPORT);
    // What was read ahead holds only until a request that may change it.
    if (!row->keepsReadAhead) dropReadAhead();
    Message rp;
    const int32_t code =
        link_->transact(rq, rp, timeoutMs > 0 ? timeoutMs : operationTimeoutMs_, cancelled_);
    linkBytes_ += frameBytes(rq);
    if (code != SUCCESS) {
        locked_ = false; // the link is gone, and the terminal's lock with it
        return fail(code);
    }
    linkBytes_ += frameBytes(rp);
    if (rp.code == ERR_COMPORT_ERROR) {
        link_.reset(); // the terminal lost our session (a serial line that was reset)
        locked_ = false;
    }
    if (rp.code != SUCCESS) return fail(rp.code);
    // Every reply is checked against its row here; each operation then
    // checks only what its values mean.
    if (!row->reply.fits(rp)) return fail(ERR_READ_FAIL);
    if (reply) *reply = std::move(rp);
    return true;
}

bool TFP_CLOCK::EnableDevice(int32_t machineNumber, int32_t flag) {
    const bool ok = call(Op::EnableDevice, {machineNumber, flag});
    locked_ = ok && flag == 0;
    return ok;
}

int32_t TFP_CLOCK::newRecordsStart() const {
    return logs_.kind == ListKind::NewLogs ? logs_.start : -1;
}

bool TFP_CLOCK::commitNewRecords(int32_t machineNumber, int32_t count) {
    if (logs_.kind != ListKind::NewLogs) return fail(ERR_NON_CARRYOUT);
    // Never records the caller has not had.
    if (count < 0 || count > logs_.handed) return fail(ERR_INVALID_PARAM);
    const int64_t to = int64_t(logs_.start) + count;
    Message rp;
    if (!call(Op::CommitNewRecords, {machineNumber, logs_.start, static_cast<int32_t>(to)}, &rp, {},
              false))
        return false;
    logs_.start = static_cast<int32_t>(to);
    logs_.handed -= count;
    return true;
}

bool TFP_CLOCK::GetLastError(int32_t& errorCode) {
    errorCode = lastError_;
    return true;
}

bool TFP_CLOCK::SetDeviceTime(int32_t machineNumber) {
    const QDateTime now = QDateTime::currentDateTime();
    return call(Op::SetDeviceTime,
                {machineNumber, now.date().year(), now.date().month(), now.date().day(),
                 now.time().hour(), now.time().minute(), now.time().second()});
}

bool TFP_CLOCK::GetDeviceTime(int32_t machineNumber, int32_t& year, int32_t& month, int32_t& day,
                              int32_t& hour, int32_t& minute, int32_t& second) {
    Message rp;
    if (!call(Op::GetDeviceTime, {machineNumber}, &rp)) return false;
    year = rp.ints[0], month = rp.ints[1], day = rp.ints[2];
    hour = rp.ints[3], minute = rp.ints[4], second = rp.ints[5];
    return true;
}

bool TFP_CLOCK::prepareList(RowList& list, ListKind kind, Op op, std::vector<int32_t> ints) {
    list = {};
    Message rp;
    if (!call(op, std::move(ints), &rp)) return false;
    // Record lists also say where on the terminal they start.
    const bool records = kind != ListKind::Users;
    if (rp.ints[0] < 0 || (records && rp.ints[1] < 0)) return fail(ERR_READ_FAIL);
    list.kind = kind;
    list.total = rp.ints[0];
    if (records) list.start = rp.ints[1];
    list.nextChunkAt = list.start;
    return true;
}

const int32_t* TFP_CLOCK::nextRow(RowList& list, int rowInts, Op fetchOp, int32_t machine) {
    const size_t width = static_cast<size_t>(rowInts);
    if (list.next + width > list.rows.size()) {
        if (list.kind == ListKind::None) {
            fail(ERR_NON_CARRYOUT);
            return nullptr;
        }
        if (list.fetched >= list.total) {
            fail(ERR_LOG_END);
            return nullptr;
        }
        // Records come in chunks: one round trip per chunk, not per record.
        Message rp;
        if (!call(fetchOp, {machine, wire::kMaxChunkRows}, &rp, {}, false)) {
            if (lastError_ == ERR_READ_FAIL) link_.reset(); // out of step with the list
            return nullptr;
        }
        const size_t left = static_cast<size_t>(list.total - list.fetched);
        size_t rows = 0;
        bool sound = false;
        // A chunk must start where the last one ended: a reply the link
        // delivered twice would otherwise stand in for the next chunk.
        if (fetchOp == Op::FetchLogs) { // records come compact: a count, the position, the bytes
            // (an empty chunk says where a list that got shorter ends).
            sound = (rp.ints[0] == 0 || rp.ints[1] == list.nextChunkAt) && rp.ints[0] >= 0 &&
                    static_cast<size_t>(rp.ints[0]) <= left &&
                    wire::decodeLogRows(rp.blobs[0].constData(),
                                        static_cast<size_t>(rp.blobs[0].size()),
                                        static_cast<size_t>(rp.ints[0]), list.rows);
            rows = sound ? static_cast<size_t>(rp.ints[0]) : 0;
        } else { // the position, then the rows
            rows = (rp.ints.size() - 1) / width;
            sound = (rows == 0 || rp.ints[0] == list.nextChunkAt) &&
                    (rp.ints.size() - 1) % width == 0 && rows <= left;
            if (sound) {
                rp.ints.erase(rp.ints.begin());
                list.rows = std::move(rp.ints);
            }
        }
        if (!sound) {
            link_.reset();
            list.rows.clear();
            list.next = 0;
            fail(ERR_READ_FAIL);
            return nullptr;
        }
        list.next = 0;
        if (rows == 0) { // the terminal's list got shorter meanwhile
            list.fetched = list.total;
            fail(ERR_LOG_END);
            return nullptr;
        }
        list.fetched += static_cast<int32_t>(rows);
        list.nextChunkAt += static_cast<int32_t>(rows);
    }
    const int32_t* row = list.rows.data() + list.next;
    list.next += width;
    ++list.handed;
    return row;
}

bool TFP_CLOCK::ReadGeneralLogData(int32_t machineNumber) {
    // ReadMark false asks for every record; true for the new ones only.
    return prepareList(logs_, ReadMark ? ListKind::NewLogs : ListKind::AllLogs,
                       Op::ReadGeneralLogData, {machineNumber, ReadMark ? 1 : 0});
}

bool TFP_CLOCK::ReadAllGeneralLogData(int32_t machineNumber) {
    return prepareList(logs_, ListKind::AllLogs, Op::ReadAllGeneralLogData, {machineNumber});
}

bool TFP_CLOCK::getLog(int32_t machine, int32_t& tMachine, int32_t& enroll, int32_t& eMachine,
                       int32_t& mode, int32_t& year, int32_t& month, int32_t& day, int32_t& hour,
                       int32_t& minute) {
    const int32_t* r = nextRow(logs_, wire::kLogInts, Op::FetchLogs, machine);
    if (!r) return false;
    tMachine = machine, eMachine = machine;
    enroll = r[0], mode = r[1], year = r[2], month = r[3], day = r[4], hour = r[5], minute = r[6];
    return true;
}

bool TFP_CLOCK::GetGeneralLogData(int32_t machineNumber, int32_t& tMachineNumber,
                                  int32_t& enrollNumber, int32_t& eMachineNumber,
                                  int32_t& verifyMode, int32_t& year, int32_t& month, int32_t& day,
                                  int32_t& hour, int32_t& minute) {
    return getLog(machineNumber, tMachineNumber, enrollNumber, eMachineNumber, verifyMode, year,
                  month, day, hour, minute);
}

bool TFP_CLOCK::GetAllGeneralLogData(int32_t machineNumber, int32_t& tMachineNumber,
                                     int32_t& enrollNumber, int32_t& eMachineNumber,
                                     int32_t& verifyMode, int32_t& year, int32_t& month,
                                     int32_t& day, int32_t& hour, int32_t& minute) {
    return getLog(machineNumber, tMachineNumber, enrollNumber, eMachineNumber, verifyMode, year,
                  month, day, hour, minute);
}

bool TFP_CLOCK::ReadAllUserID(int32_t machineNumber) {
    return prepareList(users_, ListKind::Users, Op::ReadAllUserID, {machineNumber});
}

bool TFP_CLOCK::GetAllUserID(int32_t machineNumber, int32_t& enrollNumber, int32_t& eMachineNumber,
                             int32_t& backupNumber, int32_t& privilege, int32_t& enable) {
    const int32_t* r = nextRow(users_, wire::kUserInts, Op::FetchUsers, machineNumber);
    if (!r) return false;
    enrollNumber = r[0], eMachineNumber = r[1], backupNumber = r[2], privilege = r[3],
    enable = r[4];
    return true;
}

bool TFP_CLOCK::GetEnrollData(int32_t machineNumber, int32_t enrollNumber, int32_t eMachineNumber,
                              int32_t backupNumber, int32_t& privilege, EnrollTemplate& enrollData,
                              int32_t& password) {
    // A failed read clears the outs, so a caller can never store the
    // previous enrollment's template or card under this one.
    privilege = 0;
    password = 0;
    const bool fingerprint = isFingerprintBackup(backupNumber);
    if (fingerprint) enrollData.fill(0);
    if (const auto ahead =
            enrollDataAhead(machineNumber, enrollNumber, eMachineNumber, backupNumber)) {
        if (ahead->code != SUCCESS) return fail(ahead->code);
        privilege = ahead->privilege;
        password = ahead->password;
        if (fingerprint) std::copy_n(ahead->data.begin(), enrollData.size(), enrollData.begin());
        return true;
    }
    Message rp;
    if (!call(Op::GetEnrollData, {machineNumber, enrollNumber, eMachineNumber, backupNumber}, &rp))
        return false;
    const size_t want = 2 + (fingerprint ? enrollData.size() : 0);
    if (rp.ints.size() != want) return fail(ERR_READ_FAIL);
    privilege = rp.ints[0];
    password = rp.ints[1];
    if (fingerprint) std::copy_n(rp.ints.begin() + 2, enrollData.size(), enrollData.begin());
    return true;
}

bool TFP_CLOCK::SetEnrollData(int32_t machineNumber, int32_t enrollNumber, int32_t eMachineNumber,
                              int32_t backupNumber, int32_t privilege,
                              const EnrollTemplate& enrollData, int32_t password) {
    std::vector<int32_t> ints{machineNumber, enrollNumber, eMachineNumber,
                              backupNumber,  privilege,    password};
    ints.insert(ints.end(), enrollData.begin(), enrollData.end());
    return call(Op::SetEnrollData, std::move(ints));
}

bool TFP_CLOCK::GetEnrollDataWithString(int32_t machineNumber, int32_t enrollNumber,
                                        int32_t eMachineNumber, int32_t backupNumber,
                                        int32_t& privilege, QString& enrollData,
                                        int32_t& password) {
    privilege = 0;
    password = 0;
    enrollData.clear();
    const bool fingerprint = isFingerprintBackup(backupNumber);
    Message rp;
    if (!call(Op::GetEnrollDataWithString,
              {machineNumber, enrollNumber, eMachineNumber, backupNumber}, &rp))
        return false;
    EnrollTemplate data{};
    if (rp.ints.size() != 2 + (fingerprint ? data.size() : 0)) return fail(ERR_READ_FAIL);
    privilege = rp.ints[0];
    password = rp.ints[1];
    if (fingerprint) {
        std::copy_n(rp.ints.begin() + 2, data.size(), data.begin());
        enrollData = templateToText(data);
    }
    return true;
}

bool TFP_CLOCK::SetEnrollDataWithString(int32_t machineNumber, int32_t enrollNumber,
                                        int32_t eMachineNumber, int32_t backupNumber,
                                        int32_t privilege, const QString& enrollData,
                                        int32_t password) {
    EnrollTemplate data{};
    // A damaged text must not reach the terminal as a half-zero template.
    if (isFingerprintBackup(backupNumber) && !textToTemplate(enrollData, data))
        return fail(ERR_INVALID_PARAM);
    std::vector<int32_t> ints{machineNumber, enrollNumber, eMachineNumber,
                              backupNumber,  privilege,    password};
    ints.insert(ints.end(), data.begin(), data.end());
    return call(Op::SetEnrollDataWithString, std::move(ints));
}

bool TFP_CLOCK::DeleteEnrollData(int32_t machineNumber, int32_t enrollNumber,
                                 int32_t eMachineNumber, int32_t backupNumber) {
    return call(Op::DeleteEnrollData, {machineNumber, enrollNumber, eMachineNumber, backupNumber});
}

bool TFP_CLOCK::ModifyPrivilege(int32_t machineNumber, int32_t enrollNumber, int32_t eMachineNumber,
                                int32_t backupNumber, int32_t privilege) {
    return call(Op::ModifyPrivilege,
                {machineNumber, enrollNumber, eMachineNumber, backupNumber, privilege});
}

bool TFP_CLOCK::EmptyEnrollData(int32_t machineNumber) {
    return call(Op::EmptyEnrollData, {machineNumber});
}

bool TFP_CLOCK::ClearKeeperData(int32_t machineNumber) {
    return call(Op::ClearKeeperData, {machineNumber});
}

bool TFP_CLOCK::GetUserName(int32_t, int32_t machineNumber, int32_t enrollNumber, int32_t,
                            QString& name) {
    // Cleared first: a failed read must not leave the previous user's name.
    name.clear();
    if (const auto ahead = userNameAhead(machineNumber, enrollNumber)) {
        if (ahead->code != SUCCESS) return fail(ahead->code);
        name = ahead->name;
        return true;
    }
    Message rp;
    if (!call(Op::GetUserName, {machineNumber, enrollNumber}, &rp)) return false;
    name = QString::fromUtf8(rp.blobs[0]);
    return true;
}

bool TFP_CLOCK::SetUserName(int32_t, int32_t machineNumber, int32_t enrollNumber, int32_t,
                            const QString& name) {
    return call(Op::SetUserName, {machineNumber, enrollNumber}, nullptr, {name.toUtf8()});
}

bool TFP_CLOCK::GetSerialNumber(int32_t machineNumber, QString& serial) {
    serial.clear();
    Message rp;
    if (!call(Op::GetSerialNumber, {machineNumber}, &rp)) return false;
    if (rp.blobs[0].size() > kMaxSerialLength) return fail(ERR_READ_FAIL);
    const QString text = QString::fromLatin1(rp.blobs[0]);
    if (!isValidSerial(text)) return fail(ERR_READ_FAIL);
    serial = text;
    return true;
}

bool TFP_CLOCK::GetDeviceCounts(int32_t machineNumber, DeviceCounts& counts) {
    counts = {};
    Message rp;
    if (!call(Op::GetDeviceCounts, {machineNumber}, &rp)) return false;
    const DeviceCounts c{rp.ints[0], rp.ints[1], rp.ints[2], rp.ints[3]};
    if (c.newRecords < 0 || c.users < 0 || c.newRecords > c.allRecords || c.users > c.enrollments)
        return fail(ERR_READ_FAIL);
    counts = c;
    return true;
}

bool TFP_CLOCK::WaitForNewRecords(int32_t machineNumber, int32_t position, int32_t ms,
                                  int32_t& logEnd) {
    logEnd = 0;
    if (position < 0 || ms < 0 || ms > wire::kMaxWaitMs) return fail(ERR_INVALID_PARAM);
    // The terminal is silent for up to ms by design; only what comes after
    // that is a dead link.
    const int limit = ms + std::min(operationTimeoutMs_, kWaitMarginMs);
    Message rp;
    if (!call(Op::WaitForNewRecords, {machineNumber, position, ms}, &rp, {}, true, limit))
        return false;
    if (rp.ints[0] < 0) return fail(ERR_READ_FAIL);
    logEnd = rp.ints[0];
    return true;
}

bool TFP_CLOCK::GetBellTime(int32_t machineNumber, int32_t& ringDuration, BellTable& bellTable) {
    Message rp;
    if (!call(Op::GetBellTime, {machineNumber}, &rp)) return false;
    ringDuration = rp.ints[0];
    for (size_t i = 0; i < 3 * kBellCount; ++i)
        bellTable[i] = static_cast<uint8_t>(rp.ints[1 + i] & 0xff);
    return true;
}

bool TFP_CLOCK::SetBellTime(int32_t machineNumber, int32_t ringDuration,
                            const BellTable& bellTable) {
    std::vector<int32_t> ints{machineNumber, ringDuration};
    for (size_t i = 0; i < 3 * kBellCount; ++i)
        ints.push_back(bellTable[i]);
    return call(Op::SetBellTime, std::move(ints));
}

void TFP_CLOCK::dropReadAhead() {
    dataAhead_.clear();
    namesAhead_.clear();
}

const int32_t* TFP_CLOCK::currentUserRow(size_t& index) const {
    const size_t width = wire::kUserInts;
    if (users_.kind != ListKind::Users || users_.next < width) return nullptr;
    index = static_cast<size_t>(users_.handed) - 1;
    return users_.rows.data() + users_.next - width;
}

size_t TFP_CLOCK::userRowsLeft() const {
    // The current row and the ones after it in the chunk at hand.
    return std::min<size_t>((users_.rows.size() - users_.next) / wire::kUserInts + 1,
                            wire::kMaxBatchKeys);
}

std::optional<wire::EnrollDataAnswer> TFP_CLOCK::enrollDataAhead(int32_t machine, int32_t enroll,
                                                                 int32_t eMachine, int32_t backup) {
    // Only under our lock: nobody else can change the terminal meanwhile.
    size_t index = 0;
    const int32_t* row = locked_ ? currentUserRow(index) : nullptr;
    if (!row || row[0] != enroll || row[1] != eMachine || row[2] != backup) return std::nullopt;
    if (machine != dataMachine_ || index < dataAheadFirst_ ||
        index >= dataAheadFirst_ + dataAhead_.size()) {
        dataAhead_.clear();
        const size_t keys = userRowsLeft();
        std::vector<int32_t> ints{machine};
        for (size_t k = 0; k < keys; ++k) {
            const int32_t* r = row + k * wire::kUserInts;
            ints.insert(ints.end(), {r[0], r[1], r[2]});
        }
        Message rp;
        if (!call(Op::GetEnrollDataBatch, std::move(ints), &rp, {}, false))
            return wire::EnrollDataAnswer{lastError_, 0, 0, {}};
        std::vector<wire::EnrollDataAnswer> answers;
        if (!wire::splitEnrollDataAnswers(rp.ints, keys, answers))
            return wire::EnrollDataAnswer{ERR_READ_FAIL, 0, 0, {}};
        for (size_t k = 0; k < answers.size(); ++k) {
            wire::EnrollDataAnswer& a = answers[k];
            const bool wantTemplate = isFingerprintBackup(row[k * wire::kUserInts + 2]);
            if (a.code == SUCCESS && a.data.empty() == wantTemplate) a = {ERR_READ_FAIL, 0, 0, {}};
        }
        dataAhead_ = std::move(answers);
        dataAheadFirst_ = index;
        dataMachine_ = machine;
    }
    return dataAhead_[index - dataAheadFirst_];
}

std::optional<TFP_CLOCK::NameAnswer> TFP_CLOCK::userNameAhead(int32_t machine, int32_t enroll) {
    size_t index = 0;
    const int32_t* row = locked_ ? currentUserRow(index) : nullptr;
    if (!row || row[0] != enroll) return std::nullopt;
    if (machine != namesMachine_ || index < namesAheadFirst_ ||
        index >= namesAheadFirst_ + namesAhead_.size()) {
        namesAhead_.clear();
        const size_t keys = userRowsLeft();
        std::vector<int32_t> ints{machine};
        for (size_t k = 0; k < keys; ++k)
            ints.push_back(row[k * wire::kUserInts]);
        Message rp;
        if (!call(Op::GetUserNameBatch, std::move(ints), &rp, {}, false))
            return NameAnswer{lastError_, {}};
        const size_t answered = rp.ints.size();
        if (answered > keys) return NameAnswer{ERR_READ_FAIL, {}};
        for (size_t k = 0; k < answered; ++k) {
            const bool ok = rp.ints[k] == SUCCESS;
            namesAhead_.push_back({rp.ints[k], ok ? QString::fromUtf8(rp.blobs[k]) : QString()});
        }
        namesAheadFirst_ = index;
        namesMachine_ = machine;
    }
    return namesAhead_[index - namesAheadFirst_];
}

QString TFP_CLOCK::templateToText(const EnrollTemplate& data) {
    static const char digits[] = "0123456789ABCDEF";
    QString text;
    text.reserve(static_cast<qsizetype>(data.size() * 9));
    for (size_t i = 0; i < data.size(); ++i) {
        if (i) text.append(QLatin1Char(' '));
        const auto v = static_cast<uint32_t>(data[i]);
        for (int shift = 28; shift >= 0; shift -= 4)
            text.append(QLatin1Char(digits[(v >> shift) & 0xf]));
    }
    return text;
}

bool TFP_CLOCK::textToTemplate(const QString& text, EnrollTemplate& data) {
    static const QRegularExpression blanks(QStringLiteral("\\s+"));
    const QStringList groups = text.split(blanks, Qt::SkipEmptyParts);
    if (groups.size() != static_cast<qsizetype>(data.size())) return false;
    EnrollTemplate parsed{};
    for (qsizetype i = 0; i < groups.size(); ++i) {
        const QString& g = groups[i];
        if (g.size() > 8) return false;
        uint32_t v = 0;
        for (QChar ch : g) {
            const int d = QStringView(u"0123456789ABCDEF").indexOf(ch.toUpper());
            if (d < 0) return false;
            v = v << 4 | static_cast<uint32_t>(d);
        }
        parsed[static_cast<size_t>(i)] = static_cast<int32_t>(v);
    }
    data = parsed;
    return true;
}
