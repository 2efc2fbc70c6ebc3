#include "BatchDelivery.h"

#include "AttendanceLine.h"
#include "core/AppError.h"
#include "terminal/TFP_CLOCK.h"

#include <algorithm>
#include <exception>

namespace {

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

} // namespace

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
    if (kept_) kept_->append(line);
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
// those it may have made under an identity it had before. kNotFound when no
// entry knows it; kUndecided when the batch must not be written now (too
// few records to tell yet, or a changed identity the records can't settle).
size_t BatchDelivery::findEntry(bool complete) {
    const size_t n = probe_.size();
    const std::vector<JournalEntry>& entries = journal_.entries;
    const auto sameRecords = [&](const JournalEntry& e) {
        return e.probeCount > 0 && size_t(e.probeCount) <= n &&
               digestAs(probe_, size_t(e.probeCount), e.machine, terminal_.machine) ==
                   e.probeDigest;
    };
    for (const Kinship kin : {Kinship::Same, Kinship::Related, Kinship::Unknown}) {
        for (size_t i = 0; i < entries.size(); ++i) {
            const JournalEntry& e = entries[i];
            if (kinshipOf(e) != kin) continue;
            if (e.start == start_) {
                if (sameRecords(e)) return i;
                // Cut before there were enough records to tell: write
                // nothing, the next transfer will know.
                if (size_t(e.probeCount) > n && !complete) return kUndecided;
            } else if (kin == Kinship::Related && !e.committed && start_ > e.start &&
                       start_ < writtenEnd(e)) {
                // This batch starts inside one not confirmed under the other
                // identity: its first records may be in the files already,
                // and the records that would tell were handed out then.
                refusal_ = identityChangedText({e.serial, e.machine, e.address}, terminal_);
                return kUndecided;
            }
        }
    }
    return kNotFound;
}

// A new entry for a batch no entry knows.
size_t BatchDelivery::newEntry() {
    std::vector<JournalEntry>& entries = journal_.entries;
    // This terminal's entries for this position that did not match are of a
    // log that is gone; at another address they may be a second terminal's
    // with the same identity, and stay for it.
    std::erase_if(entries, [&](const JournalEntry& e) {
        return kinshipOf(e) == Kinship::Same && e.start == start_ &&
               (e.address.isEmpty() || e.address == terminal_.address);
    });
    // Committed batches are only kept in case a terminal forgot its commit;
    // the oldest go first. A batch not committed always stays.
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
    return entries.size() - 1;
}

bool BatchDelivery::resolve(bool complete) {
    const size_t n = probe_.size();
    if (n == 0) return true;
    size_t match = findEntry(complete);
    if (match == kUndecided) {
        unresolved_ = true;
        return false;
    }
    uint64_t newest = 0;
    for (const JournalEntry& e : journal_.entries)
        newest = std::max(newest, e.age);
    if (match == kNotFound) match = newEntry();
    JournalEntry& e = journal_.entries[match];
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
