#include "Delivery.h"

#include "AttendanceLine.h"
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
// Entries of earlier versions are still read, so an upgrade never forgets a
// batch in flight: the first had no serial number, the second no address.
constexpr int kEntryBytesWithoutSerial = 8 * kEntryFields;
// The serial number: its length, then kMaxSerialBytes bytes padded with zeros.
constexpr int kEntryBytesWithoutAddress = 8 + kMaxSerialBytes + kEntryBytesWithoutSerial;
// The address follows the fields, padded the same way.
constexpr int kEntryBytes = kEntryBytesWithoutAddress + 8 + kMaxAddressBytes;

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

// The digest the lines had when they were written under machine number
// machine: a terminal whose machine number changed hands out the same
// records in lines that carry the new one.
uint64_t digestAs(const std::vector<QByteArray>& lines, size_t count, int32_t machine,
                  int32_t linesMachine) {
    if (machine == linesMachine) return digestOf(lines, count);
    std::vector<QByteArray> then;
    then.reserve(count);
    for (size_t i = 0; i < count; ++i)
        then.push_back(withMachineNumber(lines[i], machine));
    return digestOf(then, count);
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

// A text field: its length, then room bytes padded with zeros.
bool readPadded(ByteReader& in, size_t room, QByteArray& text) {
    uint64_t length = 0;
    const char* at = nullptr;
    if (!in.u64(length) || length > room || !in.bytes(room, at)) return false;
    text = QByteArray(at, static_cast<qsizetype>(length));
    return true;
}

void putPadded(QByteArray& out, const QByteArray& text, qsizetype room) {
    const QByteArray kept = text.left(room);
    putU64(out, static_cast<uint64_t>(kept.size()));
    out.append(kept);
    out.append(QByteArray(room - kept.size(), '\0'));
}

bool readEntry(ByteReader& in, JournalEntry& e, int entryBytes) {
    const bool withSerial = entryBytes != kEntryBytesWithoutSerial;
    if ((withSerial && !readPadded(in, kMaxSerialBytes, e.serial)) || !readInt32(in, e.machine) ||
        !readInt64(in, e.start) || !readInt32(in, e.probeCount) || e.probeCount < 0 ||
        e.probeCount > int32_t(kProbeRecords) || !in.u64(e.probeDigest) ||
        !readInt32(in, e.backupMonth) || !readFlag(in, e.committed) || !in.u64(e.age))
        return false;
    for (JournalFile& f : e.files)
        if (!readInt64(in, f.end) || !readFlag(in, f.tracked) || !in.u64(f.device) ||
            !in.u64(f.inode) || !readInt64(in, f.offset))
            return false;
    return entryBytes != kEntryBytes || readPadded(in, kMaxAddressBytes, e.address);
}

// The slot size of a journal file of size bytes: half of it, in whole steps.
int64_t slotSizeOf(int64_t size) {
    return std::max<int64_t>(1, size / (2 * kJournalSlotSize)) * kJournalSlotSize;
}

} // namespace

// ---- journal slots

