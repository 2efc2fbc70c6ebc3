#include "Delivery.h"

#include "Bytes.h"
#include "DataFiles.h"
#include "core/AppError.h"
#include "core/FileDescriptor.h"
#include "core/RegularFile.h"
#include "terminal/TFP_CLOCK.h"

#include <QDate>

#include <algorithm>
#include <cerrno>
#include <exception>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr char kJournalName[] = ".veri.journal";
constexpr char kMagic[8] = {'V', '2', '7', '0', 'J', 'R', 'N', '1'};
constexpr int kHeaderBytes = 24; // magic, sequence, count, entry size
constexpr int kEntryFields = 7 + 5 * kDataFileKinds;
// An entry of the first version had no serial number; such a journal is
// still read, so an upgrade never forgets a batch in flight.
constexpr int kEntryBytesWithoutSerial = 8 * kEntryFields;
// The serial number: its length, then kMaxSerialBytes bytes padded with zeros.
constexpr int kEntryBytes = 8 + kMaxSerialBytes + kEntryBytesWithoutSerial;
static_assert(kHeaderBytes + kMaxJournalEntries * kEntryBytes + 4 <= kJournalSlotSize);

// Enough of a batch's first records to tell it from another terminal's, or
// from a terminal whose log was started afresh.
constexpr size_t kProbeRecords = 16;
// Lines are written in blocks; the journal follows after each block.
constexpr qsizetype kBlock = 64 * 1024;

// FNV-1a: the same value in every run and on every machine.
uint64_t digestOf(const std::vector<QByteArray>& lines, size_t count) {
    uint64_t h = 14695981039346656037ull;
    for (size_t i = 0; i < count; ++i)
        for (char c : lines[i]) {
            h ^= static_cast<unsigned char>(c);
            h *= 1099511628211ull;
        }
    return h;
}

bool readFully(int fd, char* data, size_t size, off_t at) {
    while (size > 0) {
        const ssize_t n = ::pread(fd, data, size, at);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        data += n, size -= size_t(n), at += n;
    }
    return true;
}

bool writeFully(int fd, const char* data, size_t size, off_t at) {
    while (size > 0) {
        const ssize_t n = ::pwrite(fd, data, size, at);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            if (n == 0) errno = EIO;
            return false;
        }
        data += n, size -= size_t(n), at += n;
    }
    return true;
}

// Counts the whole lines of the file from offset on and cuts what follows
// the last of them. Returns the lines, and the new end in *end.
int64_t countAndCutTail(int fd, off_t offset, off_t size, off_t* end) {
    char block[64 * 1024];
    int64_t lines = 0;
    off_t lastLineEnd = offset;
    for (off_t at = offset; at < size;) {
        const size_t want = static_cast<size_t>(std::min<off_t>(sizeof block, size - at));
        if (!readFully(fd, block, want, at)) break;
        for (size_t i = 0; i < want; ++i)
            if (block[i] == '\n') ++lines, lastLineEnd = at + off_t(i) + 1;
        at += off_t(want);
    }
    if (lastLineEnd < size && ::ftruncate(fd, lastLineEnd) == 0) (void)::fsync(fd);
    *end = lastLineEnd;
    return lines;
}

// The journal's fields are 8 bytes each; these take one and check its range.
bool readInt64(ByteReader& in, int64_t& out) {
    uint64_t v = 0;
    if (!in.u64(v)) return false;
    out = static_cast<int64_t>(v);
    return true;
}
bool readInt32(ByteReader& in, int32_t& out) {
    int64_t v = 0;
    if (!readInt64(in, v) || v < INT32_MIN || v > INT32_MAX) return false;
    out = static_cast<int32_t>(v);
    return true;
}
bool readFlag(ByteReader& in, bool& out) {
    uint64_t v = 0;
    if (!in.u64(v) || v > 1) return false;
    out = v == 1;
    return true;
}

