#include "CentralOutbox.h"

#include "core/AppError.h"
#include "core/CentralSettings.h"
#include "core/DirectoryLock.h"
#include "core/RegularFile.h"

#include <QRandomGenerator>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <map>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

namespace {

constexpr char kMagic[8] = {'V', '2', '7', '0', 'M', 'K', 'Z', '1'};
constexpr char kCursorMagic[8] = {'V', '2', '7', '0', 'M', 'K', 'C', '1'};
constexpr uint32_t kFrameMagic = 0x464B5A4D; // "MZKF"
constexpr int64_t kFrameHead = 12;
constexpr uint32_t kMaxPayload = 64u << 20;
// Keeps a frame, which is read whole, a few hundred kilobytes at most.
constexpr long long kFrameRecords = 8192;
constexpr int kMaxLine = 255;
constexpr int64_t kCursorSize = 8 + 8 + 8 + 8 + 4;

QString outboxPath(const QString& dir) {
    return dir + QString::fromLatin1(kOutboxFileName);
}
QString cursorPath(const QString& dir) {
    return dir + QString::fromLatin1(kOutboxCursorFileName);
}

template <typename T> void put(QByteArray& out, T value) {
    for (size_t i = 0; i < sizeof(T); ++i)
        out.append(static_cast<char>(static_cast<uint64_t>(value) >> (8 * i)));
}

// The one checked reader of the outbox's bytes: every read is bounds-checked,
// and a short one marks the whole read as failed.
class Reader {
  public:
    Reader(const char* data, size_t size) : p_(data), left_(size) {}
    template <typename T> T get() {
        const char* at = p_;
        if (!take(sizeof(T))) return T{};
        uint64_t v = 0;
        for (size_t i = 0; i < sizeof(T); ++i)
            v |= uint64_t(static_cast<unsigned char>(at[i])) << (8 * i);
        return static_cast<T>(v);
    }
    QByteArray bytes(size_t n) {
        const char* at = p_;
        if (!take(n)) return {};
        return QByteArray(at, qsizetype(n));
    }
    bool ok() const { return ok_; }
    bool atEnd() const { return left_ == 0; }