QByteArray serializeJournalSlot(const std::vector<JournalEntry>& entries, uint64_t sequence) {
    QByteArray out;
    out.reserve(kHeaderBytes + qsizetype(entries.size()) * kEntryBytes + 4);
    out.append(kMagic, 8);
    putU64(out, sequence);
    putU64(out, uint64_t(entries.size()) | uint64_t(kEntryBytes) << 32);
    for (const JournalEntry& e : entries) {
        putPadded(out, e.serial, kMaxSerialBytes);
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
        putPadded(out, e.address, kMaxAddressBytes);
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
    if (entryBytes != kEntryBytes && entryBytes != kEntryBytesWithoutAddress &&
        entryBytes != kEntryBytesWithoutSerial)
        return std::nullopt;
    if (count > (size - kHeaderBytes) / entryBytes) return std::nullopt; // more than the slot holds
    std::vector<JournalEntry> entries(count);
    for (JournalEntry& e : entries)
        if (!readEntry(in, e, int(entryBytes))) return std::nullopt;
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
        st.st_size = 2 * kJournalSlotSize;
    }
    slotSize_ = slotSizeOf(st.st_size);
    // The newer of the two good slots; none good reads as no entries.
    QByteArray slot(slotSize_, Qt::Uninitialized);
    bool found = false;
    for (int i = 0; i < 2; ++i) {
        if (!readFully(fd_.get(), slot.data(), size_t(slotSize_), off_t(i * slotSize_))) continue;
        uint64_t sequence = 0;
        auto parsed = parseJournalSlot(slot.constData(), size_t(slotSize_), &sequence);
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
    if (slot.size() > slotSize_) {
        grow(slot);
    } else if (!writeFully(fd_.get(), slot.constData(), size_t(slot.size()),
                           off_t(sequence % 2) * slotSize_) ||
               (sync && ::fdatasync(fd_.get()) != 0)) {
        throw AppError(fileErrorText(path(), FileAction::Write, errno));
    }
    sequence_ = sequence;
    if (sync && created_) {
        syncDirectory(programDir_);
        created_ = false;
    }
}

// The slots can't be made larger in place without a moment in which neither
// is good, so the larger journal is written beside the old one, on disk,
// and renamed over it.
void DeliveryJournal::grow(const QByteArray& slot) {
    int64_t size = slotSize_;
    while (size < slot.size())
        size *= 2;
    const QString newPath = path() + QStringLiteral(".new");
    ::unlink(nativePath(newPath).constData()); // left by a run killed while growing
    FileDescriptor grown = openOwnFile(newPath, O_RDWR | O_CREAT | O_EXCL, 0660);
    QByteArray both = slot;
    both.append(QByteArray(size - slot.size(), '\0'));
    both.append(both);
    if (!grown.isOpen() || !writeFully(grown.get(), both.constData(), size_t(both.size()), 0) ||
        ::fdatasync(grown.get()) != 0 ||
        ::rename(nativePath(newPath).constData(), nativePath(path()).constData()) != 0) {
        const int error = errno;
        ::unlink(nativePath(newPath).constData());
        throw AppError(fileErrorText(path(), FileAction::Write, error));
    }
    syncDirectory(programDir_);
    fd_ = std::move(grown);
    slotSize_ = size;
    created_ = false;
}

TerminalIdentity terminalIdentity(TFP_CLOCK& clock, int32_t machine) {
    QString serial;
    if (!clock.GetSerialNumber(machine, serial)) serial.clear();
    return {serial.toLatin1().left(kMaxSerialBytes), machine,
            clock.linkAddress().toUtf8().left(kMaxAddressBytes)};
}

QString identityText(const TerminalIdentity& t) {
    // Outside bytes: only printable text is shown.
    const auto printable = [](const QByteArray& bytes) {
        QString text = QString::fromUtf8(bytes);
        text.removeIf([](QChar c) { return !c.isPrint(); });
        return text;
    };
    return QStringLiteral("seri %1, makine %2, %3")
        .arg(t.serial.isEmpty() ? QStringLiteral("numarası yok") : printable(t.serial))
        .arg(t.machine)
        .arg(t.address.isEmpty() ? QStringLiteral("adres bilinmiyor") : printable(t.address));
}

QString identityChangedText(const TerminalIdentity& then, const TerminalIdentity& now) {
    return QStringLiteral("Terminalin kimliği, onaylanmamış bir önceki aktarımdan bu yana "
                          "değişmiş: önce %1; şimdi %2. Kayıtlarının dosyalarda olup olmadığı "
                          "anlaşılamadı; hiçbir kayıt yazılmadı, terminal onaylanmadı, kayıtlar "
                          "iki kez yazılmaz. Terminalin seri numarasını, makine numarasını ve "
                          "adresini denetleyin.")
        .arg(identityText(then), identityText(now));
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
            // Never through a planted link; veri.txt and veri2.txt through a trusted one.
            const FileDescriptor file = kind == kBackupFile ? openOwnFile(path, O_RDWR)
                                                            : openDataFile(path, O_RDWR);
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
    : journal_(journal), terminal_{terminal.serial.left(kMaxSerialBytes), terminal.machine,
                                   terminal.address.left(kMaxAddressBytes)},
      start_(start), files_(files), backupMonth_(backupMonth) {
    probe_.reserve(kProbeRecords);
}

void BatchDelivery::add(const QByteArray& line) {
    ++added_;
    if (!refusal_.isEmpty()) return;
    if (entryIndex_ != SIZE_MAX) {
        put(line);
        return;
    }
    probe_.push_back(line);
    if (probe_.size() == kProbeRecords) resolve(false);
}

// Same: an entry of this very terminal. Related: perhaps this terminal under
// an identity it had before: the same address (its serial number or machine
// number changed, or another terminal took its place), the same serial
// number under another machine number, or, weaker, one side that can't tell
// its serial number. Another terminal's entries are never touched: whatever
// its machine number and address, its batches wait for it.
BatchDelivery::Kinship BatchDelivery::kinshipOf(const JournalEntry& e) const {
    const TerminalIdentity& t = terminal_;
    const bool sameSerial = !t.serial.isEmpty() && e.serial == t.serial;
    const bool sameAddress = !t.address.isEmpty() && e.address == t.address;
    if (e.machine == t.machine &&
        (sameSerial || (t.serial.isEmpty() && e.serial.isEmpty() && sameAddress)))
        return Kinship::Same;
    if (sameSerial || sameAddress) return Kinship::Related;
    if (e.machine == t.machine && (e.serial.isEmpty() || t.serial.isEmpty()))
        return Kinship::Unknown;
    return Kinship::None;
}

namespace {

// The furthest position any file of the entry holds.
int64_t writtenEnd(const JournalEntry& e) {
    int64_t end = e.start;
    for (const JournalFile& f : e.files)
        end = std::max(end, f.end);
    return end;
}

} // namespace

// Finds the journal's entry for this batch: the same terminal position and
// the same first records, first among this terminal's entries, then among
// those it may have made under an identity it had before. A batch no entry
// knows starts one of its own.
bool BatchDelivery::resolve(bool complete) {
    const size_t n = probe_.size();
    if (n == 0) return true;
    std::vector<JournalEntry>& entries = journal_.entries;
    const auto sameRecords = [&](const JournalEntry& e) {
        return e.probeCount > 0 && size_t(e.probeCount) <= n &&
               digestAs(probe_, size_t(e.probeCount), e.machine, terminal_.machine) ==
                   e.probeDigest;
    };
    size_t match = SIZE_MAX;
    for (const Kinship kin : {Kinship::Same, Kinship::Related, Kinship::Unknown}) {
        for (size_t i = 0; i < entries.size() && match == SIZE_MAX; ++i) {
            const JournalEntry& e = entries[i];
            if (kinshipOf(e) != kin) continue;
            if (e.start == start_) {
                if (sameRecords(e)) {
                    match = i;
                } else if (size_t(e.probeCount) > n && !complete) {
                    // Cut before there were enough records to tell: write
                    // nothing, the next transfer will know.
                    unresolved_ = true;
                    return false;
                }
            } else if (kin == Kinship::Related && !e.committed && start_ > e.start &&
                       start_ < writtenEnd(e)) {
                // This batch starts inside one not confirmed under the other
                // identity: its first records may be in the files already,
                // and the records that would tell were handed out then.
                TerminalIdentity then{e.serial, e.machine, e.address};
                refusal_ = identityChangedText(then, terminal_);
                unresolved_ = true;
                return false;
            }
        }
    }
    uint64_t newest = 0;
    for (const JournalEntry& e : entries)
        newest = std::max(newest, e.age);
    if (match == SIZE_MAX) {
        // This terminal's entries for this position that did not match are
        // of a log that is gone; at another address they may be a second
        // terminal's with the same identity, and stay for it.
        std::erase_if(entries, [&](const JournalEntry& e) {
            return kinshipOf(e) == Kinship::Same && e.start == start_ &&
                   (e.address.isEmpty() || e.address == terminal_.address);
        });
        // Committed batches are only kept in case a terminal forgot its
        // commit; the oldest go first. A batch not committed always stays.
        while (entries.size() >= size_t(kKeptJournalEntries)) {
            const auto victim = std::min_element(
                entries.begin(), entries.end(), [](const JournalEntry& a, const JournalEntry& b) {
                    return std::pair(!a.committed, a.age) < std::pair(!b.committed, b.age);
                });
            if (!victim->committed) break;
            entries.erase(victim);
        }
        JournalEntry fresh;
        fresh.start = start_;
        for (JournalFile& f : fresh.files)
            f.end = start_;
        entries.push_back(fresh);
        match = entries.size() - 1;
    }
    JournalEntry& e = entries[match];
    // Known from now on by what the terminal says it is now.
    e.serial = terminal_.serial;
    e.machine = terminal_.machine;
    e.address = terminal_.address;
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
    if (!refusal_.isEmpty()) return;
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
      veri2(secondFile ? std::optional<AppendFile>(
                             std::in_place, programDir + QString::fromLatin1(kSecondFileName))
                       : std::nullopt),
      backup(ensureDirectory(programDir, kNewRecordBackupDir) + monthlyBackupFileName(startDate)),
      backupMonth(startDate.year() * 100 + startDate.month()) {}
