#include "DeviceModel.h"

#include "ErrorNames.h"
#include "LinkOperations.h"

#include <QDateTime>
#include <QThread>

#include <algorithm>
#include <limits>
#include <unordered_set>

using wire::Message;
using wire::Op;

namespace {

Message reply(const Message& rq, int32_t code, std::vector<int32_t> ints = {}) {
    Message m;
    m.op = rq.op;
    m.code = code;
    m.ints = std::move(ints);
    return m;
}

// Terminals keep names of up to 12 characters.
QString terminalName(const QString& name) {
    qsizetype n = std::min<qsizetype>(name.size(), 12);
    if (n > 0 && n < name.size() && name.at(n - 1).isHighSurrogate()) --n;
    return name.left(n);
}

} // namespace

DeviceModel::DeviceModel(DeviceState state) : state_(std::move(state)) {
    if (state_.serial.isEmpty()) state_.serial = makeSerial();
}

DeviceModel::ClientId DeviceModel::connectClient(bool checkPassword) {
    const ClientId id = nextClient_++;
    clients_[id].checkPassword = checkPassword;
    return id;
}

void DeviceModel::disconnectClient(ClientId client) {
    // A client that goes away releases the terminal; its unfinished download
    // does not move the new-record mark.
    if (lockHolder_ == client) releaseLock();
    clients_.erase(client);
}

void DeviceModel::changed() {
    unsaved_ = true;
    if (lockHolder_ != 0) return; // the release saves
    if (saveLater_)
        saveLater_();
    else
        flushChanges();
}

void DeviceModel::flushChanges() {
    if (!unsaved_) return;
    unsaved_ = false;
    if (onChange_) onChange_();
}

void DeviceModel::saveChangesWithoutLock() {
    // Under a lock there are none: they were saved when it was taken.
    if (lockHolder_ == 0) flushChanges();
}

void DeviceModel::releaseLock() {
    lockHolder_ = 0;
    flushChanges();
}

Enrollment* DeviceModel::findEnrollment(int32_t enroll, int32_t backup) {
    // Enrollments are one per user and backup number on a terminal; the
    // enroll-machine number is kept as written, not used to find them.
    // An index, so that a bulk read or write doesn't scan the whole list per
    // enrollment. The first of two equal keys is the one found.
    if (indexStale_) {
        index_.clear();
        for (size_t i = 0; i < state_.enrollments.size(); ++i)
            index_.emplace(keyOf(state_.enrollments[i].enroll, state_.enrollments[i].backup), i);
        indexStale_ = false;
    }
    const auto it = index_.find(keyOf(enroll, backup));
    return it == index_.end() ? nullptr : &state_.enrollments[it->second];
}

Enrollment& DeviceModel::addEnrollment(int32_t enroll, int32_t backup) {
    findEnrollment(enroll, backup); // brings the index up to date first
    Enrollment& e = state_.enrollments.emplace_back();
    e.enroll = enroll;
    e.backup = backup;
    index_.emplace(keyOf(enroll, backup), state_.enrollments.size() - 1);
    return e;
}

bool DeviceModel::removeEnrollment(int32_t enroll, int32_t backup) {
    const Enrollment* e = findEnrollment(enroll, backup);
    if (!e) return false;
    state_.enrollments.erase(state_.enrollments.begin() + (e - state_.enrollments.data()));
    indexStale_ = true; // the positions after it moved
    return true;
}

void DeviceModel::clearEnrollments() {
    state_.enrollments.clear();
    state_.names.clear();
    indexStale_ = true;
}

wire::EnrollDataAnswer DeviceModel::readEnrollment(int32_t enroll, int32_t backup) {
    wire::EnrollDataAnswer a;
    if (!isValidBackup(backup)) {
        a.code = ERR_INVALID_PARAM;
        return a;
    }
    const Enrollment* e = findEnrollment(enroll, backup);
    if (!e) {
        a.code = ERR_NON_CARRYOUT;
        return a;
    }
    a.privilege = e->privilege;
    a.password = e->password;
    if (isFingerprintBackup(e->backup)) a.data.assign(e->fingerprint.begin(), e->fingerprint.end());
    return a;
}