  private:
    bool take(size_t n) {
        if (!ok_ || n > left_) {
            ok_ = false;
            return false;
        }
        p_ += n;
        left_ -= n;
        return true;
    }
    const char* p_;
    size_t left_;
    bool ok_ = true;
};

uint32_t crcOf(const char* data, size_t size) {
    return static_cast<uint32_t>(::crc32(0L, reinterpret_cast<const Bytef*>(data), uInt(size)));
}

QByteArray headerBytes(uint64_t epoch) {
    QByteArray h(kMagic, sizeof kMagic);
    put(h, epoch);
    return h;
}

uint64_t newEpoch() {
    uint64_t e = 0;
    while (e == 0)
        e = QRandomGenerator::system()->generate64();
    return e;
}

AppError outboxError(const QString& path, const QString& what) {
    return AppError(QStringLiteral("Merkez veritabanı kuyruğu %1 %2: %3")
                        .arg(path, what, QString::fromLocal8Bit(std::strerror(errno))));
}

void syncDirectory(const QString& dir) {
    FileDescriptor d = openRetrying(dir, O_RDONLY | O_DIRECTORY);
    if (d.isOpen()) (void)::fsync(d.get());
}

// One frame at offset: its records, or nullopt when it is cut short,
// damaged or not there (the end of what counts). With onlyOf, a frame of
// another terminal reads as no records (checked all the same).
std::optional<std::vector<OutboxRecord>> frameAt(int fd, int64_t offset, int64_t* end,
                                                 const QByteArray* onlyOf = nullptr) {
    char head[kFrameHead];
    if (preadFully(fd, head, sizeof head, offset) != sizeof head) return std::nullopt;
    Reader h(head, sizeof head);
    const auto magic = h.get<uint32_t>();
    const auto length = h.get<uint32_t>();
    const auto crc = h.get<uint32_t>();
    if (magic != kFrameMagic || length > kMaxPayload) return std::nullopt;
    QByteArray payload(qsizetype(length), Qt::Uninitialized);
    if (preadFully(fd, payload.data(), length, offset + kFrameHead) != length) return std::nullopt;
    if (crcOf(payload.constData(), length) != crc) return std::nullopt;
    Reader r(payload.constData(), length);
    const QByteArray terminal = r.bytes(r.get<uint8_t>());
    const auto machine = r.get<int32_t>();
    const auto start = r.get<int64_t>();
    const auto received = r.get<int64_t>();
    const auto count = r.get<uint32_t>();
    if (!r.ok() || count > kFrameRecords) return std::nullopt;
    std::vector<OutboxRecord> records;
    if (onlyOf && *onlyOf != terminal) {
        *end = offset + kFrameHead + length;
        return records;
    }
    records.reserve(count);
    for (uint32_t i = 0; i < count; ++i) {
        QByteArray line = r.bytes(r.get<uint8_t>());
        if (!r.ok()) return std::nullopt;
        records.push_back({terminal, machine, start + i, received, std::move(line)});
    }
    if (!r.atEnd()) return std::nullopt; // a frame is exactly its records
    *end = offset + kFrameHead + length;
    return records;
}

QByteArray frameBytes(const QByteArray& terminal, int32_t machine, int64_t start, int64_t received,
                      const std::vector<QByteArray>& lines) {
    QByteArray payload;
    put(payload, uint8_t(terminal.size()));
    payload += terminal;
    put(payload, machine);
    put(payload, start);
    put(payload, received);
    put(payload, uint32_t(lines.size()));
    for (const QByteArray& line : lines) {
        put(payload, uint8_t(line.size()));
        payload += line;
    }
    QByteArray frame;
    put(frame, kFrameMagic);
    put(frame, uint32_t(payload.size()));
    put(frame, crcOf(payload.constData(), size_t(payload.size())));
    return frame + payload;
}

// Opens the outbox for writing, creating it with a header; its epoch.
FileDescriptor openForWriting(const QString& dir, uint64_t* epoch) {
    const QString path = outboxPath(dir);
    FileDescriptor fd = openOwnFile(path, O_RDWR | O_CREAT, 0660);
    if (!fd.isOpen()) throw outboxError(path, QStringLiteral("açılamadı"));
    struct stat st {};
    if (::fstat(fd.get(), &st) != 0) throw outboxError(path, QStringLiteral("okunamadı"));
    char head[OutboxReader::kHeaderSize];
    if (st.st_size < OutboxReader::kHeaderSize) {
        // New, or made and killed before its header was whole: nothing in it counts.
        *epoch = newEpoch();
        const QByteArray h = headerBytes(*epoch);
        if (::ftruncate(fd.get(), 0) != 0 ||
            pwriteFully(fd.get(), h.constData(), size_t(h.size()), 0) != size_t(h.size()) ||
            ::fdatasync(fd.get()) != 0)
            throw outboxError(path, QStringLiteral("yazılamadı"));
        syncDirectory(dir);
        return fd;
    }
    if (preadFully(fd.get(), head, sizeof head, 0) != sizeof head)
        throw outboxError(path, QStringLiteral("okunamadı"));
    if (std::memcmp(head, kMagic, sizeof kMagic) != 0)
        // Not ours, or damaged at its start: what it holds may be records
        // still to send, so it is left for the operator to look at.
        throw AppError(QStringLiteral("Merkez veritabanı kuyruğu %1 tanınmıyor (bozuk ya da "
                                      "başka bir dosya); aktarım yapılmadı. Dosyayı inceleyip "
                                      "kaldırın.")
                           .arg(path));
    Reader r(head + sizeof kMagic, sizeof head - sizeof kMagic);
    *epoch = r.get<uint64_t>();
    return fd;
}

} // namespace

QByteArray centralTerminalKey(const QByteArray& serial, const QByteArray& address,
                              int32_t machine) {
    if (!serial.isEmpty()) return serial.left(kMaxTerminalKeyBytes);
    return ("adres:" + address + '#' + QByteArray::number(machine)).left(kMaxTerminalKeyBytes);
}

