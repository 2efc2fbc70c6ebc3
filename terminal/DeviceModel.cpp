#include "DeviceModel.h"

#include "ErrorNames.h"

#include <QDateTime>
#include <QThread>

#include <algorithm>
#include <limits>

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

// The number of ints a request of each op must carry at least.
size_t requiredInts(Op op) {
    switch (op) {
    case Op::Hello:
        return 2;
    case Op::EnableDevice:
        return 2;
    case Op::CommitNewRecords:
        return 3;
    case Op::SetDeviceTime:
        return 7;
    case Op::FetchLogs:
    case Op::FetchUsers:
    case Op::GetUserName:
    case Op::SetUserName:
    case Op::ReadGeneralLogData:
        return 2;
    case Op::GetEnrollData:
    case Op::GetEnrollDataWithString:
    case Op::DeleteEnrollData:
        return 4;
    case Op::ModifyPrivilege:
        return 5;
    case Op::SetEnrollData:
    case Op::SetEnrollDataWithString:
        return 6 + std::tuple_size_v<EnrollTemplate>;
    case Op::GetBellTime:
    case Op::GetEnrollDataBatch:
    case Op::GetUserNameBatch:
        return 1;
    case Op::SetBellTime:
        return 2 + 3 * kBellCount;
    default:
        return 1;
    }
}

} // namespace

DeviceModel::DeviceModel(DeviceState state) : state_(std::move(state)) {}

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
    if (lockHolder_ == 0) flushChanges();
}

void DeviceModel::flushChanges() {
    if (!unsaved_) return;
    unsaved_ = false;
    if (onChange_) onChange_();
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
    Client& c = it->second;
    r.message = execute(c, id, rq, r.hangUp);
    return r;
}