bool readSerial(ByteReader& in, QByteArray& serial) {
    uint64_t length = 0;
    const char* at = nullptr;
    if (!in.u64(length) || length > kMaxSerialBytes || !in.bytes(kMaxSerialBytes, at)) return false;
    serial = QByteArray(at, static_cast<qsizetype>(length));
    return true;
}

bool readEntry(ByteReader& in, JournalEntry& e, bool withSerial) {
    if ((withSerial && !readSerial(in, e.serial)) || !readInt32(in, e.machine) ||
        !readInt64(in, e.start) || !readInt32(in, e.probeCount) || e.probeCount < 0 ||
        e.probeCount > int32_t(kProbeRecords) || !in.u64(e.probeDigest) ||
        !readInt32(in, e.backupMonth) || !readFlag(in, e.committed) || !in.u64(e.age))
        return false;
    for (JournalFile& f : e.files)
        if (!readInt64(in, f.end) || !readFlag(in, f.tracked) || !in.u64(f.device) ||
            !in.u64(f.inode) || !readInt64(in, f.offset))
            return false;
    return true;
}

} // namespace

// ---- journal slots

QByteArray serializeJournalSlot(const std::vector<JournalEntry>& entries, uint64_t sequence) {
    const size_t count = std::min<size_t>(entries.size(), kMaxJournalEntries);
    QByteArray out;
    out.reserve(kJournalSlotSize);
    out.append(kMagic, 8);
    putU64(out, sequence);
    putU64(out, uint64_t(count) | uint64_t(kEntryBytes) << 32);
    for (size_t i = 0; i < count; ++i) {
        const JournalEntry& e = entries[i];
        const QByteArray serial = e.serial.left(kMaxSerialBytes);
        putU64(out, static_cast<uint64_t>(serial.size()));
        out.append(serial);
        out.append(QByteArray(kMaxSerialBytes - serial.size(), '\0'));
        putU64(out, static_cast<uint64_t>(int64_t(e.machine)));
        putU64(out, static_cast<uint64_t>(e.start));
        putU64(out, static_cast<uint64_t>(e.probeCount));
        putU64(out, e.probeDigest);
        putU64(out, static_cast<uint64_t>(int64_t(e.backupMonth)));
        putU64(out, e.committed ? 1 : 0);
        putU64(out, e.age);
        for (const JournalFile& f : e.files) {
            putU64(out, static_cast<uint64_t>(f.end));
            putU64(out, f.tracked ? 1 : 0);
            putU64(out, f.device);
            putU64(out, f.inode);
            putU64(out, static_cast<uint64_t>(f.offset));
        }
    }
    putU32(out, crcOf(out.constData(), static_cast<size_t>(out.size())));
    return out;
}

std::optional<std::vector<JournalEntry>> parseJournalSlot(const char* data, size_t size,
                                                          uint64_t* sequence) {
    ByteReader in(data, size);
    uint64_t slotSequence = 0, shape = 0;
    if (!in.expect(kMagic, 8) || !in.u64(slotSequence) || !in.u64(shape)) return std::nullopt;
    const uint64_t count = shape & 0xffffffffu, entryBytes = shape >> 32;
    const bool withSerial = entryBytes == kEntryBytes;
    if ((!withSerial && entryBytes != kEntryBytesWithoutSerial) || count > kMaxJournalEntries)
        return std::nullopt;
    std::vector<JournalEntry> entries(count);
    for (JournalEntry& e : entries)
        if (!readEntry(in, e, withSerial)) return std::nullopt;
    const size_t used = in.consumed();
    uint32_t crc = 0;
    if (!in.u32(crc) || crc != crcOf(data, used)) return std::nullopt;
    // Not an error: the rest of the slot is what an earlier save with more
    // entries left there (a save rewrites only its own length).
    in.skipRest();
    if (sequence) *sequence = slotSequence;
    return entries;
}

// ---- the journal file

