#include "core/DirectoryLock.h"

#include "core/AppError.h"

#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QThread>

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

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
    // In this process: refused at once, the holder is further up the stack.
    QElapsedTimer timer;
    timer.start();
    EXPECT_FALSE(DirectoryLock::acquire(dir, "ikinci", 5000));
    EXPECT_LT(timer.elapsed(), 1000);

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

TEST(DirectoryLock, ALockFileThatIsNoFileIsRefused) {
    QTemporaryDir tmp;
    ASSERT_EQ(mkfifo(QFile::encodeName(tmp.filePath(".veri.lock")).constData(), 0600), 0);
    EXPECT_THROW(DirectoryLock::acquire(tmp.path() + '/', "x", 0), AppError);
}

} // namespace
