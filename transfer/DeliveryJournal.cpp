#include "DeliveryJournal.h"

#include "core/AppError.h"
#include "core/DirectoryLock.h"
#include "core/FileDescriptor.h"
#include "core/RegularFile.h"

#include <QDate>

#include <algorithm>
#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr char kJournalName[] = ".veri.journal";

// Counts the whole lines of the file from offset on and cuts what follows
// the last of them. Returns the lines, and the new end in *end.
int64_t countAndCutTail(int fd, off_t offset, off_t size, off_t* end) {
    char block[64 * 1024];
    int64_t lines = 0;
    off_t lastLineEnd = offset;
    for (off_t at = offset; at < size;) {
        const size_t want = static_cast<size_t>(std::min<off_t>(sizeof block, size - at));
        if (preadFully(fd, block, want, at) != want) break;
        for (size_t i = 0; i < want; ++i)
            if (block[i] == '\n') ++lines, lastLineEnd = at + off_t(i) + 1;
        at += off_t(want);
    }
    if (lastLineEnd < size && ::ftruncate(fd, lastLineEnd) == 0) (void)::fsync(fd);
    *end = lastLineEnd;
    return lines;
}

} // namespace

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
        if (pwriteFully(fd_.get(), tail.constData(), size_t(tail.size()), st.st_size) !=
            size_t(tail.size()))
            throw AppError(fileErrorText(path(), FileAction::Write, errno));
        created_ = created;
        st.st_size = 2 * kJournalSlotSize;
    }
    slotSize_ = journalSlotSizeOf(st.st_size);
    // The newer of the two good slots; none good reads as no entries.
    QByteArray slot(slotSize_, Qt::Uninitialized);
    bool found = false;
    for (int i = 0; i < 2; ++i) {
        if (preadFully(fd_.get(), slot.data(), size_t(slotSize_), off_t(i * slotSize_)) !=
            size_t(slotSize_))
            continue;
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
    } else if (pwriteFully(fd_.get(), slot.constData(), size_t(slot.size()),
                           off_t(sequence % 2) * slotSize_) != size_t(slot.size()) ||
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
    if (!grown.isOpen() ||
        pwriteFully(grown.get(), both.constData(), size_t(both.size()), 0) != size_t(both.size()) ||
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
            const FileDescriptor file =
                kind == kBackupFile ? openOwnFile(path, O_RDWR) : openDataFile(path, O_RDWR);
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
