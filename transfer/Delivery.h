#pragma once

// How new records reach the data files exactly once, whatever cuts a
// transfer (README, "How records are delivered").
//
// The journal ".veri.journal" in the program directory remembers, per batch
// of new records, up to which terminal position each data file holds the
// batch. A transfer consults it to write no record twice, and commits a
// batch to the terminal only once every file holds all of it on disk.

#include "DataFiles.h"
#include "core/FileDescriptor.h"

#include <QByteArray>
#include <QDate>
#include <QString>
#include <array>
#include <cstdint>
#include <optional>
#include <vector>

class DirectoryLock;

// The data files of a new-record transfer, in the order lines go to them.
enum DataFileKind { kVeriFile, kBackupFile, kVeri2File, kDataFileKinds };

// The files of a new-record batch, open for appending in the order a
// transfer opens them: veri.txt, with the second-file option veri2.txt, and
// the month's file under yedek_V270 (made when missing). Throws AppError.
struct NewRecordFiles {
    NewRecordFiles(const QString& programDir, bool secondFile, const QDate& startDate);
    // For BatchDelivery, in DataFileKind order; veri2.txt null without the option.
    std::array<AppendFile*, kDataFileKinds> targets() {
        return {&veri, &backup, veri2 ? &*veri2 : nullptr};
    }
    AppendFile veri;
    std::optional<AppendFile> veri2;
    AppendFile backup;
    int32_t backupMonth; // yyyymm of the monthly file
};

struct JournalFile {
    int64_t end = 0;      // the file holds the batch's records up to this position (excluded)
    bool tracked = false; // being appended to: its whole lines after offset are
                          // the records from end on (a killed writer wrote them)
    uint64_t device = 0, inode = 0;
    int64_t offset = 0; // the file's size after the record before end
    bool operator==(const JournalFile&) const = default;
};

// Which terminal a batch comes from: its serial number with its machine
// number, never the address or the machine number alone (many sites leave
// every terminal at machine number 1). A terminal that can't tell its serial
// number (an old firmware, a failed answer) is known by its address with its
// machine number instead, never by the machine number alone.
struct TerminalIdentity {
    QByteArray serial; // at most kMaxSerialBytes ASCII bytes; empty when it can't tell
    int32_t machine = 0;
    QByteArray address; // where its link goes ("host:port", a device path), at most
                        // kMaxAddressBytes; empty when unknown
    bool operator==(const TerminalIdentity&) const = default;
};
inline constexpr int kMaxSerialBytes = 64;
inline constexpr int kMaxAddressBytes = 128;

// How the operator reads an identity: "seri EMU01, makine 1, 127.0.0.1:5601".
QString identityText(const TerminalIdentity& terminal);
// Why a batch was refused when the terminal's identity changed since a batch
// it did not confirm, and the records could not tell whether they are in the
// files already; names both identities.
QString identityChangedText(const TerminalIdentity& then, const TerminalIdentity& now);

class TFP_CLOCK;
// The identity of the terminal the control has locked: asked under the lock,
// so it is the terminal whose records come next.
TerminalIdentity terminalIdentity(TFP_CLOCK& clock, int32_t machine);

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

// The records of one new-record batch, in the order the terminal hands them
// out, into the open data files.
class BatchDelivery {
  public:
    // files: veri.txt, the monthly file, veri2.txt (nullptr when not open).
    // start: the terminal's position of the batch's first record.
    BatchDelivery(DeliveryJournal& journal, const TerminalIdentity& terminal, int64_t start,
                  std::array<AppendFile*, kDataFileKinds> files, int32_t backupMonth);

    // The next record, as its attendance line. Throws AppError on a file error.
    void add(const QByteArray& line);
    // Every record added is in every open file (from this run or an earlier
    // one), on disk, and the journal synced. complete: the terminal said the
    // batch ended. Throws AppError on a file error.
    void finish(bool complete);
    // After an error: writes what it can and keeps the journal true. Never throws.
    void abandon() noexcept;

    // How many records may be committed: all that were added, once every
    // open file holds exactly them; 0 otherwise.
    long long committable() const;
    // The terminal took the commit.
    void committed();

    long long added() const { return added_; }

    // Not empty when the batch may be one delivered before under another
    // identity of this terminal, and the records can't tell: nothing of it
    // is written, nothing may be committed, and this says why, naming both
    // identities.
    const QString& refusal() const { return refusal_; }

  private:
    enum class Kinship { None, Same, Related, Unknown };
    Kinship kinshipOf(const JournalEntry& e) const;
    bool resolve(bool complete);
    void adopt(size_t index);
    void put(const QByteArray& line);
    void flush();
    JournalEntry& entry() { return journal_.entries[entryIndex_]; }
    const JournalEntry& entry() const { return journal_.entries[entryIndex_]; }

    DeliveryJournal& journal_;
    TerminalIdentity terminal_;
    int64_t start_;
    std::array<AppendFile*, kDataFileKinds> files_;
    int32_t backupMonth_;
    std::vector<QByteArray> probe_; // the first records, until the batch is recognised
    bool unresolved_ = false;       // cut before the batch could be recognised
    size_t entryIndex_ = SIZE_MAX;
    std::array<QByteArray, kDataFileKinds> buffers_;
    std::array<int64_t, kDataFileKinds> buffered_{}; // lines in each buffer
    long long added_ = 0;                            // records handed to add()
    long long placed_ = 0;                           // of them, those past the probe
    QString refusal_;
};