DeliveryJournal::DeliveryJournal(const QString& programDir, bool mayCreate)
    : programDir_(programDir) {
    fd_ = openOwnFile(path(), O_RDWR);
    bool created = false;
    if (!fd_.isOpen() && errno == ENOENT) {
        if (!mayCreate) return;
        // Never readable by others; writable by the group of a shared directory.
        fd_ = openOwnFile(path(), O_RDWR | O_CREAT, 0660);
        created = fd_.isOpen();
    }
    if (!fd_.isOpen()) throw AppError(fileErrorText(path(), FileAction::Open, errno));
    requireRegularFile(fd_.get(), path());
    struct stat st {};
    if (::fstat(fd_.get(), &st) != 0)
        throw AppError(fileErrorText(path(), FileAction::Read, errno));
    if (st.st_size < 2 * kJournalSlotSize) {
        // Written out, not just sized: later saves then overwrite space the
        // file already has, and work on a full disk too.
        QByteArray tail(static_cast<qsizetype>(2 * kJournalSlotSize - st.st_size), '\0');
        if (!writeFully(fd_.get(), tail.constData(), size_t(tail.size()), st.st_size))
            throw AppError(fileErrorText(path(), FileAction::Write, errno));
        created_ = created;
    }
    // The newer of the two good slots; none good reads as no entries.
    QByteArray slot(kJournalSlotSize, Qt::Uninitialized);
    bool found = false;
    for (int i = 0; i < 2; ++i) {
        if (!readFully(fd_.get(), slot.data(), kJournalSlotSize, off_t(i) * kJournalSlotSize))
            continue;
        uint64_t sequence = 0;
        auto parsed = parseJournalSlot(slot.constData(), kJournalSlotSize, &sequence);
        if (parsed && (!found || sequence > sequence_)) {
            entries = std::move(*parsed);
            sequence_ = sequence;
            found = true;
        }
    }
}

QString DeliveryJournal::path() const {
    return programDir_ + QString::fromLatin1(kJournalName);
}

void DeliveryJournal::save(bool sync) {
    if (!fd_.isOpen()) return;
    const uint64_t sequence = sequence_ + 1;
    const QByteArray slot = serializeJournalSlot(entries, sequence);
    if (!writeFully(fd_.get(), slot.constData(), size_t(slot.size()),
                    off_t(sequence % 2) * kJournalSlotSize) ||
        (sync && ::fdatasync(fd_.get()) != 0))
        throw AppError(fileErrorText(path(), FileAction::Write, errno));
    sequence_ = sequence;
    if (sync && created_) {
        syncDirectory(programDir_);
        created_ = false;
    }
}

TerminalIdentity terminalIdentity(TFP_CLOCK& clock, int32_t machine) {
    QString serial;
    if (!clock.GetSerialNumber(machine, serial)) serial.clear();
    return {serial.toLatin1(), machine};
}

QString dataFilePath(const QString& programDir, DataFileKind kind, int32_t backupMonth) {
    switch (kind) {
    case kVeriFile:
        return programDir + QString::fromLatin1(kDataFileName);
    case kVeri2File:
        return programDir + QString::fromLatin1(kSecondFileName);
    case kBackupFile: {
        const QDate month(backupMonth / 100, backupMonth % 100, 1);
        if (!month.isValid()) return {};
        return programDir + QString::fromLatin1(kNewRecordBackupDir) + u'/' +
               monthlyBackupFileName(month);
    }
    case kDataFileKinds:
        break;
    }
    return {};
}

void settleDeliveries(const DirectoryLock& held) {
    const QString& programDir = held.programDir();
    DeliveryJournal journal(programDir, false);
    if (!journal.isOpen()) return;
    bool changed = false;
    for (JournalEntry& e : journal.entries) {
        for (int kind = 0; kind < kDataFileKinds; ++kind) {
            JournalFile& f = e.files[size_t(kind)];
            if (!f.tracked) continue;
            f.tracked = false;
            changed = true;
            const QString path =
                dataFilePath(programDir, static_cast<DataFileKind>(kind), e.backupMonth);
            if (path.isEmpty()) continue;
            const FileDescriptor file = openRetrying(path, O_RDWR);
            if (!file.isOpen()) continue; // taken away: what the journal says stands
            struct stat st {};
            // Only the very file, and only if it was not emptied: then its
            // lines after the offset are ours, written after the journal was.
            if (::fstat(file.get(), &st) == 0 && uint64_t(st.st_dev) == f.device &&
                uint64_t(st.st_ino) == f.inode && st.st_size >= f.offset) {
                off_t end = 0;
                f.end += countAndCutTail(file.get(), f.offset, st.st_size, &end);
                f.offset = end;
            }
        }
    }
    if (changed) journal.save(true);
}

