// The journal slot parser on bytes read back from disk, which may be cut
// short, damaged, or written by something else.

#include "transfer/Bytes.h"
#include "transfer/JournalFormat.h"

#include <vector>
#include <gtest/gtest.h>

namespace {

JournalEntry entryFor(int32_t machine) {
    JournalEntry e;
    e.serial = machine % 3 == 0 ? QByteArray() : "EMU00" + QByteArray::number(machine);
    e.machine = machine;
    e.address = machine % 5 == 0 ? QByteArray() : "127.0.0.1:" + QByteArray::number(5600 + machine);
    e.start = 4000000000LL + machine;
    e.probeCount = 16;
    e.probeDigest = 0x8877665544332211ull;
    e.backupMonth = 202403;
    e.committed = machine % 2 == 0;
    e.age = 7;
    for (size_t k = 0; k < e.files.size(); ++k)
        e.files[k] = JournalFile{-1 - int64_t(k), k == 1, 2049, 1234567 + k, 33 * int64_t(k)};
    return e;
}

std::optional<std::vector<JournalEntry>> parse(const QByteArray& slot,
                                               uint64_t* sequence = nullptr) {
    return parseJournalSlot(slot.constData(), size_t(slot.size()), sequence);
}

// The slot with the 8-byte field at offset set to value, and a checksum that fits.
QByteArray withField(QByteArray slot, int offset, uint64_t value) {
    QByteArray field;
    putU64(field, value);
    slot.replace(offset, 8, field);
    slot.chop(4);
    putU32(slot, crcOf(slot.constData(), size_t(slot.size())));
    return slot;
}

TEST(JournalSlot, ReadsBackWhatWasWrittenPastWhatAnEarlierSaveLeft) {
    const std::vector<JournalEntry> two{entryFor(1), entryFor(-2)};
    uint64_t sequence = 0;
    EXPECT_EQ(parse(serializeJournalSlot(two, 41), &sequence), two);
    EXPECT_EQ(sequence, 41u);

    // A save of one entry over a slot that held three: the third is still
    // there after the checksum.
    QByteArray slot = serializeJournalSlot({entryFor(5), entryFor(6), entryFor(7)}, 9);
    const QByteArray one = serializeJournalSlot({entryFor(3)}, 10);
    slot.replace(0, one.size(), one);
    slot.append(QByteArray(kJournalSlotSize - slot.size(), '\0'));
    EXPECT_EQ(parse(slot, &sequence), std::vector<JournalEntry>{entryFor(3)});
    EXPECT_EQ(sequence, 10u);
    EXPECT_EQ(parse(QByteArray(kJournalSlotSize, '\0')), std::nullopt) << "a slot never written";
}

TEST(JournalSlot, RefusesEveryShortenedOrDamagedSlot) {
    const QByteArray good = serializeJournalSlot({entryFor(1), entryFor(2)}, 3);
    std::vector<qsizetype> cutsTaken, changesTaken;
    for (qsizetype size = 0; size < good.size(); ++size)
        if (parse(good.left(size))) cutsTaken.push_back(size);
    for (qsizetype at = 0; at < good.size(); ++at) {
        QByteArray bad = good;
        bad[at] = char(bad[at] ^ 0x10);
        if (parse(bad)) changesTaken.push_back(at);
    }
    EXPECT_EQ(cutsTaken, std::vector<qsizetype>{}) << "slots cut to these lengths were taken";
    EXPECT_EQ(changesTaken, std::vector<qsizetype>{}) << "a changed byte here went unnoticed";
}

TEST(JournalSlot, RefusesFieldsOutOfRangeEvenWithAGoodChecksum) {
    const QByteArray good = serializeJournalSlot({entryFor(1)}, 3);
    constexpr int kSerial = 24, kEntry = kSerial + 8 + kMaxSerialBytes, kFiles = kEntry + 7 * 8;
    const struct {
        const char* what;
        int offset;
        uint64_t value;
    } cases[] = {
        {"more entries than the slot holds", 16, 2 | uint64_t(good.size() - 28) << 32},
        {"another entry size", 16, 1 | uint64_t(100) << 32},
        {"a serial number longer than its room", kSerial, kMaxSerialBytes + 1},
        {"a machine beyond 32 bits", kEntry, uint64_t(1) << 31},
        {"a negative probe count", kEntry + 16, uint64_t(-1)},
        {"a probe count beyond the probe", kEntry + 16, 17},
        {"a month beyond 32 bits", kEntry + 32, uint64_t(INT32_MIN) - 1},
        {"a commit flag of 2", kEntry + 40, 2},
        {"a tracking flag of 2", kFiles + 8, 2},
        {"an address longer than its room", kFiles + 8 * 5 * kDataFileKinds, kMaxAddressBytes + 1},
    };
    for (const auto& c : cases)
        EXPECT_EQ(parse(withField(good, c.offset, c.value)), std::nullopt) << c.what;
    EXPECT_NE(parse(withField(good, kEntry, uint64_t(int64_t(INT32_MIN)))), std::nullopt)
        << "the smallest machine number is refused";
}

TEST(JournalSlot, ReadsTheEntriesOfEarlierVersions) {
    // An upgrade finds a journal of an earlier format: its batches in flight
    // are still known. The first format had no serial number, the second no
    // address; each entry of the current one ends with the address.
    constexpr int kHeader = 24, kSerialRoom = 8 + kMaxSerialBytes,
                  kAddressRoom = 8 + kMaxAddressBytes;
    const struct {
        const char* version;
        int cutFront, cutBack;
        bool keepsSerial;
    } versions[] = {{"without serial numbers", kSerialRoom, kAddressRoom, false},
                    {"without addresses", 0, kAddressRoom, true}};
    for (const auto& v : versions) {
        std::vector<JournalEntry> entries{entryFor(4), entryFor(6)};
        const QByteArray current = serializeJournalSlot(entries, 5);
        const int entryBytes = int(current.size() - kHeader - 4) / 2;
        const int oldBytes = entryBytes - v.cutFront - v.cutBack;
        QByteArray old = current.left(kHeader);
        for (int i = 0; i < 2; ++i)
            old += current.mid(kHeader + i * entryBytes + v.cutFront, oldBytes);
        old = withField(old + QByteArray(4, '\0'), 16, 2 | uint64_t(oldBytes) << 32);
        for (JournalEntry& e : entries) {
            e.address.clear();
            if (!v.keepsSerial) e.serial.clear();
        }
        EXPECT_EQ(parse(old), entries) << v.version;
    }
}

} // namespace
