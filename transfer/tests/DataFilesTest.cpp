#include "transfer/DataFiles.h"
#include "core/AppError.h"
#include "core/testing/TestFiles.h"

#include <QTemporaryDir>
#include <csignal>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

// Runs body in a child process and returns its exit status.
template <typename F> int inChild(F body) {
    const pid_t pid = ::fork();
    if (pid == 0) ::_exit(body());
    int status = 0;
    ::waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

TEST(DataFiles, MonthlyFileNameIsMonthThenYear) {
    EXPECT_EQ(monthlyBackupFileName(QDate(2024, 3, 31)), "032024.txt");
    EXPECT_EQ(monthlyBackupFileName(QDate(999, 12, 1)), "120999.txt");
}

TEST(DataFiles, OneWriterAcrossHandlesAndProcesses) {
    QTemporaryDir dir;
    const QString programDir = dir.path() + '/';
    {
        auto first = DataFileLock::tryAcquire(programDir);
        ASSERT_TRUE(first);
        EXPECT_FALSE(DataFileLock::tryAcquire(programDir));
        EXPECT_EQ(inChild([&] { return DataFileLock::tryAcquire(programDir) ? 0 : 3; }), 3);
    }
    EXPECT_TRUE(DataFileLock::tryAcquire(programDir));
    EXPECT_EQ(inChild([&] { return DataFileLock::tryAcquire(programDir) ? 0 : 3; }), 0);
}

TEST(DataFiles, WriteErrorNamesTheFile) {
    try {
        AppendFile full("/dev/full");
        full.appendLines("00001 01/01/2024 00:00:00 01 01\r\n");
        full.sync();
        ADD_FAILURE() << "a full device took the line";
    } catch (const AppError& e) {
        EXPECT_EQ(e.text(), "Giriş/çıkış hatası: \"/dev/full\" dosyasına yazılamadı "
                            "(aygıtta boş yer kalmadı).");
    }
    EXPECT_THROW(AppendFile("/nonexistent-dir/veri.txt"), AppError);
}

// A disk that fills up in the middle of a block: the lines before stay, the
// line that was cut is taken back, and nothing follows it.
TEST(DataFiles, FullDiskKeepsWholeLinesOnly) {
    QTemporaryDir dir;
    const QString path = dir.filePath("veri.txt");
    writeFile(path, "earlier\r\n");
    const QByteArray line = "12345 05/03/2024 08:07:00 01 01\r\n"; // 33 bytes
    const int status = inChild([&] {
        std::signal(SIGXFSZ, SIG_IGN);
        const rlimit limit{1000, 1000};
        ::setrlimit(RLIMIT_FSIZE, &limit);
        try {
            AppendFile f(path);
            for (int i = 0; i < 100000; ++i)
                f.appendLines(line);
            f.sync();
        } catch (const AppError& e) {
            return e.text().contains("dosyasına yazılamadı") ? 0 : 4;
        }
        return 5;
    });
    ASSERT_EQ(status, 0);
    const QByteArray content = readFile(path);
    ASSERT_TRUE(content.startsWith("earlier\r\n"));
    const QByteArray written = content.mid(9);
    EXPECT_EQ(written.size() % line.size(), 0);
    EXPECT_EQ(written, line.repeated(written.size() / line.size()));
    EXPECT_GT(written.size(), 0);
}

TEST(DataFiles, ReplaceWithCopyIsByteForByte) {
    QTemporaryDir dir;
    QByteArray data;
    for (int i = 0; i < 300000; ++i)
        data.append(static_cast<char>(i % 251));
    writeFile(dir.filePath("veri.txt"), data);
    writeFile(dir.filePath("veri2.txt"), "something much longer that must go away entirely");
    replaceWithCopy(dir.filePath("veri.txt"), dir.filePath("veri2.txt"));
    EXPECT_EQ(readFile(dir.filePath("veri2.txt")), data);
    EXPECT_FALSE(QFile::exists(dir.filePath(".veri2.txt.tmp")));
    EXPECT_THROW(replaceWithCopy(dir.filePath("missing.txt"), dir.filePath("veri2.txt")), AppError);
    EXPECT_EQ(readFile(dir.filePath("veri2.txt")), data);
}

} // namespace
