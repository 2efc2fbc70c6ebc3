// Every subcommand that takes the program directory's lock, when it can't:
// something else in the lock file's place, or another program holding it
// while the operator presses Ctrl-C.

#include "CommandLineRun.h"
#include "cli/Subcommand.h"
#include "core/ConsoleOperator.h"
#include "core/Database.h"
#include "core/FileDescriptor.h"
#include "core/testing/TestFiles.h"
#include "terminal/DeviceState.h"
#include "terminal/testing/EmulatorProcess.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>

#include <csignal>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <gtest/gtest.h>

namespace {

class LockedDirectory : public ::testing::Test {
  protected:
    void SetUp() override {
        createDatabaseFromSchema(programDir() + "Data.mdb", "Data.sql");
        createDatabaseFromSchema(programDir() + "Log.mdb", "Log.sql");
        const QString state = elsewhere.filePath("state.json");
        QString error;
        ASSERT_TRUE(saveDeviceState(DeviceState{}, state, &error));
        ASSERT_TRUE(emulator.start({"--state", state}, &error)) << error.toStdString();
        QSqlDatabase db = openDatabaseFile("locked-directory-test", programDir() + "Data.mdb");
        execSql(db,
                "insert into Terminal (TerminalNo, Terminal, Tip, Ip, NetPort, Sifre) "
                "values (1, 'Giriş', 'ethernet', '127.0.0.1', ?, 0)",
                {emulator.port()});
        db.close();
        db = QSqlDatabase();
        QSqlDatabase::removeDatabase("locked-directory-test");
        writeFile(card(), "h\n1\t1\t123\t0\t0\t0\t2011/06/08 12:34:56\n");
    }

    QString programDir() const { return dir.path() + '/'; }
    QString lockPath() const { return programDir() + ".veri.lock"; }
    QString card() const { return elsewhere.filePath("kart.txt"); }

    // Every subcommand that writes Data.mdb, Log.mdb or the data files.
    QList<QStringList> lockingCommands() const {
        return {{"transfer"},
                {"transfer", "--all"},
                {"sdcard", card()},
                {"admin-clear", "--yes"},
                {"enroll", "download"},
                {"enroll", "upload"},
                {"enroll", "copy", "--from", "Giriş", "--to", "Giriş"},
                {"names", "fill"},
                {"names", "send"},
                {"terminals", "add", "--name", "Yeni", "--tcp", "127.0.0.1:2"},
                {"terminals", "edit", "Giriş", "--machine", "2"},
                {"terminals", "remove", "Giriş"}};
    }

    // What a command must leave as it was.
    QByteArray stores() const {
        return readFile(programDir() + "Data.mdb") + readFile(programDir() + "Log.mdb");
    }

    QTemporaryDir dir, elsewhere;
    EmulatorProcess emulator;
};

TEST_F(LockedDirectory, ALockFileThatCantBeOpenedEndsEveryCommandWithItsText) {
    const QString missing = elsewhere.filePath("made.txt");
    const struct Obstacle {
        const char* name;
        std::function<bool(const QString&)> make;
    } obstacles[] = {
        {"a FIFO",
         [](const QString& p) { return mkfifo(QFile::encodeName(p).constData(), 0600) == 0; }},
        {"a directory", [](const QString& p) { return QDir().mkdir(p); }},
        {"a dangling link", [&](const QString& p) { return QFile::link(missing, p); }},
    };
    const QByteArray before = stores();
    for (const Obstacle& o : obstacles) {
        ASSERT_TRUE(o.make(lockPath())) << o.name;
        for (const QStringList& args : lockingCommands()) {
            SCOPED_TRACE(o.name + (" / " + args.join(' ').toStdString()));
            const Outcome r = runProgram(programDir(), args);
            EXPECT_EQ(r.code, ExitFailed);
            // A transfer's summary line says that it failed; no other line.
            if (args.contains("transfer"))
                EXPECT_TRUE(r.out.contains(": HATA: ") && r.out.count('\n') == 1)
                    << r.out.toStdString();
            else
                EXPECT_EQ(r.out, "");
            EXPECT_TRUE(r.err.contains(lockPath())) << r.err.toStdString();
            EXPECT_FALSE(r.err.contains("saniye beklendi")) << r.err.toStdString();
        }
        EXPECT_EQ(stores(), before) << o.name;
        EXPECT_FALSE(QFile::exists(programDir() + "veri.txt")) << o.name;
        EXPECT_FALSE(QFile::exists(missing)) << o.name;
        ASSERT_TRUE(QFile::remove(lockPath()) || QDir().rmdir(lockPath()));
    }
}

TEST_F(LockedDirectory, CtrlCEndsTheWaitForTheDirectoryAtOnce) {
    // Another program holds the lock (its own open file, as a process has).
    const FileDescriptor other = openRetrying(lockPath(), O_RDWR | O_CREAT, 0600);
    ASSERT_TRUE(other.isOpen());
    ASSERT_EQ(::flock(other.get(), LOCK_EX), 0);
    const QByteArray before = stores();
    for (const QStringList& args : lockingCommands()) {
        SCOPED_TRACE(args.join(' ').toStdString());
        QElapsedTimer timer;
        timer.start();
        // In a child: the interrupt's flag stays set for the rest of a process.
        const pid_t pid = ::fork();
        if (pid == 0) {
            ConsoleOperator::catchInterrupt();
            ::raise(SIGINT);
            const Outcome r = runProgram(programDir(), args);
            // One message: the interrupt's own, never the busy text.
            ::_exit(r.err.contains("saniye beklendi") ? 99 : r.code);
        }
        int status = 0;
        ASSERT_EQ(::waitpid(pid, &status, 0), pid);
        ASSERT_TRUE(WIFEXITED(status));
        EXPECT_EQ(WEXITSTATUS(status), ExitCancelled);
        EXPECT_LT(timer.elapsed(), 5000) << "waited for the directory after Ctrl-C";
    }
    EXPECT_EQ(stores(), before);
    EXPECT_FALSE(QFile::exists(programDir() + "veri.txt"));
}

} // namespace
