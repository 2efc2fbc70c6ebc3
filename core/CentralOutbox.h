#pragma once

// The central database's outbox ".merkez.outbox" in the program directory:
// every record a transfer delivers into the data files, kept until a push
// has it in the central database. Written by transfers under the
// directory's lock; read by the push without it (frames are checked, so a
// frame being written reads as not there yet).
//
// The file: a header (magic, epoch), then frames, each a run of one
// terminal's records at consecutive positions, with its length and CRC-32:
// a frame cut short by a kill, or a power loss before it was synced, fails
// its check and is dropped, with everything after it.
//
// Why a kill at any moment neither loses nor doubles a record: a batch goes
// into the outbox after the data files and the journal are synced and
// before the terminal is asked to commit it, and the frame is synced before
// that commit.
// - Killed before the frame is whole on disk: the terminal did not commit,
//   so the batch comes again; the journal writes into each data file only
//   what it lacks, and the next append first cuts the torn frame off and
//   then writes the whole batch.
// - Killed after the sync and before the commit (or the terminal did not
//   confirm): the batch comes again, and its records are found in the
//   outbox at the same positions with the same lines, and are not added
//   again. If a push took them away meanwhile, they go once more, and the
//   central table's key (terminal, generation, position) keeps one.
// - Killed after the commit: the batch is in the outbox and never comes again.
// The push advances its cursor only after the central commit; a kill in
// between sends the same rows again, which the key ignores.

#include "core/FileDescriptor.h"

#include <QByteArray>
#include <QString>

#include <cstdint>
#include <optional>
#include <vector>

class DirectoryLock;

struct OutboxRecord {
    QByteArray terminal; // the terminal's key in the central tables (centralTerminalKey)
    int32_t machine = 0;
    int64_t position = 0;
    int64_t received = 0; // seconds since the epoch, UTC, when the transfer delivered it
    QByteArray line;      // the attendance line as in veri.txt, with its CR LF
    bool operator==(const OutboxRecord&) const = default;
};

// Where the push is: the outbox's epoch (changed by every compaction, so a
// cursor of an older outbox is never taken for this one's), the frame's
// offset and the record within it.
struct OutboxCursor {
    uint64_t epoch = 0;
    int64_t offset = 0;
    int64_t index = 0;
    bool operator==(const OutboxCursor&) const = default;
};

// The terminal's key in the central tables: its serial number; one that
// can't tell it is known by its address and machine number, as the journal
// knows it.
QByteArray centralTerminalKey(const QByteArray& serial, const QByteArray& address, int32_t machine);

inline constexpr int kMaxTerminalKeyBytes = 200;

// Adds a batch's records to the outbox, synced; the caller holds the
// directory's lock. lines: the batch's attendance lines from position start
// on, each ending in "\n"; only the first count go in. Records already in
// the outbox at their position with the same line are left out. Throws
// AppError when the outbox can't be written: the batch must then not be
// committed.
void addToOutbox(const DirectoryLock& held, const QByteArray& terminal, int32_t machine,
                 int64_t start, const QByteArray& lines, long long count, int64_t received);

// Reads the outbox without a lock.
class OutboxReader {
  public:
    // Missing outbox: isOpen() is false and it reads as empty.
    explicit OutboxReader(const QString& programDir); // throws AppError
    bool isOpen() const { return fd_.isOpen(); }
    uint64_t epoch() const { return epoch_; }
    // The first record's place: where a cursor of another epoch starts.
    OutboxCursor start() const { return {epoch_, kHeaderSize, 0}; }
    // Up to max records from at on; at moves past them. A cursor of another
    // epoch starts from the beginning.
    std::vector<OutboxRecord> read(OutboxCursor& at, size_t max);
    // How many records lie at and after at, and the first of them.
    long long countFrom(OutboxCursor at, std::optional<OutboxRecord>* first);

    static constexpr int64_t kHeaderSize = 16;

  private:
    bool loadFrame(int64_t offset);
    FileDescriptor fd_;
    uint64_t epoch_ = 0;
    int64_t frameOffset_ = -1, frameEnd_ = 0;
    std::vector<OutboxRecord> frame_;
};

// The push's cursor ".merkez.cursor": written whole into a new file renamed
// over the old. A missing or damaged cursor reads as epoch 0, which no
// outbox has: everything is sent again, which the central key makes
// harmless.
OutboxCursor readOutboxCursor(const QString& programDir);
void writeOutboxCursor(const QString& programDir, const OutboxCursor& cursor); // throws AppError

// Once every record is pushed (cursor at the end), empties the outbox under
// a new epoch; the caller holds the directory's lock. Returns whether it
// did. Constant work whatever the outbox held.
bool compactOutbox(const DirectoryLock& held, const OutboxCursor& cursor); // throws AppError