void addToOutbox(const DirectoryLock& held, const QByteArray& terminal, int32_t machine,
                 int64_t start, const QByteArray& lines, long long count, int64_t received) {
    if (count <= 0) return;
    const QString dir = held.programDir();
    const QString path = outboxPath(dir);
    const QByteArray key = terminal.left(kMaxTerminalKeyBytes);
    uint64_t epoch = 0;
    FileDescriptor fd = openForWriting(dir, &epoch);

    // What the outbox holds of these positions already, and where its good
    // frames end.
    std::map<int64_t, QByteArray> known;
    int64_t end = OutboxReader::kHeaderSize;
    for (;;) {
        int64_t next = 0;
        const auto frame = frameAt(fd.get(), end, &next, &key);
        if (!frame) break;
        for (const OutboxRecord& r : *frame)
            if (r.terminal == key && r.position >= start && r.position < start + count)
                known[r.position] = r.line;
        end = next;
    }

    QByteArray out;
    std::vector<QByteArray> run;
    int64_t runStart = start;
    const auto closeRun = [&] {
        if (!run.empty()) out += frameBytes(key, machine, runStart, received, run);
        run.clear();
    };
    qsizetype at = 0;
    for (long long i = 0; i < count && at < lines.size(); ++i) {
        const qsizetype lineEnd = lines.indexOf('\n', at);
        const qsizetype next = lineEnd < 0 ? lines.size() : lineEnd + 1;
        const QByteArray line = lines.sliced(at, next - at).left(kMaxLine);
        at = next;
        const int64_t position = start + i;
        const auto there = known.find(position);
        if (there != known.end() && there->second == line) {
            closeRun();
            continue;
        }
        if (run.empty()) runStart = position;
        run.push_back(line);
        if (qsizetype(run.size()) == kFrameRecords) closeRun();
    }
    closeRun();
    if (out.isEmpty()) return;

    // A torn frame of a killed transfer goes first; its batch is this one
    // or one that came again before it.
    if (::ftruncate(fd.get(), end) != 0 ||
        pwriteFully(fd.get(), out.constData(), size_t(out.size()), end) != size_t(out.size()) ||
        ::fdatasync(fd.get()) != 0) {
        const int saved = errno;
        (void)::ftruncate(fd.get(), end); // a torn frame would be dropped anyway
        errno = saved;
        throw outboxError(path, QStringLiteral("yazılamadı"));
    }
}

OutboxReader::OutboxReader(const QString& programDir) {
    const QString path = outboxPath(programDir);
    fd_ = openOwnFile(path, O_RDONLY);
    if (!fd_.isOpen()) {
        if (errno == ENOENT) return;
        throw outboxError(path, QStringLiteral("açılamadı"));
    }
    char head[kHeaderSize];
    if (preadFully(fd_.get(), head, sizeof head, 0) != sizeof head ||
        std::memcmp(head, kMagic, sizeof kMagic) != 0) {
        fd_.reset(); // being made, or not ours: nothing to send from it
        return;
    }
    Reader r(head + sizeof kMagic, sizeof head - sizeof kMagic);
    epoch_ = r.get<uint64_t>();
}

bool OutboxReader::loadFrame(int64_t offset) {
    if (offset == frameOffset_) return true;
    int64_t end = 0;
    auto frame = fd_.isOpen() ? frameAt(fd_.get(), offset, &end) : std::nullopt;
    if (!frame) return false;
    frame_ = std::move(*frame);
    frameOffset_ = offset;
    frameEnd_ = end;
    return true;
}

std::vector<OutboxRecord> OutboxReader::read(OutboxCursor& at, size_t max) {
    std::vector<OutboxRecord> out;
    if (!isOpen()) return out;
    if (at.epoch != epoch_ || at.offset < kHeaderSize || at.index < 0) at = start();
    while (out.size() < max && loadFrame(at.offset)) {
        if (at.index >= int64_t(frame_.size())) {
            at = {epoch_, frameEnd_, 0};
            continue;
        }
        out.push_back(frame_[size_t(at.index++)]);
        if (at.index == int64_t(frame_.size())) at = {epoch_, frameEnd_, 0};
    }
    return out;
}