void noteSecondFileCopied(const QString& programDir) {
    DeliveryJournal journal(programDir, false);
    if (!journal.isOpen() || journal.entries.empty()) return;
    for (JournalEntry& e : journal.entries) {
        e.files[kVeri2File] = e.files[kVeriFile];
        e.files[kVeri2File].tracked = false;
    }
    journal.save(true);
}

// ---- one batch

BatchDelivery::BatchDelivery(DeliveryJournal& journal, const TerminalIdentity& terminal,
                             int64_t start, std::array<AppendFile*, kDataFileKinds> files,
                             int32_t backupMonth)
    : journal_(journal), terminal_{terminal.serial.left(kMaxSerialBytes), terminal.machine},
      start_(start), files_(files), backupMonth_(backupMonth) {
    probe_.reserve(kProbeRecords);
}

void BatchDelivery::add(const QByteArray& line) {
    ++added_;
    if (entryIndex_ != SIZE_MAX) {
        put(line);
        return;
    }
    probe_.push_back(line);
    if (probe_.size() == kProbeRecords) resolve(false);
}

// Another terminal's entries are never touched: whatever its machine number
// and address, its batches wait for it. An entry without a serial number is
// known by its machine number, as it was when it was written.
bool BatchDelivery::isThisTerminal(const JournalEntry& e) const {
    return e.machine == terminal_.machine && (e.serial.isEmpty() || e.serial == terminal_.serial);
}

// Finds the journal's entry for this batch: the same terminal position and
// the same first records. A batch no entry knows starts one of its own.
bool BatchDelivery::resolve(bool complete) {
    const size_t n = probe_.size();
    if (n == 0) return true;
    std::vector<JournalEntry>& entries = journal_.entries;
    size_t match = SIZE_MAX;
    for (size_t i = 0; i < entries.size() && match == SIZE_MAX; ++i) {
        const JournalEntry& e = entries[i];
        if (!isThisTerminal(e) || e.start != start_) continue;
        if (size_t(e.probeCount) <= n) {
            if (e.probeCount > 0 && digestOf(probe_, size_t(e.probeCount)) == e.probeDigest)
                match = i;
        } else if (!complete) {
            // Cut before there were enough records to tell: write nothing,
            // the next transfer will know.
            unresolved_ = true;
            return false;
        }
    }
    uint64_t newest = 0;
    for (const JournalEntry& e : entries)
        newest = std::max(newest, e.age);
    if (match == SIZE_MAX) {
        // Entries for this position that did not match are of a log that is gone.
        std::erase_if(
            entries, [&](const JournalEntry& e) { return isThisTerminal(e) && e.start == start_; });
        while (entries.size() >= size_t(kMaxJournalEntries)) {
            // Committed batches are only kept in case a terminal forgot its
            // commit; they go first, the oldest first.
            const auto victim = std::min_element(
                entries.begin(), entries.end(), [](const JournalEntry& a, const JournalEntry& b) {
                    return std::pair(!a.committed, a.age) < std::pair(!b.committed, b.age);
                });
            entries.erase(victim);
        }
        JournalEntry fresh;
        fresh.serial = terminal_.serial;
        fresh.machine = terminal_.machine;
        fresh.start = start_;
        for (JournalFile& f : fresh.files)
            f.end = start_;
        entries.push_back(fresh);
        match = entries.size() - 1;
    }
    JournalEntry& e = entries[match];
    e.probeCount = static_cast<int32_t>(n);
    e.probeDigest = digestOf(probe_, n);
    e.backupMonth = backupMonth_;
    e.committed = false;
    e.age = newest + 1;
    for (int kind = 0; kind < kDataFileKinds; ++kind) {
        JournalFile& f = e.files[size_t(kind)];
        f.tracked = files_[size_t(kind)] != nullptr;
        if (!f.tracked) continue;
        const FileIdentity id = files_[size_t(kind)]->identity();
        f.device = id.device, f.inode = id.inode, f.offset = id.size;
    }
    entryIndex_ = match;
    // Written before the first line is, so a killed run is always known.
    journal_.save(false);
    std::vector<QByteArray> lines;
    lines.swap(probe_);
    for (const QByteArray& line : lines)
        put(line);
    return true;
}