int32_t DeviceModel::readUserName(int32_t enroll, QString& name) {
    name.clear();
    if (const auto n = state_.names.find(enroll); n != state_.names.end()) {
        name = n->second;
        return SUCCESS;
    }
    // A user without a name has the empty name; an unknown user has none.
    for (int32_t backup = 0; backup <= kLastBackup; ++backup)
        if (findEnrollment(enroll, backup)) return SUCCESS;
    return ERR_NON_CARRYOUT;
}

DeviceModel::Reply DeviceModel::handle(ClientId id, const Message& rq) {
    Reply r;
    if (observer_) observer_(rq);
    if (faults_.delayMs > 0) QThread::msleep(static_cast<unsigned long>(faults_.delayMs));
    auto it = clients_.find(id);
    if (it == clients_.end()) {
        r.message = reply(rq, ERR_COMPORT_ERROR);
        r.hangUp = true;
        return r;
    }
    execute(it->second, id, rq, r);
    return r;
}

void DeviceModel::execute(Client& c, ClientId id, const Message& rq, Reply& out) {
    const auto refuse = [&](int32_t code) { out.message = reply(rq, code); };
    const wire::LinkOperation* op = wire::linkOperation(rq.op);
    if (!op || !op->handler || rq.ints.size() < op->minInts) return refuse(ERR_INVALID_PARAM);
    if (op->since > protocolVersion_) return refuse(ERR_NOSUPPORT);
    if (rq.op != Op::Hello && !c.greeted) return refuse(ERR_COMPORT_ERROR);
    if (auto f = faults_.failOps.find(faultName(c, *op)); f != faults_.failOps.end())
        return refuse(f->second);
    if (rq.ints[0] != state_.machine) return refuse(ERR_INVALID_PARAM);
    if (rq.op != Op::Hello && lockHolder_ != 0 && lockHolder_ != id) return refuse(ERR_MULTIUSER);

    Request request{c, id, rq};
    out.message = (this->*op->handler)(request);
    // Never a reply the control would refuse.
    if (out.message.code == SUCCESS && !op->reply.fits(out.message))
        out.message = reply(rq, ERR_MEMORY);
    out.hangUp = request.hangUp;
    out.waitMs = request.waitMs;
    if (out.waitMs > 0) out.waitFrom = rq.ints[1];
    if (out.message.code == SUCCESS) save(op->saving);
}

std::string DeviceModel::faultName(const Client& c, const wire::LinkOperation& op) const {
    // Fetching all records is GetAllGeneralLogData to the caller.
    if (op.op == Op::FetchLogs && c.logs.kind == CursorKind::AllLogs) return "GetAllGeneralLogData";
    return op.name;
}

void DeviceModel::save(wire::Saving saving) {
    if (saving == wire::Saving::None) return;
    changed();
    if (saving == wire::Saving::Now) flushChanges();
}

Message DeviceModel::onHello(Request& r) {
    // A hello on a link starts its session afresh (on a serial line a new
    // hello is the only sign that the peer was replaced).
    if (r.client.checkPassword && state_.password != 0 && r.at(1) != state_.password)
        return reply(r.message, ERR_NON_CARRYOUT);
    if (lockHolder_ == r.id) releaseLock();
    r.client = Client{true, r.client.checkPassword, {}, {}};
    // From version 5 the hello says which version the terminal speaks.
    if (protocolVersion_ < 5) return reply(r.message, SUCCESS);
    return reply(r.message, SUCCESS, {protocolVersion_});
}

Message DeviceModel::onEnableDevice(Request& r) {
    // Locking and releasing never touch the new-record mark: any command
    // brackets itself this way, and only a transfer knows what it stored.
    if (r.at(1) == 0) {
        // Changes made without the lock and still waiting are saved now, so
        // that the lock's own changes are saved once, at its release.
        if (lockHolder_ == 0) flushChanges();
        lockHolder_ = r.id;
    } else if (lockHolder_ == r.id)
        releaseLock(); // the state file is current before the caller hears of the release
    return reply(r.message, SUCCESS);
}

