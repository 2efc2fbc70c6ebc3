#pragma once

// The delivery journal ".veri.journal" in the program directory: per batch
// of new records, up to which terminal position each data file holds the
// batch (README, "How records are delivered"). A transfer consults it to
// write no record twice, and commits a batch to the terminal only once
// every file holds all of it on disk.

#include "DataFiles.h"
#include "JournalFormat.h"
#include "core/FileDescriptor.h"

#include <QString>

#include <cstdint>
#include <vector>

class DirectoryLock;

class DeliveryJournal {
  public:
    // Opens ".veri.journal" in programDir, creating it (at its full size)
    // unless mayCreate is false and it is missing; then isOpen() is false.
    // Throws AppError when it can't. Damaged content reads as no entries.
    explicit DeliveryJournal(const QString& programDir, bool mayCreate = true);
    DeliveryJournal(const DeliveryJournal&) = delete;
    DeliveryJournal& operator=(const DeliveryJournal&) = delete;

    bool isOpen() const { return fd_.isOpen(); }
    // Writes the entries into the older slot; with sync, onto the disk.
    // Entries that no longer fit make the slots larger first.
    void save(bool sync); // throws AppError

    const QString& programDir() const { return programDir_; }
    QString path() const;

    std::vector<JournalEntry> entries;

  private:
    void grow(const QByteArray& slot);

    QString programDir_;
    FileDescriptor fd_;
    bool created_ = false; // its directory entry is not synced yet
    uint64_t sequence_ = 0;
    int64_t slotSize_ = kJournalSlotSize;
};

// The path of a data file of an entry, in the program directory.
QString dataFilePath(const QString& programDir, DataFileKind kind, int32_t backupMonth);

// The first step of every command that appends to the data files, once it
// holds their lock: a command before it may have been killed. Counts, for
// every file a batch was being appended to, the whole lines beyond what the
// journal holds, and cuts a partial last line; lines appended after that
// would otherwise count as the batch's. Files moved, emptied or deleted
// meanwhile keep what the journal says.
void settleDeliveries(const DirectoryLock& held); // throws AppError

// veri2.txt was made a copy of veri.txt: it holds what veri.txt holds.
void noteSecondFileCopied(const QString& programDir); // throws AppError