Message DeviceModel::execute(Client& c, ClientId id, const Message& rq, bool& hangUp) {
    if (rq.ints.size() < requiredInts(rq.op) || rq.op == Op::Error)
        return reply(rq, ERR_INVALID_PARAM);
    if (rq.op != Op::Hello && !c.greeted) return reply(rq, ERR_COMPORT_ERROR);

    std::string name = wire::opName(rq.op);
    if (rq.op == Op::FetchLogs && c.logs.kind == CursorKind::AllLogs) name = "GetAllGeneralLogData";
    if (auto f = faults_.failOps.find(name); f != faults_.failOps.end())
        return reply(rq, f->second);

    const int32_t machine = rq.ints[0];
    if (machine != state_.machine) return reply(rq, ERR_INVALID_PARAM);
    if (rq.op != Op::Hello && lockHolder_ != 0 && lockHolder_ != id)
        return reply(rq, ERR_MULTIUSER);

    switch (rq.op) {
    case Op::Hello:
        // A hello on a link starts its session afresh (on a serial line a
        // new hello is the only sign that the peer was replaced).
        if (c.checkPassword && state_.password != 0 && rq.ints[1] != state_.password)
            return reply(rq, ERR_NON_CARRYOUT);
        if (lockHolder_ == id) releaseLock();
        c = Client{true, c.checkPassword, {}, {}};
        return reply(rq, SUCCESS);

    case Op::EnableDevice:
        // Locking and releasing never touch the new-record mark: any command
        // brackets itself this way, and only a transfer knows what it stored.
        if (rq.ints[1] == 0)
            lockHolder_ = id;
        else if (lockHolder_ == id)
            releaseLock(); // the state file is current before the caller hears of the release
        return reply(rq, SUCCESS);

    case Op::CommitNewRecords:
        return commitNewRecords(c.logs, rq);

    case Op::SetDeviceTime: {
        const QDate date(rq.ints[1], rq.ints[2], rq.ints[3]);
        const QTime time(rq.ints[4], rq.ints[5], rq.ints[6]);
        if (!date.isValid() || !time.isValid()) return reply(rq, ERR_INVALID_PARAM);
        const qint64 offset = QDateTime::currentDateTime().secsTo(QDateTime(date, time));
        state_.clockOffsetSeconds = static_cast<int32_t>(std::clamp<qint64>(
            offset, std::numeric_limits<int32_t>::min(), std::numeric_limits<int32_t>::max()));
        changed();
        return reply(rq, SUCCESS);
    }

    case Op::GetDeviceTime: {
        const QDateTime now = QDateTime::currentDateTime().addSecs(state_.clockOffsetSeconds);
        return reply(rq, SUCCESS,
                     {now.date().year(), now.date().month(), now.date().day(), now.time().hour(),
                      now.time().minute(), now.time().second()});
    }

    case Op::ReadGeneralLogData:
    case Op::ReadAllGeneralLogData: {
        const size_t size = state_.logs.size();
        const bool onlyNew = rq.op == Op::ReadGeneralLogData && rq.ints[1] != 0;
        Cursor& k = c.logs;
        k.kind = onlyNew ? CursorKind::NewLogs : CursorKind::AllLogs;
        k.begin = onlyNew
                      ? static_cast<size_t>(std::clamp<int64_t>(state_.newMark, 0, int64_t(size)))
                      : 0;
        k.end = size;
        k.position = k.begin;
        k.handedOut = 0;
        return reply(rq, SUCCESS,
                     {static_cast<int32_t>(k.end - k.begin), static_cast<int32_t>(k.begin)});
    }

    case Op::FetchLogs:
        if (c.logs.kind != CursorKind::NewLogs && c.logs.kind != CursorKind::AllLogs)
            return reply(rq, ERR_NON_CARRYOUT);
        return fetch(c.logs, rq, hangUp);

    case Op::ReadAllUserID:
        c.users = Cursor{CursorKind::Users, 0, state_.enrollments.size(), 0, 0};
        return reply(rq, SUCCESS, {static_cast<int32_t>(c.users.end)});

    case Op::FetchUsers:
        if (c.users.kind != CursorKind::Users) return reply(rq, ERR_NON_CARRYOUT);
        return fetch(c.users, rq, hangUp);

    case Op::GetEnrollData:
    case Op::GetEnrollDataWithString: {
        const wire::EnrollDataAnswer a = readEnrollment(rq.ints[1], rq.ints[3]);
        if (a.code != SUCCESS) return reply(rq, a.code);
        Message m = reply(rq, SUCCESS, {a.privilege, a.password});
        m.ints.insert(m.ints.end(), a.data.begin(), a.data.end());
        return m;
    }

    case Op::GetEnrollDataBatch: {
        // Keys of (enroll, emachine, backup) after the machine number.
        const size_t keys = (rq.ints.size() - 1) / 3;
        if ((rq.ints.size() - 1) % 3 != 0 || keys == 0 || keys > size_t(wire::kMaxBatchKeys))
            return reply(rq, ERR_INVALID_PARAM);
        Message m = reply(rq, SUCCESS);
        for (size_t k = 0; k < keys; ++k)
            wire::appendEnrollDataAnswer(m.ints,
                                         readEnrollment(rq.ints[1 + 3 * k], rq.ints[3 + 3 * k]));
        return m;
    }

    case Op::GetUserNameBatch: {
        const size_t keys = rq.ints.size() - 1;
        if (keys == 0 || keys > size_t(wire::kMaxBatchKeys)) return reply(rq, ERR_INVALID_PARAM);
        Message m = reply(rq, SUCCESS);
        size_t size = wire::payloadSize(m);
        for (size_t k = 0; k < keys; ++k) {
            QString name;
            int32_t code = readUserName(rq.ints[1 + k], name);
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

    case Op::SetEnrollData:
    case Op::SetEnrollDataWithString: {
        const int32_t backup = rq.ints[3];
        if (!isValidBackup(backup)) return reply(rq, ERR_INVALID_PARAM);
        Enrollment* e = findEnrollment(rq.ints[1], backup);
        if (!e) {
            state_.enrollments.push_back(Enrollment{});
            index_.emplace(keyOf(rq.ints[1], backup), state_.enrollments.size() - 1);
            e = &state_.enrollments.back();
            e->enroll = rq.ints[1];
            e->backup = backup;
        }
        e->emachine = rq.ints[2];
        e->privilege = rq.ints[4];
        if (isFingerprintBackup(backup)) {
            e->password = 0;
            std::copy_n(rq.ints.begin() + 6, e->fingerprint.size(), e->fingerprint.begin());
        } else {
            e->password = rq.ints[5];
            e->fingerprint.fill(0);
        }
        changed();
        return reply(rq, SUCCESS);
    }

    case Op::DeleteEnrollData: {
        const int32_t enroll = rq.ints[1], backup = rq.ints[3];
        const auto at = std::find_if(
            state_.enrollments.begin(), state_.enrollments.end(),
            [&](const Enrollment& e) { return e.enroll == enroll && e.backup == backup; });
        if (at == state_.enrollments.end()) return reply(rq, ERR_NON_CARRYOUT);
        state_.enrollments.erase(at);
        indexStale_ = true;
        changed();
        return reply(rq, SUCCESS);
    }

    case Op::ModifyPrivilege: {
        Enrollment* e = findEnrollment(rq.ints[1], rq.ints[3]);
        if (!e) return reply(rq, ERR_NON_CARRYOUT);
        e->privilege = rq.ints[4];
        changed();
        return reply(rq, SUCCESS);
    }

    case Op::EmptyEnrollData:
    case Op::ClearKeeperData:
        state_.enrollments.clear();
        state_.names.clear();
        indexStale_ = true;
        changed();
        return reply(rq, SUCCESS);

    case Op::GetUserName: {
        QString name;
        const int32_t code = readUserName(rq.ints[1], name);
        if (code != SUCCESS) return reply(rq, code);
        Message m = reply(rq, SUCCESS);
        m.blobs.push_back(name.toUtf8());
        return m;
    }

    case Op::SetUserName: {
        if (rq.blobs.size() != 1) return reply(rq, ERR_INVALID_PARAM);
        const QString name = terminalName(QString::fromUtf8(rq.blobs[0]));
        if (name.isEmpty())
            state_.names.erase(rq.ints[1]);
        else
            state_.names[rq.ints[1]] = name;
        changed();
        return reply(rq, SUCCESS);
    }

    case Op::GetBellTime: {
        Message m = reply(rq, SUCCESS, {state_.ringDuration});
        for (const Bell& b : state_.bells)
            m.ints.push_back(b.on);
        for (const Bell& b : state_.bells)
            m.ints.push_back(b.hour);
        for (const Bell& b : state_.bells)
            m.ints.push_back(b.minute);
        return m;
    }

    case Op::SetBellTime: {
        const int32_t ring = rq.ints[1];
        if (ring < 0 || ring > 255) return reply(rq, ERR_INVALID_PARAM);
        std::array<Bell, kBellCount> bells{};
        for (int i = 0; i < kBellCount; ++i) {
            Bell& b = bells[static_cast<size_t>(i)];
            b.on = rq.ints[static_cast<size_t>(2 + i)];
            b.hour = rq.ints[static_cast<size_t>(2 + kBellCount + i)];
            b.minute = rq.ints[static_cast<size_t>(2 + 2 * kBellCount + i)];
            if (b.on < 0 || b.on > 255 || b.hour < 0 || b.hour > 23 || b.minute < 0 ||
                b.minute > 59)
                return reply(rq, ERR_INVALID_PARAM);
        }
        state_.ringDuration = ring;
        state_.bells = bells;
        changed();
        return reply(rq, SUCCESS);
    }

    case Op::Error:
        break;
    }
    return reply(rq, ERR_NOSUPPORT);
}

Message DeviceModel::commitNewRecords(Cursor& k, const Message& rq) {
    // Only the records of this client's own new-record batch that it was
    // sent, and only from where the mark stands: a commit can never skip a
    // record nobody took, nor move the mark back.
    if (k.kind != CursorKind::NewLogs) return reply(rq, ERR_NON_CARRYOUT);
    const int64_t from = rq.ints[1], to = rq.ints[2];
    if (from != static_cast<int64_t>(k.begin) || to < from || to > static_cast<int64_t>(k.position))
        return reply(rq, ERR_INVALID_PARAM);
    if (state_.newMark == to) return reply(rq, SUCCESS, {state_.newMark}); // a repeated commit
    if (state_.newMark != from) return reply(rq, ERR_NON_CARRYOUT);
    state_.newMark = static_cast<int32_t>(to);
    k.begin = static_cast<size_t>(to);
    changed();
    flushChanges(); // saved before the transfer hears that its records are taken
    return reply(rq, SUCCESS, {state_.newMark});
}

Message DeviceModel::fetch(Cursor& c, const Message& rq, bool& hangUp) {
    const int32_t asked = rq.ints[1];
    if (asked <= 0) return reply(rq, ERR_INVALID_PARAM);
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

    Message m = reply(rq, SUCCESS);
    if (users) {
        m.ints.reserve(n * wire::kUserInts);
        for (size_t i = c.position; i < c.position + n; ++i) {
            const Enrollment& e = state_.enrollments[i];
            m.ints.insert(m.ints.end(), {e.enroll, e.emachine, e.backup, e.privilege, e.enabled});
        }
    } else {
        std::vector<int32_t> rows(n * wire::kLogInts);
        int32_t* out = rows.data();
        for (size_t i = c.position; i < c.position + n; ++i, out += wire::kLogInts) {
            const LogRecord& r = state_.logs[i];
            out[0] = r.enroll, out[1] = r.mode, out[2] = r.year, out[3] = r.month, out[4] = r.day,
            out[5] = r.hour, out[6] = r.minute;
        }
        m.ints = {static_cast<int32_t>(n)};
        m.blobs = {wire::encodeLogRows(rows.data(), n)};
    }
    c.position += n;
    c.handedOut += static_cast<int>(n);
    if (dropping && c.handedOut >= faults_.dropAfter) hangUp = true;
    return m;
}
