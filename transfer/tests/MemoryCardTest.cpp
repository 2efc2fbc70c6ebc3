#include "transfer/MemoryCard.h"

#include "core/AppError.h"
#include "core/testing/RecordingOperator.h"
#include "core/testing/TestFiles.h"
#include "transfer/DataFiles.h"

#include <QTemporaryDir>

#include <random>
#include <gtest/gtest.h>

namespace {

QByteArray convertWhole(const QByteArray& file) {
    MemoryCardConverter c;
    c.feed(file.constData(), file.size());
    c.finish();
    return c.output();
}

// The file as plain lines (ended by CR LF, LF or a lone CR), then the two
// steps per line.
QByteArray convertByLines(const QByteArray& file) {
    const QByteArray text = QByteArray(file).replace("\r\n", "\n").replace('\r', '\n');
    QList<QByteArray> lines = text.split('\n');
    if (text.endsWith('\n') || text.isEmpty()) lines.removeLast();
    QByteArray out;
    for (qsizetype i = 1; i < lines.size(); ++i)
        out += memoryCardConvertedLine(memoryCardIntermediateLine(lines[i])) + "\r\n";
    return out;
}

TEST(MemoryCard, LineConversionExamples) {
    struct Case {
        const char* line;
        const char* intermediate;
        const char* converted;
    } cases[] = {
        {"1\t1\t123\t0\t0\t0\t2011/06/08 12:34:56",
         "00001,00001,00123,00000,00000,00000,2011/06/0812:34:56", "00123 08/06/2011 12:34:56 01"},
        // Seven-character enroll number keeps its last five; terminal 105 gives 05.
        {"1\t105\t1234567\t0\t0\t0\t2011-06-08 12.34.56",
         "00001,00105,34567,00000,00000,00000,2011-06-0812.34.56", "34567 08/06/2011 12:34:56 05"},
        {"1\t1\t12\t0\t0\t0\t2011/06/08 12:34:56",
         "00001,00001,00012,00000,00000,00000,2011/06/0812:34:56", "00012 08/06/2011 12:34:56 01"},
        // Blanks go everywhere, inside fields too.
        {" 1 \t 1 \t1 2 3\t0\t0\t0\t 2011/06/08  12:34:56 ",
         "00001,00001,00123,00000,00000,00000,2011/06/0812:34:56", "00123 08/06/2011 12:34:56 01"},
        {"", "", " // :: "},
        {"1\t7\t99", "00001,00007,99", "99 // :: 07"},
        {"1\t7\t99\t", "00001,00007,00099,", "00099 // :: 07"},
        // Fields beyond seven shift the date; the pieces are still taken by position.
        {"1\t1\t1\t1\t1\t1\t1\t2011/06/08 12:34:56",
         "00001,00001,00001,00001,00001,00001,00001,2011/06/0812:34:56",
         "00001 11/,2/0000 /0:/0:12 01"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.line);
        const QByteArray inter = memoryCardIntermediateLine(c.line);
        EXPECT_EQ(inter, QByteArray(c.intermediate));
        EXPECT_EQ(memoryCardConvertedLine(inter), QByteArray(c.converted));
    }
}

TEST(MemoryCard, FileLinesHeaderAndLineEnds) {
    const QByteArray rec = "1\t1\t123\t0\t0\t0\t2011/06/08 12:34:56";
    const QByteArray out = "00123 08/06/2011 12:34:56 01\r\n";
    EXPECT_EQ(convertWhole(""), "");
    EXPECT_EQ(convertWhole("No\tTM\tEnNo\n"), "");
    EXPECT_EQ(convertWhole("header"), "");
    EXPECT_EQ(convertWhole("h\r\n" + rec + "\r\n" + rec), out + out);
    // An empty line between two records gives the separators alone.
    EXPECT_EQ(convertWhole("h\n" + rec + "\n\n" + rec + "\n"), out + " // :: \r\n" + out);
    // CR LF, LF and a lone CR are the same line end, also mixed in one file
    // and at its very end; a CR never reaches a converted line.
    for (const QByteArray eol : {"\r\n", "\n", "\r"}) {
        SCOPED_TRACE(eol.toHex().constData());
        EXPECT_EQ(convertWhole("h" + eol + rec + eol + rec + eol), out + out);
        EXPECT_EQ(convertWhole("h" + eol + rec + eol + rec), out + out);
    }
    EXPECT_EQ(convertWhole("h\r" + rec + "\r\n" + rec + "\n" + rec + "\r"), out + out + out);
    EXPECT_EQ(convertWhole("h\n1\t1\t1\r3\r\n"), QByteArray("1 // :: 01\r\n // :: \r\n"));
    // CR CR LF is two line ends: the empty line between gives the separators.
    EXPECT_EQ(convertWhole("h\r\r\n" + rec), " // :: \r\n" + out);
}

// The converter keeps only the first characters of each line and sees the
// file in pieces; its result must equal the plain line-by-line conversion.
TEST(MemoryCard, PiecewiseConversionMatchesLineByLine) {
    std::mt19937 random(5);
    const char alphabet[] = {'\t', '\t', ' ', '\r', '\n', '1', '9', '/', ':', 'a', '\0', '\xfe'};
    for (int round = 0; round < 300; ++round) {
        QByteArray file;
        const int length = static_cast<int>(random() % (round < 250 ? 200 : 5000));
        for (int i = 0; i < length; ++i)
            file.append(alphabet[random() % sizeof alphabet]);
        MemoryCardConverter c;
        for (qsizetype at = 0; at < file.size();) {
            const qsizetype n = std::min<qsizetype>(1 + random() % 40, file.size() - at);
            c.feed(file.constData() + at, n);
            at += n;
        }
        c.finish();
        ASSERT_EQ(c.output(), convertByLines(file)) << file.toHex().constData();
    }
}

TEST(MemoryCard, VeryLongLinesAndBinaryDoNotGrowTheState) {
    QByteArray file = "h\n" + QByteArray(3'000'000, 'x') + "\t" + QByteArray(3'000'000, '7') + "\n";
    EXPECT_EQ(convertWhole(file), convertByLines(file));
    QByteArray binary;
    for (int i = 0; i < 100000; ++i)
        binary.append(static_cast<char>(i * 7919 % 256));
    EXPECT_EQ(convertWhole(binary), convertByLines(binary));
}

class MemoryCardCommand : public ::testing::Test {
  protected:
    QTemporaryDir dir;
    QString programDir() const { return dir.path() + '/'; }
    QString veri() const { return programDir() + "veri.txt"; }
    RecordingOperator op;
};

TEST_F(MemoryCardCommand, AppendsToVeriOnlyAndReports) {
    writeFile(veri(), "old line\r\n");
    const QString card = dir.filePath("kart.txt");
    writeFile(card, "No\tTMNo\tEnNo\tName\tMode\tIOMd\tDateTime\r\n"
                    "1\t1\t123\t0\t0\t0\t2011/06/08 12:34:56\r\n"
                    "2\t105\t1234567\t0\t0\t0\t2011/06/09 07:00:01\r\n");
    EXPECT_TRUE(convertMemoryCardFile(card, programDir(), op));
    EXPECT_EQ(readFile(veri()), "old line\r\n"
                                "00123 08/06/2011 12:34:56 01\r\n"
                                "34567 09/06/2011 07:00:01 05\r\n");
    ASSERT_EQ(op.messages.size(), 1u);
    EXPECT_EQ(op.messages[0].text, "Aktarım işlemi tamamlandı..");
    EXPECT_EQ(op.progress, 0);
    EXPECT_EQ(op.progressMaximum, 0);
    EXPECT_EQ(op.busyDepth, 0);
    EXPECT_FALSE(QFile::exists(programDir() + "veri2.txt"));
    EXPECT_FALSE(QFile::exists(programDir() + "yedek_V270"));

    // A card file with CR-only line ends.
    writeFile(veri(), "");
    writeFile(card, "No\tTMNo\tEnNo\tName\tMode\tIOMd\tDateTime\r"
                    "1\t1\t123\t0\t0\t0\t2011/06/08 12:34:56\r");
    EXPECT_TRUE(convertMemoryCardFile(card, programDir(), op));
    EXPECT_EQ(readFile(veri()), "00123 08/06/2011 12:34:56 01\r\n");

    // Only the header: nothing appended, the message all the same.
    writeFile(card, "No\tTMNo\tEnNo\n");
    const QByteArray before = readFile(veri());
    EXPECT_TRUE(convertMemoryCardFile(card, programDir(), op));
    EXPECT_EQ(readFile(veri()), before);
    EXPECT_EQ(op.messages.size(), 3u);
}

TEST_F(MemoryCardCommand, UnreadableFileChangesNothing) {
    writeFile(veri(), "old line\r\n");
    // Missing, a directory, and a device that would never end.
    for (const QString& bad : {dir.filePath("missing.txt"), dir.path(), QString("/dev/zero")}) {
        try {
            convertMemoryCardFile(bad, programDir(), op);
            ADD_FAILURE() << "no error for " << bad.toStdString();
        } catch (const AppError& e) {
            EXPECT_TRUE(e.text().startsWith("Giriş/çıkış hatası: \"" + bad + "\""))
                << e.text().toStdString();
        }
    }
    EXPECT_EQ(readFile(veri()), "old line\r\n");
    EXPECT_TRUE(op.messages.empty());
    EXPECT_EQ(op.busyDepth, 0);
}

TEST_F(MemoryCardCommand, RefusedWhileAnotherCommandWrites) {
    const QString card = dir.filePath("kart.txt");
    writeFile(card, "h\n1\t1\t123\t0\t0\t0\t2011/06/08 12:34:56\n");
    auto held = DirectoryLock::tryAcquire(programDir());
    ASSERT_TRUE(held);
    EXPECT_FALSE(convertMemoryCardFile(card, programDir(), op));
    EXPECT_FALSE(QFile::exists(veri()));
    ASSERT_EQ(op.messages.size(), 1u);
    EXPECT_EQ(op.messages[0].text, directoryBusyText(programDir()));
    EXPECT_EQ(op.messages[0].title, "UYARI");
}

} // namespace
