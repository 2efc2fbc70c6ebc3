#include "JournalFormat.h"

#include "Bytes.h"

#include <algorithm>

namespace {

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

} // namespace

int64_t journalSlotSizeOf(int64_t fileSize) {
    return std::max<int64_t>(1, fileSize / (2 * kJournalSlotSize)) * kJournalSlotSize;
}

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
