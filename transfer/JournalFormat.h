#pragma once

// The delivery journal's bytes: its entries, one per batch of new records,
// and the slot that holds them (DeliveryJournal.h keeps two in a file).

#include "DataFiles.h"

#include <QByteArray>

#include <array>
#include <cstdint>
#include <optional>
#include <vector>

inline constexpr int kMaxSerialBytes = 64;
inline constexpr int kMaxAddressBytes = 128;
// Enough of a batch's first records to tell it from another terminal's, or
// from a terminal whose log was started afresh.
inline constexpr int kProbeRecords = 16;

struct JournalFile {
    int64_t end = 0;      // the file holds the batch's records up to this position (excluded)
    bool tracked = false; // being appended to: its whole lines after offset are
                          // the records from end on (a killed writer wrote them)
    uint64_t device = 0, inode = 0;
    int64_t offset = 0; // the file's size after the record before end
    bool operator==(const JournalFile&) const = default;
};

struct JournalEntry {
    QByteArray serial; // empty: the terminal could not tell, or an earlier version wrote it
    int32_t machine = 0;
    QByteArray address;       // empty: an earlier version wrote it
    int64_t start = 0;        // terminal position of the batch's first record
    int32_t probeCount = 0;   // the first records of the batch that probeDigest covers
    uint64_t probeDigest = 0; // of their attendance lines
    int32_t backupMonth = 0;  // yyyymm of the monthly file last appended to
    bool committed = false;   // the terminal confirmed the batch
    uint64_t age = 0;         // larger is newer
    std::array<JournalFile, kDataFileKinds> files{};
    bool operator==(const JournalEntry&) const = default;
};

// Batches the terminal confirmed are kept only in case it forgot the
// confirmation; beyond this many entries the oldest of them go. A batch not
// confirmed is never dropped: the journal grows for it.
inline constexpr int kKeptJournalEntries = 16;
// The smallest slot; a slot grows in steps of it.
inline constexpr int kJournalSlotSize = 4096;

// Two slots, each entirely rewritten in place: a write cut short leaves the
// other one good, and the file needs no new disk space once it exists. A
// journal that outgrows its slots is written anew beside the old one and
// renamed over it.
QByteArray serializeJournalSlot(const std::vector<JournalEntry>& entries, uint64_t sequence);
// nullopt for a slot that is empty or damaged. size: the slot's size.
std::optional<std::vector<JournalEntry>> parseJournalSlot(const char* data, size_t size,
                                                          uint64_t* sequence);

// The slot size of a journal file of fileSize bytes: half of it, in whole
// kJournalSlotSize steps.
int64_t journalSlotSizeOf(int64_t fileSize);