Message DeviceModel::onSetDeviceTime(Request& r) {
    const QDate date(r.at(1), r.at(2), r.at(3));
    const QTime time(r.at(4), r.at(5), r.at(6));
    if (!date.isValid() || !time.isValid()) return reply(r.message, ERR_INVALID_PARAM);
    const qint64 offset = QDateTime::currentDateTime().secsTo(QDateTime(date, time));
    state_.clockOffsetSeconds = static_cast<int32_t>(std::clamp<qint64>(
        offset, std::numeric_limits<int32_t>::min(), std::numeric_limits<int32_t>::max()));
    return reply(r.message, SUCCESS);
}

Message DeviceModel::onGetDeviceTime(Request& r) {
    const QDateTime now = QDateTime::currentDateTime().addSecs(state_.clockOffsetSeconds);
    return reply(r.message, SUCCESS,
                 {now.date().year(), now.date().month(), now.date().day(), now.time().hour(),
                  now.time().minute(), now.time().second()});
}

Message DeviceModel::onReadLogs(Request& r) {
    const size_t size = state_.logs.size();
    const bool onlyNew = r.message.op == Op::ReadGeneralLogData && r.at(1) != 0;
    Cursor& k = r.client.logs;
    k.kind = onlyNew ? CursorKind::NewLogs : CursorKind::AllLogs;
    k.begin =
        onlyNew ? static_cast<size_t>(std::clamp<int64_t>(state_.newMark, 0, int64_t(size))) : 0;
    k.end = size;
    k.position = k.begin;
    k.handedOut = 0;
    return reply(r.message, SUCCESS,
                 {static_cast<int32_t>(k.end - k.begin), static_cast<int32_t>(k.begin)});
}

Message DeviceModel::onFetchLogs(Request& r) {
    if (r.client.logs.kind != CursorKind::NewLogs && r.client.logs.kind != CursorKind::AllLogs)
        return reply(r.message, ERR_NON_CARRYOUT);
    return fetch(r.client.logs, r);
}

Message DeviceModel::onReadAllUserID(Request& r) {
    r.client.users = Cursor{CursorKind::Users, 0, state_.enrollments.size(), 0, 0};
    return reply(r.message, SUCCESS, {static_cast<int32_t>(r.client.users.end)});
}

Message DeviceModel::onFetchUsers(Request& r) {
    if (r.client.users.kind != CursorKind::Users) return reply(r.message, ERR_NON_CARRYOUT);
    return fetch(r.client.users, r);
}

Message DeviceModel::onGetEnrollData(Request& r) {
    const wire::EnrollDataAnswer a = readEnrollment(r.at(1), r.at(3));
    if (a.code != SUCCESS) return reply(r.message, a.code);
    Message m = reply(r.message, SUCCESS, {a.privilege, a.password});
    m.ints.insert(m.ints.end(), a.data.begin(), a.data.end());
    return m;
}

Message DeviceModel::onGetEnrollDataBatch(Request& r) {
    // Keys of (enroll, emachine, backup) after the machine number.
    const std::vector<int32_t>& ints = r.message.ints;
    const size_t keys = (ints.size() - 1) / 3;
    if ((ints.size() - 1) % 3 != 0 || keys == 0 || keys > size_t(wire::kMaxBatchKeys))
        return reply(r.message, ERR_INVALID_PARAM);
    Message m = reply(r.message, SUCCESS);
    for (size_t k = 0; k < keys; ++k)
        wire::appendEnrollDataAnswer(m.ints, readEnrollment(ints[1 + 3 * k], ints[3 + 3 * k]));
    return m;
}

Message DeviceModel::onSetEnrollData(Request& r) {
    const int32_t enroll = r.at(1), backup = r.at(3);
    if (!isValidBackup(backup)) return reply(r.message, ERR_INVALID_PARAM);
    Enrollment* found = findEnrollment(enroll, backup);
    Enrollment& e = found ? *found : addEnrollment(enroll, backup);
    e.emachine = r.at(2);
    e.privilege = r.at(4);
    if (isFingerprintBackup(backup)) {
        e.password = 0;
        std::copy_n(r.message.ints.begin() + 6, e.fingerprint.size(), e.fingerprint.begin());
    } else {
        e.password = r.at(5);
        e.fingerprint.fill(0);
    }
    return reply(r.message, SUCCESS);
}

Message DeviceModel::onDeleteEnrollData(Request& r) {
    return reply(r.message, removeEnrollment(r.at(1), r.at(3)) ? SUCCESS : ERR_NON_CARRYOUT);
}

