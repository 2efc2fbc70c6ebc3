// The outbox on its own: what goes in comes out once, in order, with its
// position, whatever a kill left; and [Merkez] read as the operator wrote it.

#include "core/AppError.h"
#include "core/CentralOutbox.h"
#include "core/CentralSettings.h"
#include "core/DirectoryLock.h"
#include "core/IniFile.h"

#include <QFile>
#include <QTemporaryDir>

#include <unistd.h>
#include <gtest/gtest.h>

namespace {

QByteArray lineFor(int i) {
    return QStringLiteral("%1 05/03/2024 08:%2:00 01 01\r\n")
        .arg(i + 1, 5, 10, QChar('0'))
        .arg(i % 60, 2, 10, QChar('0'))
        .toLatin1();
}

QByteArray linesFor(int from, int count) {
    QByteArray out;
    for (int i = from; i < from + count; ++i)
        out += lineFor(i);
    return out;
}

class Outbox : public ::testing::Test {
  protected:
    QString dir() const { return tmp.path() + '/'; }
    QString outboxPath() const { return dir() + ".merkez.outbox"; }

    void add(const QByteArray& terminal, int64_t start, const QByteArray& lines, long long count) {
        const std::optional<DirectoryLock> lock = DirectoryLock::tryAcquire(dir());
        ASSERT_TRUE(lock);
        addToOutbox(*lock, terminal, 1, start, lines, count, 1700000000);
    }

    std::vector<OutboxRecord> all(OutboxCursor from = {}) {
        OutboxReader reader(dir());
        return reader.read(from, SIZE_MAX);
    }

    // Every (terminal, position) once, each with the line it was added with.
    ::testing::AssertionResult holdsOnce(const QByteArray& terminal, int count) {
        std::vector<int> seen(size_t(count), 0);
        for (const OutboxRecord& r : all()) {
            if (r.terminal != terminal || r.position < 0 || r.position >= count)
                return ::testing::AssertionFailure() << "stray record at " << r.position;
            if (r.line != lineFor(int(r.position)))
                return ::testing::AssertionFailure() << "wrong line at " << r.position;
            ++seen[size_t(r.position)];
        }
        for (int i = 0; i < count; ++i)
            if (seen[size_t(i)] != 1)
                return ::testing::AssertionFailure()
                       << "position " << i << " " << seen[size_t(i)] << " times";
        return ::testing::AssertionSuccess();
    }

