#include "transfer/DataFiles.h"

#include "core/AppError.h"
#include "core/testing/TestFiles.h"

#include <QDir>
#include <QFileInfo>
#include <QTemporaryDir>

#include <csignal>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <gtest/gtest.h>

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
        auto first = DirectoryLock::tryAcquire(programDir);
        ASSERT_TRUE(first);
        EXPECT_FALSE(DirectoryLock::tryAcquire(programDir));
        EXPECT_EQ(inChild([&] { return DirectoryLock::tryAcquire(programDir) ? 0 : 3; }), 3);
    }
    EXPECT_TRUE(DirectoryLock::tryAcquire(programDir));
    EXPECT_EQ(inChild([&] { return DirectoryLock::tryAcquire(programDir) ? 0 : 3; }), 0);
}

TEST(DataFiles, OnlyARegularFileIsOpenedAndErrorsNameTheFile) {
    // A device or FIFO in a data file's place is refused before anything is
    // written (a FIFO would block the transfer with the terminal locked).
    QTemporaryDir dir;
    const QString fifo = dir.filePath("veri.txt");
    ASSERT_EQ(mkfifo(QFile::encodeName(fifo).constData(), 0600), 0);
    for (const QString& path : {QStringLiteral("/dev/full"), fifo}) {
        try {
            AppendFile refused(path);
            ADD_FAILURE() << "opened " << path.toStdString();
        } catch (const AppError& e) {
            EXPECT_TRUE(e.text().startsWith("\"" + path + "\" bir ")) << e.text().toStdString();
        }
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

// A line cut short by a crash is cut off before anything is appended, so
// the next line never runs into it.
TEST(DataFiles, AppendingCutsAPartialLastLineFirst) {
    QTemporaryDir dir;
    const QString path = dir.filePath("veri.txt");
    const QByteArray longTail(200000, 'x'); // no line end in the last blocks read back
    const std::pair<QByteArray, QByteArray> cases[] = {
        {"", ""},
        {"a\r\n", "a\r\n"},
        {"a\r\nb\n", "a\r\nb\n"},
        {"a\r\n20729 0700", "a\r\n"},
        {"a\r\n20729 0700\r", "a\r\n"},
        {"no line end at all", ""},
        {"a\r\n" + longTail, "a\r\n"},
    };
    for (const auto& [before, after] : cases) {
        writeFile(path, before);
        {
            AppendFile f(path);
            f.appendLines("next\r\n");
        }
        EXPECT_EQ(readFile(path), after + "next\r\n") << before.left(20).toStdString();
    }
}

TEST(DataFiles, CopyContentReplacesTheContentNotTheFile) {
    QTemporaryDir dir;
    QByteArray data;
    for (int i = 0; i < 300000; ++i)
        data.append(static_cast<char>(i % 251));
    const QString veri = dir.filePath("veri.txt"), veri2 = dir.filePath("veri2.txt");
    const QString target = dir.filePath("pdks/kopya.txt");
    ASSERT_TRUE(QDir(dir.path()).mkdir("pdks"));
    writeFile(veri, data);
    writeFile(target, "something much longer that must go away entirely");
    ASSERT_TRUE(QFile::link(target, veri2));
    ASSERT_EQ(::chmod(QFile::encodeName(target).constData(), 0640), 0);
    const bool root = ::geteuid() == 0;
    if (root) { // another user's file, in the directory's group as a shared site has it
        struct stat dirStat {};
        ASSERT_EQ(::stat(QFile::encodeName(dir.path()).constData(), &dirStat), 0);
        ASSERT_EQ(::chown(QFile::encodeName(target).constData(), 65534, dirStat.st_gid), 0);
    }
    struct stat before {};
    ASSERT_EQ(::stat(QFile::encodeName(target).constData(), &before), 0);

    copyContentInto(veri, veri2); // longer, through the link
    EXPECT_EQ(readFile(target), data);
    EXPECT_TRUE(QFileInfo(veri2).isSymLink());
    struct stat after {};
    ASSERT_EQ(::stat(QFile::encodeName(target).constData(), &after), 0);
    EXPECT_EQ(after.st_ino, before.st_ino);
    EXPECT_EQ(after.st_mode & 07777, 0640u);
    if (root) {
        EXPECT_EQ(after.st_uid, 65534u);
    }

    writeFile(veri, "short\r\n"); // shorter: the rest goes
    copyContentInto(veri, veri2);
    EXPECT_EQ(readFile(target), "short\r\n");

    // A missing source changes nothing; a link to veri.txt itself is already a copy.
    EXPECT_THROW(copyContentInto(dir.filePath("missing.txt"), veri2), AppError);
    EXPECT_EQ(readFile(target), "short\r\n");
    QFile::remove(veri2);
    ASSERT_TRUE(QFile::link(veri, veri2));
    copyContentInto(veri, veri2);
    EXPECT_EQ(readFile(veri), "short\r\n");

    // A missing target is created.
    QFile::remove(veri2);
    copyContentInto(veri, veri2);
    EXPECT_EQ(readFile(veri2), "short\r\n");
}

} // namespace
