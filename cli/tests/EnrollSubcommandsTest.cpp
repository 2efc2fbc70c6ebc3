// enroll download, upload and copy against emulators over TCP.

#include "CommandLineRun.h"
#include "core/Database.h"
#include "core/DirectoryLock.h"
#include "core/testing/TestProgramDir.h"
#include "terminal/DeviceState.h"
#include "terminal/testing/EmulatorProcess.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QSqlQuery>
#include <QSqlRecord>
#include <QTemporaryDir>
#include <QThread>

#include <csignal>
#include <functional>
#include <map>
#include <optional>
#include <set>
#include <unistd.h>
#include <gtest/gtest.h>

// Texts in test failures as text.
inline void PrintTo(const QString& text, std::ostream* os) {
    *os << '"' << text.toStdString() << '"';
}

namespace {

EnrollTemplate templateOf(int32_t seed) {
    EnrollTemplate t{};
    for (size_t i = 0; i < t.size(); ++i)
        t[i] = static_cast<int32_t>(uint32_t(seed) * 2654435761u + uint32_t(i) * 40503u);
    return t;
}

Enrollment enrollment(int32_t enroll, int32_t backup, int32_t emachine, int32_t password = 0) {
    Enrollment e;
    e.enroll = enroll, e.emachine = emachine, e.backup = backup, e.privilege = enroll % 3;
    if (backup == 10 || backup == 11)
        e.password = password;
    else
        e.fingerprint = templateOf(enroll * 100 + backup);
    return e;
}

using Held = std::tuple<int32_t, int32_t, int32_t, int32_t, int32_t, EnrollTemplate>;
std::multiset<Held> held(const DeviceState& s) {
    std::multiset<Held> out;
    for (const Enrollment& e : s.enrollments)
        out.insert({e.enroll, e.emachine, e.backup, e.privilege, e.password, e.fingerprint});
    return out;
}

// A terminal row with an emulator behind it.
struct Emulated {
    QTemporaryDir dir;
    EmulatorProcess emulator;
    bool start(const DeviceState& state, QStringList extra = {}) {
        QString error;
        const QString path = dir.filePath("state.json");
        if (!saveDeviceState(state, path, &error)) return false;
        const bool ok = emulator.start(QStringList{"--state", path} + extra, &error);
        EXPECT_TRUE(ok) << error.toStdString();
        return ok;
    }
    // The state file as the emulator left it.
    DeviceState saved() {
        QFile f(dir.filePath("state.json"));
        EXPECT_TRUE(f.open(QIODevice::ReadOnly));
        QString error;
        return parseDeviceState(f.readAll(), &error).value_or(DeviceState{});
    }
};

class EnrollHeadless : public ::testing::Test {
  protected:
    void SetUp() override {
        DeviceState a;
        a.machine = 1;
        a.enrollments = {enrollment(42, 0, 1),      enrollment(42, 1, 1),
                         enrollment(42, 11, 1, -1), enrollment(42, 10, 1, 1234),
                         enrollment(123456, 13, 1), enrollment(9, 5, 5)};
        a.names = {{42, "AYSE YILMAZ"}};
        ASSERT_TRUE(source.start(a));
        DeviceState b;
        b.machine = 2;
        b.enrollments = {enrollment(77, 0, 2)};
        ASSERT_TRUE(target.start(b));
        addTerminal(1, "Giriş", source.emulator.port());
        addTerminal(2, "Yemekhane", target.emulator.port());
    }
    void addTerminal(int machine, const QString& name, int port) {
        sql("insert into Terminal (TerminalNo, Terminal, Tip, ComPort, ComBaud, Ip, NetPort, "
            "Sifre) "
            "values (?, ?, 'ethernet', '', '', '127.0.0.1', ?, 0)",
            {machine, name, port});
    }
    void sql(const QString& statement, const QVariantList& values = {}) {
        {
            QSqlDatabase db = openDatabaseFile("enroll-headless-test", programDir() + "Data.mdb");
            execSql(db, statement, values);
            db.close();
        }
        QSqlDatabase::removeDatabase("enroll-headless-test");
    }
    Outcome copy(const QString& from, const QString& to, bool clear) {
        QStringList args{"enroll", "copy", "--from", from, "--to", to};
        if (clear) args << "--clear";
        return runProgram(programDir(), args);
    }
    Outcome copy(bool clear) { return copy("Giriş", "Yemekhane", clear); }
    Outcome download(const QString& name) {
        return runProgram(programDir(), {"enroll", "download", "--terminal", name});
    }
    Outcome upload(const QString& name, bool clear) {
        QStringList args{"enroll", "upload", "--terminal", name};
        if (clear) args << "--clear";
        return runProgram(programDir(), args);
    }
    QString programDir() const { return files.dir(); }
    // Everything a download may change: the rows, the names, the mark.
    QStringList store() {
        QStringList out;
        for (const auto& [file, table] :
             {std::pair{"Data.mdb", "tblEnroll"}, {"Log.mdb", "temp"}}) {
            {
                QSqlDatabase db = openDatabaseFile("enroll-store", programDir() + file);
                QSqlQuery q = execSql(db, QStringLiteral("select * from %1").arg(table));
                while (q.next()) {
                    QStringList values;
                    for (int i = 0; i < q.record().count(); ++i)
                        values << q.value(i).toString();
                    out << values.join(u'|');
                }
            }
            QSqlDatabase::removeDatabase("enroll-store");
        }
        QFile ini(programDir() + "Settings.ini");
        out << (ini.open(QIODevice::ReadOnly) ? QString::fromUtf8(ini.readAll()) : "(yok)");
        return out;
    }