    QTemporaryDir tmp;
};

TEST_F(Outbox, RecordsComeOutInOrderWithTheirPositions) {
    add("EMU01", 0, linesFor(0, 3), 3);
    add("EMU02", 40, linesFor(40, 2), 2);
    add("EMU01", 3, linesFor(3, 20000), 20000); // more than one frame
    const std::vector<OutboxRecord> records = all();
    ASSERT_EQ(records.size(), 20005u);
    EXPECT_EQ(records[0], (OutboxRecord{"EMU01", 1, 0, 1700000000, lineFor(0)}));
    EXPECT_EQ(records[3], (OutboxRecord{"EMU02", 1, 40, 1700000000, lineFor(40)}));
    EXPECT_EQ(records[20004], (OutboxRecord{"EMU01", 1, 20002, 1700000000, lineFor(20002)}));
    // Only the committable part of a batch goes in.
    add("EMU03", 0, linesFor(0, 5), 2);
    EXPECT_EQ(all().size(), 20007u);
}

// A batch the terminal did not commit comes again, perhaps with more
// records: only what the outbox lacks goes in. A record at a known position
// with another line (a log started afresh) is kept too.
TEST_F(Outbox, ABatchThatComesAgainIsNotAddedTwice) {
    add("EMU01", 0, linesFor(0, 10), 10);
    add("EMU01", 0, linesFor(0, 10), 10);
    add("EMU01", 0, linesFor(0, 15), 15);
    add("EMU01", 5, linesFor(5, 10), 10);
    EXPECT_TRUE(holdsOnce("EMU01", 15));
    // Another terminal's records at the same positions are its own.
    add("EMU02", 0, linesFor(0, 10), 10);
    EXPECT_EQ(all().size(), 25u);
    QByteArray other = linesFor(0, 1);
    other[0] = '9';
    add("EMU01", 0, other, 1);
    EXPECT_EQ(all().size(), 26u);
}

// Killed while a frame was being written: whatever part of it reached the
// file, the reader sees only whole frames, and the batch, which comes
// again, is then in the outbox once.
TEST_F(Outbox, ATornFrameIsDroppedAndCutOffByTheNextAdd) {
    add("EMU01", 0, linesFor(0, 4), 4);
    const qint64 whole = QFileInfo(outboxPath()).size();
    add("EMU01", 4, linesFor(4, 6), 6);
    const qint64 both = QFileInfo(outboxPath()).size();
    for (const qint64 cut : {whole + 1, whole + 11, whole + 12, whole + 40, both - 1}) {
        SCOPED_TRACE(cut);
        ASSERT_EQ(::truncate(QFile::encodeName(outboxPath()).constData(), cut), 0);
        EXPECT_EQ(all().size(), 4u);
        add("EMU01", 4, linesFor(4, 6), 6);
        EXPECT_TRUE(holdsOnce("EMU01", 10));
        EXPECT_EQ(QFileInfo(outboxPath()).size(), both);
    }
    // A flipped byte inside the frame: its check fails, the same way.
    QFile f(outboxPath());
    ASSERT_TRUE(f.open(QIODevice::ReadWrite));
    ASSERT_TRUE(f.seek(both - 5));
    ASSERT_TRUE(f.write("X", 1));
    f.close();
    EXPECT_EQ(all().size(), 4u);
}

TEST_F(Outbox, EmptiedOnlyOncePushedWholeAndANewEpochRestartsOldCursors) {
    add("EMU01", 0, linesFor(0, 5), 5);
    OutboxReader reader(dir());
    OutboxCursor at = readOutboxCursor(dir()); // none yet: from the start
    EXPECT_EQ(reader.read(at, 3).size(), 3u);
    writeOutboxCursor(dir(), at);
    EXPECT_EQ(readOutboxCursor(dir()), at);
    {
        const auto lock = DirectoryLock::tryAcquire(dir());
        EXPECT_FALSE(compactOutbox(*lock, at)); // two not pushed yet
    }
    std::optional<OutboxRecord> first;
    EXPECT_EQ(OutboxReader(dir()).countFrom(at, &first), 2);
    EXPECT_EQ(first->position, 3);
    EXPECT_EQ(reader.read(at, 10).size(), 2u);
    {
        const auto lock = DirectoryLock::tryAcquire(dir());
        EXPECT_TRUE(compactOutbox(*lock, at));
    }
    EXPECT_EQ(QFileInfo(outboxPath()).size(), OutboxReader::kHeaderSize);
    EXPECT_EQ(OutboxReader(dir()).countFrom(readOutboxCursor(dir()), nullptr), 0);
    // The old cursor points into an outbox that is gone: read from the start.
    add("EMU01", 5, linesFor(5, 2), 2);
    OutboxReader again(dir());
    EXPECT_EQ(again.read(at, 10).size(), 2u);
    // A damaged cursor file reads as none.
    QFile c(dir() + ".merkez.cursor");
    ASSERT_TRUE(c.open(QIODevice::ReadWrite));
    ASSERT_TRUE(c.seek(10));
    ASSERT_TRUE(c.write("\xff", 1));
    c.close();
    EXPECT_EQ(readOutboxCursor(dir()), OutboxCursor{});
}

TEST_F(Outbox, AFileThatIsNotAnOutboxIsLeftAlone) {
    QFile f(outboxPath());
    ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    f.write("00001 05/03/2024 08:00:00 01 01\r\n");
    f.close();
    EXPECT_THROW(add("EMU01", 0, linesFor(0, 1), 1), AppError);
    EXPECT_EQ(QFileInfo(outboxPath()).size(), 33);
    EXPECT_TRUE(all().empty());
}

TEST(CentralSettingsTest, HostsAreReadAsWritten) {
    struct Case {
        const char* text;
        std::vector<CentralHost> hosts;
    };
    const Case cases[] = {
        {"", {}},
        {"db1", {{"db1", 3306}}},
        {" db1:3307 , 10.0.0.2 ,[::1]:4000", {{"db1", 3307}, {"10.0.0.2", 3306}, {"::1", 4000}}},
        {"[fe80::1]", {{"fe80::1", 3306}}},
    };
    for (const Case& c : cases)
        EXPECT_EQ(parseCentralHosts(c.text), c.hosts) << c.text;
    for (const char* bad : {"db1,", ",db1", "db1:0", "db1:65536", "db1:x", "db1:", "a b", "[::1",
                            "[::1]x", "db1;drop"})
        EXPECT_THROW(parseCentralHosts(bad), AppError) << bad;
}

TEST(CentralSettingsTest, BadValuesAreRefusedWithTheKeyNamed) {
    QTemporaryDir tmp;
    const QString dir = tmp.path() + '/', ini = dir + "Settings.ini";
    EXPECT_FALSE(centralDatabaseConfigured(dir));
    writeProfileString(ini, "Merkez", "Hosts", "db1:3307,db2");
    writeProfileString(ini, "Merkez", "Database", "pdks_merkez");
    writeProfileString(ini, "Merkez", "User", "sink");
    writeProfileString(ini, "Merkez", "PasswordFile", "merkez.parola");
    EXPECT_TRUE(centralDatabaseConfigured(dir));
    try {
        readCentralSettings(dir);
        ADD_FAILURE() << "a missing password file was taken";
    } catch (const AppError& e) {
        EXPECT_TRUE(e.text().contains("PasswordFile")) << e.text().toStdString();
    }
    QFile pw(dir + "merkez.parola");
    ASSERT_TRUE(pw.open(QIODevice::WriteOnly));
    pw.write("gizli\r\nignored\n");
    pw.close();
    const CentralSettings s = readCentralSettings(dir);
    EXPECT_EQ(s.password, "gizli");
    EXPECT_EQ(s.hosts.size(), 2u);
    EXPECT_FALSE(s.site.isEmpty()); // the host name

    struct Bad {
        const char* key;
        const char* value;
    };
    for (const Bad& b :
         {Bad{"Database", "pdks-merkez"}, Bad{"Database", "a`b"}, Bad{"Password", "both"},
          Bad{"SSLCACert", "missing.pem"}, Bad{"SSLCert", "cert-without-key.pem"}}) {
        SCOPED_TRACE(b.key);
        const QString before = readProfileString(ini, "Merkez", b.key, {});
        writeProfileString(ini, "Merkez", b.key, b.value);
        try {
            readCentralSettings(dir);
            ADD_FAILURE() << b.value << " was taken";
        } catch (const AppError& e) {
            EXPECT_TRUE(e.text().contains("[Merkez]")) << e.text().toStdString();
        }
        writeProfileString(ini, "Merkez", b.key, before);
    }
}

} // namespace
