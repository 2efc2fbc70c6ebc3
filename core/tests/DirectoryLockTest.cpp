#include "core/DirectoryLock.h"

#include "core/AppError.h"
#include "core/testing/RecordingOperator.h"
#include "core/testing/TestFiles.h"

#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QThread>

#include <fcntl.h>
#include <functional>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>
#include <gtest/gtest.h>

namespace {

// A second program asking for the lock: this test binary again, running
// only the test below (a fork would share the held lock's descriptor).
// Its exit code: 0 took the lock, 3 refused.
void startChild(QProcess& child, const QString& dir, int waitMs) {
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("V270_LOCK_TEST_DIR", dir);
    env.insert("V270_LOCK_TEST_WAIT_MS", QString::number(waitMs));
    child.setProcessEnvironment(env);
    child.start(QFile::symLinkTarget("/proc/self/exe"),
                {"--gtest_filter=DirectoryLock.SecondProgram"});
    ASSERT_TRUE(child.waitForStarted());
}

int exitCodeOf(QProcess& child) {
    EXPECT_TRUE(child.waitForFinished(30000));
    return child.exitStatus() == QProcess::NormalExit ? child.exitCode() : -1;
}

TEST(DirectoryLock, SecondProgram) {
    const QString dir = qEnvironmentVariable("V270_LOCK_TEST_DIR");
    if (dir.isEmpty()) GTEST_SKIP() << "run by the tests below";
    const bool took = DirectoryLock::acquire(dir, "ikinci",
                                             qEnvironmentVariableIntValue("V270_LOCK_TEST_WAIT_MS"))
                          .has_value(); // and released again
    _exit(took ? 0 : 3);
}

TEST(DirectoryLock, ASecondCommandWaitsThenTakesItOrIsRefusedNamingTheHolder) {
    QTemporaryDir tmp;
    const QString dir = tmp.path() + '/';
    auto held = DirectoryLock::acquire(dir, "Verileri Aktar");
    ASSERT_TRUE(held);
    EXPECT_TRUE(DirectoryLock::holderOf(dir).startsWith("Verileri Aktar (süreç "));
    // Another thread of this process waits its time like another program.
    QElapsedTimer timer;
    timer.start();
    EXPECT_FALSE(DirectoryLock::acquire(dir, "ikinci", 300));
    EXPECT_GE(timer.elapsed(), 300);

    // Another program waits, and gets it when the holder is done.
    QProcess waiter;
    startChild(waiter, dir, 10000);
    QThread::msleep(500);
    held.reset();
    EXPECT_EQ(exitCodeOf(waiter), 0);
    EXPECT_EQ(DirectoryLock::holderOf(dir), "") << "a clean release leaves no words behind";

    // ...or gives up after its time, and the text says who held it.
    held = DirectoryLock::acquire(dir, "Parmakizi Datası Al");
    ASSERT_TRUE(held);
    timer.restart();
    QProcess refused;
    startChild(refused, dir, 400);
    EXPECT_EQ(exitCodeOf(refused), 3);
    EXPECT_GE(timer.elapsed(), 400);
    EXPECT_TRUE(directoryBusyText(dir).contains("Parmakizi Datası Al (süreç"))
        << directoryBusyText(dir).toStdString();
}

TEST(DirectoryLock, ALockFileThatIsNoFileOrALinkIsRefused) {
    QTemporaryDir tmp, elsewhere;
    const QString lock = tmp.filePath(".veri.lock");
    const QString victim = elsewhere.filePath("victim.txt"), missing = elsewhere.filePath("yok");
    writeFile(victim, "secret");
    const struct {
        const char* name;
        std::function<bool()> make;
    } cases[] = {
        {"a FIFO", [&] { return mkfifo(QFile::encodeName(lock).constData(), 0600) == 0; }},
        {"a link to a file", [&] { return QFile::link(victim, lock); }},
        {"a dangling link", [&] { return QFile::link(missing, lock); }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ASSERT_TRUE(c.make());
        try {
            DirectoryLock::acquire(tmp.path() + '/', "x", 0);
            ADD_FAILURE() << "no error";
        } catch (const AppError& e) {
            EXPECT_TRUE(e.text().contains(lock)) << e.text().toStdString();
        }
        EXPECT_EQ(DirectoryLock::holderOf(tmp.path() + '/'), "") << "a link's target is not read";
        ASSERT_TRUE(QFile::remove(lock));
    }
    EXPECT_EQ(readFile(victim), "secret");
    EXPECT_FALSE(QFile::exists(missing));
}

// Another program holds the lock; the operator cancels the wait.
TEST(DirectoryLock, ACancelEndsTheWaitAtOnceWithoutTheBusyText) {
    QTemporaryDir tmp;
    const QString dir = tmp.path() + '/';
    // An open file of its own, as another process has: this one's table of
    // held directories knows nothing of it, so the command waits.
    const FileDescriptor other = openRetrying(dir + ".veri.lock", O_RDWR | O_CREAT, 0600);
    ASSERT_TRUE(other.isOpen());
    ASSERT_EQ(::flock(other.get(), LOCK_EX), 0);
    RecordingOperator op;
    op.cancelAfterChecks = 2;
    QElapsedTimer timer;
    timer.start();
    EXPECT_FALSE(lockProgramDirectory(dir, "Verileri Aktar", op));
    EXPECT_LT(timer.elapsed(), 2000);
    EXPECT_TRUE(op.messages.empty()) << op.messageTexts().join('\n').toStdString();

    // Without a cancel it waits its time and says who holds the directory.
    RecordingOperator patient;
    EXPECT_FALSE(lockProgramDirectory(dir, "Verileri Aktar", patient, 300));
    EXPECT_EQ(patient.messageTexts(), QStringList{directoryBusyText(dir)});
}

} // namespace