Message DeviceModel::onModifyPrivilege(Request& r) {
    Enrollment* e = findEnrollment(r.at(1), r.at(3));
    if (!e) return reply(r.message, ERR_NON_CARRYOUT);
    e->privilege = r.at(4);
    return reply(r.message, SUCCESS);
}

Message DeviceModel::onEmptyEnrollData(Request& r) {
    clearEnrollments();
    return reply(r.message, SUCCESS);
}

Message DeviceModel::onGetUserName(Request& r) {
    QString name;
    const int32_t code = readUserName(r.at(1), name);
    if (code != SUCCESS) return reply(r.message, code);
    Message m = reply(r.message, SUCCESS);
    m.blobs.push_back(name.toUtf8());
    return m;
}

Message DeviceModel::onGetUserNameBatch(Request& r) {
    const size_t keys = r.message.ints.size() - 1;
    if (keys == 0 || keys > size_t(wire::kMaxBatchKeys)) return reply(r.message, ERR_INVALID_PARAM);
    Message m = reply(r.message, SUCCESS);
    size_t size = wire::payloadSize(m);
    for (size_t k = 0; k < keys; ++k) {
        QString name;
        int32_t code = readUserName(r.at(1 + k), name);
        QByteArray bytes = name.toUtf8();
        // Names longer than a terminal keeps can come from a hand-written
        // state file: answer only as many as fit in a frame.
        if (size + 8 + size_t(bytes.size()) > wire::kMaxPayload) {
            if (k > 0) break;
            code = ERR_MEMORY, bytes.clear();
        }
        size += 8 + size_t(bytes.size());
        m.ints.push_back(code);
        m.blobs.push_back(std::move(bytes));
    }
    return m;
}

Message DeviceModel::onSetUserName(Request& r) {
    if (r.message.blobs.size() != 1) return reply(r.message, ERR_INVALID_PARAM);
    const QString name = terminalName(QString::fromUtf8(r.message.blobs[0]));
    if (name.isEmpty())
        state_.names.erase(r.at(1));
    else
        state_.names[r.at(1)] = name;
    return reply(r.message, SUCCESS);
}

Message DeviceModel::onGetBellTime(Request& r) {
    Message m = reply(r.message, SUCCESS, {state_.ringDuration});
    for (const Bell& b : state_.bells)
        m.ints.push_back(b.on);
    for (const Bell& b : state_.bells)
        m.ints.push_back(b.hour);
    for (const Bell& b : state_.bells)
        m.ints.push_back(b.minute);
    return m;
}

Message DeviceModel::onSetBellTime(Request& r) {
    const int32_t ring = r.at(1);
    if (ring < 0 || ring > 255) return reply(r.message, ERR_INVALID_PARAM);
    std::array<Bell, kBellCount> bells{};
    for (size_t i = 0; i < bells.size(); ++i) {
        Bell& b = bells[i];
        b.on = r.at(2 + i);
        b.hour = r.at(2 + kBellCount + i);
        b.minute = r.at(2 + 2 * kBellCount + i);
        if (b.on < 0 || b.on > 255 || b.hour < 0 || b.hour > 23 || b.minute < 0 || b.minute > 59)
            return reply(r.message, ERR_INVALID_PARAM);
    }
    state_.ringDuration = ring;
    state_.bells = bells;
    return reply(r.message, SUCCESS);
}

Message DeviceModel::onCommitNewRecords(Request& r) {
    // Only the records of this client's own new-record batch that it was
    // sent, and only from where the mark stands: a commit can never skip a
    // record nobody took, nor move the mark back. The table saves the mark
    // before the transfer hears that its records are taken.
    Cursor& k = r.client.logs;
    if (k.kind != CursorKind::NewLogs) return reply(r.message, ERR_NON_CARRYOUT);
    const int64_t from = r.at(1), to = r.at(2);
    if (from != static_cast<int64_t>(k.begin) || to < from || to > static_cast<int64_t>(k.position))
        return reply(r.message, ERR_INVALID_PARAM);
    if (state_.newMark != to) { // else a repeated commit
        if (state_.newMark != from) return reply(r.message, ERR_NON_CARRYOUT);
        state_.newMark = static_cast<int32_t>(to);
        k.begin = static_cast<size_t>(to);
    }
    return reply(r.message, SUCCESS, {state_.newMark});
}

