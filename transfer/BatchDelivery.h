#pragma once

// The records of one batch of new records into the data files, through the
// delivery journal, exactly once whatever cut an earlier run short.

#include "DataFiles.h"
#include "DeliveryJournal.h"
#include "JournalFormat.h"

#include <QByteArray>
#include <QString>

#include <array>
#include <cstdint>
#include <vector>

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

    // Keeps every line added from now on in lines too (for the central
    // database's outbox), in the order added.
    void keepLinesIn(QByteArray* lines) { kept_ = lines; }

    // Not empty when the batch may be one delivered before under another
    // identity of this terminal, and the records can't tell: nothing of it
    // is written, nothing may be committed, and this says why, naming both
    // identities.
    const QString& refusal() const { return refusal_; }

  private:
    enum class Kinship { None, Same, Related, Unknown };
    Kinship kinshipOf(const JournalEntry& e) const;
    static constexpr size_t kNotFound = SIZE_MAX, kUndecided = SIZE_MAX - 1;
    size_t findEntry(bool complete);
    size_t newEntry();
    bool resolve(bool complete);
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
    QByteArray* kept_ = nullptr;
    QString refusal_;
};