    TestProgramDir files;
    Emulated source, target;
};

// Whether the process has a handler for sig: before it has one, Ctrl-C
// would kill it rather than ask it to stop.
bool catches(qint64 pid, int sig) {
    QFile status(QStringLiteral("/proc/%1/status").arg(pid));
    if (!status.open(QIODevice::ReadOnly)) return false;
    for (const QByteArray& line : status.readAll().split('\n')) {
        if (line.startsWith("SigCgt:"))
            return (line.mid(7).trimmed().toULongLong(nullptr, 16) >> (sig - 1)) & 1;
    }
    return false;
}

// Whether the process holds open a file (or socket) whose name holds part.
bool holds(qint64 pid, const QByteArray& part) {
    const QDir fds(QStringLiteral("/proc/%1/fd").arg(pid));
    for (const QString& fd : fds.entryList(QDir::NoDotAndDotDot | QDir::System | QDir::Files)) {
        char target[4096];
        const ssize_t n =
            ::readlink(QFile::encodeName(fds.filePath(fd)).constData(), target, sizeof target);
        if (n > 0 && QByteArray(target, int(n)).contains(part)) return true;
    }
    return false;
}

bool waitUntil(const std::function<bool()>& done) {
    QDeadlineTimer deadline(60000);
    while (!done()) {
        if (deadline.hasExpired()) return false;
        QThread::msleep(5);
    }
    return true;
}

TEST_F(EnrollHeadless, CopyFromMachineOneToMachineTwo) {
    const Outcome r = copy(true);
    EXPECT_EQ(r.code, 0) << r.err.toStdString();
    EXPECT_EQ(r.out, QStringLiteral("Saklanan kayıt: 6\nDouble ID: 0\nGönderilen satır: 6\n"
                                    "Gönderilen isim: 1\n"));
    // The window's status texts go with the messages, to standard error.
    EXPECT_EQ(r.err, QStringLiteral("GetEnrollData OK\n"
                                    "EMachine = 005, ID = 009, FpNo = 5, Count = 6\n"
                                    "SetUserName OK\n"));
    // The target's file is current once the command has ended.
    EXPECT_EQ(held(target.saved()), held(source.saved()));
    EXPECT_EQ(source.saved().enrollments.size(), 6u);

    // Without clearing, the target keeps what else it had.
    sql("delete from Terminal where TerminalNo = 2");
    DeviceState b;
    b.machine = 2;
    b.enrollments = {enrollment(77, 0, 2)};
    Emulated other;
    ASSERT_TRUE(other.start(b));
    addTerminal(2, "Yemekhane", other.emulator.port());
    const Outcome kept = upload("Yemekhane", false);
    EXPECT_EQ(kept.code, 0) << kept.err.toStdString();
    EXPECT_EQ(other.saved().enrollments.size(), 7u);
}

TEST_F(EnrollHeadless, FailuresGiveTheirExitCodes) {
    addTerminal(3, "Kapalı", 1); // nothing listens there
    const Outcome refused = download("Kapalı");
    EXPECT_EQ(refused.code, 2);
    EXPECT_EQ(refused.err, refusedText("Kapalı"));

    const Outcome unknown = download("Yok");
    EXPECT_EQ(unknown.code, 64);
    EXPECT_TRUE(unknown.err.startsWith("\"Yok\" adlı terminal listede yok."))
        << unknown.err.toStdString();

    // A row the target refuses: counted, said, exit 1.
    ASSERT_EQ(download("Giriş").code, 0);
    sql("update tblEnroll set FingerNumber = 17 where EnrollNumber = 9");
    const Outcome partly = upload("Yemekhane", false);
    EXPECT_EQ(partly.code, 1);
    EXPECT_TRUE(partly.out.contains("Reddedilen satır: 1\n")) << partly.out.toStdString();
    EXPECT_TRUE(partly.err.contains("ERR_INVALID_PARAM")) << partly.err.toStdString();
}

TEST_F(EnrollHeadless, CutDownloadExitsOneAndCopiesNothing) {
    Emulated cut;
    DeviceState s = source.saved();
    ASSERT_TRUE(cut.start(s, {"--drop-after", "2"}));
    sql("update Terminal set NetPort = ? where TerminalNo = 1", {cut.emulator.port()});
    const Outcome r = copy(true);
    EXPECT_EQ(r.code, 1);
    EXPECT_EQ(r.err.count("Bağlantı kesildi"), 1) << r.err.toStdString();
    EXPECT_FALSE(r.out.contains("Gönderilen")) << r.out.toStdString();
    EXPECT_EQ(target.saved().enrollments.size(), 1u); // neither cleared nor written
}

// Ctrl-C while a download waits for the directory's lock or reads a slow
// terminal: exit 130, and the whole store of the download before stays as
// it was, rows, names and mark.
TEST_F(EnrollHeadless, CtrlCKeepsTheStore) {
    DeviceState many;
    many.machine = 1;
    for (int32_t u = 1; u <= 2000; ++u)
        many.enrollments.push_back(enrollment(u, 0, 1));
    const struct {
        const char* name;
        bool lockTaken; // by another command, until after the Ctrl-C
    } cases[] = {
        {"waiting for the directory's lock", true},
        {"reading a slow terminal", false},
    };
    for (const auto& c : cases) {
        ASSERT_EQ(download("Giriş").code, 0) << c.name;
        const QStringList before = store();
        ASSERT_EQ(before.size(), 6 + 6 + 1);
        Emulated slow;
        ASSERT_TRUE(slow.start(many, {"--delay-ms", "300"}));
        sql("update Terminal set NetPort = ? where TerminalNo = 1", {slow.emulator.port()});
        std::optional<DirectoryLock> other;
        if (c.lockTaken) other = DirectoryLock::tryAcquire(programDir(), "test");

        QProcess p;
        p.start(QStringLiteral(V270_PROGRAM),
                {"--dir", programDir(), "enroll", "download", "--terminal", "Giriş"});
        ASSERT_TRUE(p.waitForStarted(10000));
        const qint64 pid = p.processId();
        ASSERT_TRUE(waitUntil([&] { return catches(pid, SIGINT); })) << c.name;
        // In the lock's wait, or in the download: once connected (a few
        // requests), it reads for many seconds at 300 ms a request.
        ASSERT_TRUE(waitUntil([&] { return holds(pid, c.lockTaken ? "/.veri.lock" : "socket:"); }))
            << c.name;
        if (!c.lockTaken) QThread::msleep(3000);
        ASSERT_EQ(::kill(pid_t(pid), SIGINT), 0);
        QThread::msleep(300);
        other.reset();
        ASSERT_TRUE(p.waitForFinished(60000)) << c.name;
        const QString err = QString::fromUtf8(p.readAllStandardError());
        EXPECT_EQ(p.exitStatus(), QProcess::NormalExit) << c.name;
        EXPECT_EQ(p.exitCode(), 130) << c.name << err.toStdString();
        EXPECT_EQ(store(), before) << c.name;
        EXPECT_FALSE(err.contains("saklandı")) << err.toStdString();
        if (!c.lockTaken) {
            EXPECT_TRUE(err.contains("İptal edildi: liste yarıda kaldı, okunan "))
                << err.toStdString();
            EXPECT_TRUE(err.contains("önceki parmakizi deposu olduğu gibi duruyor"))
                << err.toStdString();
            EXPECT_EQ(QString::fromUtf8(p.readAllStandardOutput()).section(u'\n', 0, 0),
                      "Saklanan kayıt: 0");
        }
        sql("update Terminal set NetPort = ? where TerminalNo = 1", {source.emulator.port()});
    }
}

TEST_F(EnrollHeadless, OptionsThatDoNotBelongAreRefused) {
    const QStringList cases[] = {
        {"download", "--clear"},
        {"upload", "--from", "Giriş"},
        {"copy", "--from", "Giriş"},
        {"copy", "--terminal", "Giriş", "--from", "Giriş", "--to", "Yemekhane"},
        {"move"},
        {"download"}, // two terminals in the list and none named
    };
    for (const QStringList& args : cases) {
        const Outcome r = runProgram(programDir(), QStringList{"enroll"} + args);
        EXPECT_EQ(r.code, 64) << args.join(' ').toStdString();
        EXPECT_FALSE(r.err.isEmpty());
    }
    EXPECT_EQ(target.saved().enrollments.size(), 1u);
}

TEST_F(EnrollHeadless, CopyKeepsTheNames) {
    DeviceState named;
    named.machine = 1;
    for (int32_t u = 1; u <= 15; ++u) {
        named.enrollments.push_back(enrollment(u, 0, 1));
        named.names[u] = QStringLiteral("KISI %1").arg(u);
    }
    named.enrollments.push_back(enrollment(16, 0, 1)); // a user without a name
    const struct {
        const char* name;
        const char* to;
        bool clear;
    } cases[] = {
        {"onto itself, cleared first", "Kaynak", true},
        {"to another terminal, cleared first", "Hedef", true},
        {"to another terminal", "Hedef", false},
    };
    for (const auto& c : cases) {
        sql("delete from Terminal");
        Emulated from, to;
        ASSERT_TRUE(from.start(named));
        DeviceState other;
        other.machine = 2;
        other.enrollments = {enrollment(77, 0, 2)};
        other.names = {{77, "BASKA"}};
        ASSERT_TRUE(to.start(other));
        addTerminal(1, "Kaynak", from.emulator.port());
        addTerminal(2, "Hedef", to.emulator.port());
        const Outcome r = copy("Kaynak", c.to, c.clear);
        EXPECT_EQ(r.code, 0) << c.name << r.err.toStdString();
        EXPECT_TRUE(r.out.endsWith("Gönderilen isim: 15\n")) << c.name << r.out.toStdString();
        EXPECT_TRUE(r.err.endsWith("SetUserName OK\n")) << c.name << r.err.toStdString();
        Emulated& target = QLatin1String(c.to) == u"Kaynak" ? from : to;
        std::map<int32_t, QString> expected = named.names;
        if (!c.clear) expected[77] = "BASKA";
        // Names sent without the lock reach the state file up to 200 ms later.
        QDeadlineTimer deadline(5000);
        std::map<int32_t, QString> names = target.saved().names;
        while (names != expected && !deadline.hasExpired()) {
            QThread::msleep(10);
            names = target.saved().names;
        }
        EXPECT_EQ(names, expected) << c.name;
    }
}

TEST_F(EnrollHeadless, UploadWithClearRefusesACutOrUnfitStore) {
    const struct {
        const char* name;
        std::function<void()> leaveStore;
        const char* says;
    } cases[] = {
        {"download cut",
         [&] {
             Emulated cut;
             ASSERT_TRUE(cut.start(source.saved(), {"--drop-after", "2"}));
             sql("update Terminal set NetPort = ? where TerminalNo = 1", {cut.emulator.port()});
             EXPECT_EQ(download("Giriş").code, 1);
             sql("update Terminal set NetPort = ? where TerminalNo = 1", {source.emulator.port()});
         },
         "Parmakizi deposu boş: henüz terminalden alınmadı."},
        {"a password beyond 32 bits",
         [&] {
             EXPECT_EQ(download("Giriş").code, 0);
             sql("update tblEnroll set Password = 1099511627776 where FingerNumber = 10");
         },
         "tblEnroll 4. satır (EnrollNumber 42, EMachineNumber 1, FingerNumber 10): Password "},
    };
    for (const auto& c : cases) {
        c.leaveStore();
        const DeviceState before = target.saved();
        const Outcome r = upload("Yemekhane", true);
        EXPECT_EQ(r.code, 1) << c.name;
        EXPECT_EQ(r.err.count(c.says), 1) << r.err.toStdString();
        EXPECT_FALSE(r.out.contains("Gönderilen")) << r.out.toStdString();
        EXPECT_EQ(target.saved(), before) << c.name;
    }
    // Without clearing, the unfit row is said once too, and the rest go.
    const Outcome partly = upload("Yemekhane", false);
    EXPECT_EQ(partly.code, 1);
    EXPECT_TRUE(partly.out.contains("Gönderilen satır: 5\n")) << partly.out.toStdString();
    EXPECT_EQ(partly.err.count("1 satır terminalin alamayacağı değerler taşıdığı için"), 1)
        << partly.err.toStdString();
}

} // namespace