Message DeviceModel::onGetSerialNumber(Request& r) {
    Message m = reply(r.message, SUCCESS);
    m.blobs.push_back(state_.serial.toUtf8());
    return m;
}

Message DeviceModel::onGetDeviceCounts(Request& r) {
    // Counted as the lists count their rows: the records ReadGeneralLogData
    // would prepare with and without ReadMark, the enrollments ReadAllUserID
    // would prepare, and the users among them.
    const auto clamp = [](size_t n) {
        return static_cast<int32_t>(std::min<size_t>(n, std::numeric_limits<int32_t>::max()));
    };
    const size_t records = state_.logs.size();
    const auto mark = static_cast<size_t>(std::clamp<int64_t>(state_.newMark, 0, int64_t(records)));
    std::unordered_set<int32_t> users;
    users.reserve(state_.enrollments.size());
    for (const Enrollment& e : state_.enrollments)
        users.insert(e.enroll);
    return reply(r.message, SUCCESS,
                 {clamp(records - mark), clamp(records), clamp(users.size()),
                  clamp(state_.enrollments.size())});
}

Message DeviceModel::fetch(Cursor& c, Request& r) {
    const int32_t asked = r.at(1);
    if (asked <= 0) return reply(r.message, ERR_INVALID_PARAM);
    // The list may have shrunk since it was prepared (another client deleted).
    const bool users = c.kind == CursorKind::Users;
    const size_t size = users ? state_.enrollments.size() : state_.logs.size();
    c.end = std::min(c.end, size);
    c.position = std::min(c.position, c.end);
    size_t n = std::min<size_t>(
        {static_cast<size_t>(asked), size_t(wire::kMaxChunkRows), c.end - c.position});
    const bool dropping = faults_.dropAfter >= 0;
    if (dropping)
        n = std::min<size_t>(n, static_cast<size_t>(std::max(0, faults_.dropAfter - c.handedOut)));

    // Each chunk says where it starts, so a reply that arrives twice is never
    // taken for the next chunk.
    const auto first = static_cast<int32_t>(c.position);
    Message m = reply(r.message, SUCCESS);
    if (users) {
        m.ints.reserve(1 + n * wire::kUserInts);
        m.ints.push_back(first);
        for (size_t i = c.position; i < c.position + n; ++i) {
            const Enrollment& e = state_.enrollments[i];
            m.ints.insert(m.ints.end(), {e.enroll, e.emachine, e.backup, e.privilege, e.enabled});
        }
    } else {
        std::vector<int32_t> rows(n * wire::kLogInts);
        int32_t* out = rows.data();
        for (size_t i = c.position; i < c.position + n; ++i, out += wire::kLogInts) {
            const LogRecord& l = state_.logs[i];
            out[0] = l.enroll, out[1] = l.mode, out[2] = l.year, out[3] = l.month, out[4] = l.day,
            out[5] = l.hour, out[6] = l.minute;
        }
        m.ints = {static_cast<int32_t>(n), first};
        m.blobs = {wire::encodeLogRows(rows.data(), n)};
    }
    c.position += n;
    c.handedOut += static_cast<int>(n);
    if (dropping && c.handedOut >= faults_.dropAfter) r.hangUp = true;
    return m;
}

int32_t DeviceModel::logEnd() const {
    return static_cast<int32_t>(
        std::min<size_t>(state_.logs.size(), std::numeric_limits<int32_t>::max()));
}

int32_t DeviceModel::addRecord(const LogRecord& record) {
    state_.logs.push_back(record);
    changed();
    return logEnd() - 1;
}

Message DeviceModel::onWaitForNewRecords(Request& r) {
    // Nothing is read or changed: the answer says only where the log ends, so
    // that the caller knows whether there is anything past its position.
    const int32_t position = r.at(1), ms = r.at(2);
    if (position < 0 || ms < 0 || ms > wire::kMaxWaitMs) return reply(r.message, ERR_INVALID_PARAM);
    if (logEnd() <= position && ms > 0) r.waitMs = ms;
    return endWait(r.message);
}

Message DeviceModel::endWait(const Message& request) const {
    return reply(request, SUCCESS, {logEnd()});
}