void BatchDelivery::put(const QByteArray& line) {
    const int64_t position = start_ + placed_++;
    bool full = false;
    for (size_t kind = 0; kind < kDataFileKinds; ++kind) {
        if (!files_[kind] || position < entry().files[kind].end) continue;
        buffers_[kind].append(line);
        ++buffered_[kind];
        full = full || buffers_[kind].size() >= kBlock;
    }
    if (full) flush();
}

void BatchDelivery::flush() {
    std::exception_ptr failure;
    for (size_t kind = 0; kind < kDataFileKinds; ++kind) {
        if (buffered_[kind] == 0) continue;
        QByteArray& buffer = buffers_[kind];
        qsizetype onDisk = 0;
        try {
            files_[kind]->writeLines(buffer, &onDisk);
        } catch (...) {
            if (!failure) failure = std::current_exception();
        }
        JournalFile& f = entry().files[kind];
        f.end += onDisk == buffer.size() ? buffered_[kind] : buffer.first(onDisk).count('\n');
        f.offset += onDisk;
        buffer.clear();
        buffered_[kind] = 0;
        // After each file, so that a file taken away after a kill is known
        // up to its last block as closely as can be.
        try {
            journal_.save(false);
        } catch (...) {
            if (!failure) failure = std::current_exception();
        }
    }
    if (failure) std::rethrow_exception(failure);
}

void BatchDelivery::finish(bool complete) {
    if (entryIndex_ == SIZE_MAX && !resolve(complete)) return;
    if (entryIndex_ == SIZE_MAX) return; // no records
    flush();
    for (AppendFile* file : files_)
        if (file) file->sync();
    for (JournalFile& f : entry().files)
        f.tracked = false;
    journal_.save(true);
}

void BatchDelivery::abandon() noexcept {
    if (entryIndex_ == SIZE_MAX) return;
    try {
        flush();
    } catch (...) {
        // The error that ended the transfer is reported; the journal holds
        // what reached each file.
    }
    for (AppendFile* file : files_) {
        try {
            if (file) file->sync();
        } catch (...) {
        }
    }
    try {
        journal_.save(true);
    } catch (...) {
    }
}

long long BatchDelivery::committable() const {
    if (entryIndex_ == SIZE_MAX || unresolved_) return 0;
    for (size_t kind = 0; kind < kDataFileKinds; ++kind)
        if (files_[kind] && (buffered_[kind] != 0 || entry().files[kind].end != start_ + placed_))
            return 0;
    return placed_ == added_ ? added_ : 0;
}

void BatchDelivery::committed() {
    if (entryIndex_ == SIZE_MAX) return;
    entry().committed = true;
    journal_.save(false);
}

NewRecordFiles::NewRecordFiles(const QString& programDir, bool secondFile, const QDate& startDate)
    : veri(programDir + QString::fromLatin1(kDataFileName)),
      veri2(secondFile ? std::optional<AppendFile>(std::in_place,
                                                   programDir + QString::fromLatin1(kSecondFileName))
                       : std::nullopt),
      backup(ensureDirectory(programDir, kNewRecordBackupDir) + monthlyBackupFileName(startDate)),
      backupMonth(startDate.year() * 100 + startDate.month()) {}