long long OutboxReader::countFrom(OutboxCursor at, std::optional<OutboxRecord>* first) {
    long long n = 0;
    if (first) first->reset();
    if (!isOpen()) return 0;
    if (at.epoch != epoch_ || at.offset < kHeaderSize || at.index < 0) at = start();
    while (loadFrame(at.offset)) {
        if (at.index < int64_t(frame_.size())) {
            if (first && !*first) *first = frame_[size_t(at.index)];
            n += int64_t(frame_.size()) - at.index;
        }
        at = {epoch_, frameEnd_, 0};
    }
    return n;
}

OutboxCursor readOutboxCursor(const QString& programDir) {
    const std::optional<QByteArray> bytes = readRegularFile(cursorPath(programDir), 4096);
    if (!bytes || bytes->size() != kCursorSize ||
        std::memcmp(bytes->constData(), kCursorMagic, sizeof kCursorMagic) != 0)
        return {};
    Reader r(bytes->constData(), size_t(bytes->size()));
    r.bytes(sizeof kCursorMagic);
    OutboxCursor c;
    c.epoch = r.get<uint64_t>();
    c.offset = r.get<int64_t>();
    c.index = r.get<int64_t>();
    const auto crc = r.get<uint32_t>();
    if (!r.ok() || crc != crcOf(bytes->constData(), size_t(kCursorSize - 4))) return {};
    return c;
}

void writeOutboxCursor(const QString& programDir, const OutboxCursor& c) {
    QByteArray bytes(kCursorMagic, sizeof kCursorMagic);
    put(bytes, c.epoch);
    put(bytes, c.offset);
    put(bytes, c.index);
    put(bytes, crcOf(bytes.constData(), size_t(bytes.size())));
    const QString path = cursorPath(programDir);
    const QString partial = path + QStringLiteral(".yeni");
    FileDescriptor fd = openOwnFile(partial, O_WRONLY | O_CREAT | O_TRUNC, 0660);
    if (!fd.isOpen() ||
        writeFully(fd.get(), bytes.constData(), size_t(bytes.size())) != size_t(bytes.size()) ||
        ::fdatasync(fd.get()) != 0 || !fd.close() ||
        ::rename(nativePath(partial).constData(), nativePath(path).constData()) != 0)
        throw outboxError(path, QStringLiteral("yazılamadı"));
    syncDirectory(programDir);
}

bool compactOutbox(const DirectoryLock& held, const OutboxCursor& cursor) {
    const QString dir = held.programDir();
    const QString path = outboxPath(dir);
    {
        FileDescriptor probe = openOwnFile(path, O_RDONLY);
        if (!probe.isOpen()) return false;
    }
    uint64_t epoch = 0;
    FileDescriptor fd = openForWriting(dir, &epoch);
    if (cursor.epoch != epoch || cursor.index != 0) return false;
    int64_t end = OutboxReader::kHeaderSize;
    const QByteArray none; // no terminal's key: only where the frames end counts
    for (int64_t next = 0; frameAt(fd.get(), end, &next, &none); end = next) {
    }
    if (cursor.offset != end) return false;
    // The new epoch first: a kill before the cut leaves the old frames
    // under an epoch no cursor has, so they go once more (harmless); never
    // a cursor that points into frames written after the cut.
    const uint64_t fresh = newEpoch();
    const QByteArray h = headerBytes(fresh);
    if (pwriteFully(fd.get(), h.constData(), size_t(h.size()), 0) != size_t(h.size()) ||
        ::fdatasync(fd.get()) != 0 || ::ftruncate(fd.get(), OutboxReader::kHeaderSize) != 0 ||
        ::fdatasync(fd.get()) != 0)
        throw outboxError(path, QStringLiteral("yazılamadı"));
    writeOutboxCursor(dir, {fresh, OutboxReader::kHeaderSize, 0});
    return true;
}
