// The bulk download and upload against in-process terminals and real store
// files: a copy between two terminals, the statuses, the failures, a kill.

#include "EnrollTestSupport.h"
#include "core/AppError.h"
#include "enroll/StoreMark.h"
#include "enroll/TemplateText.h"
#include "terminal/TFP_CLOCK.h"

#include <QFile>
#include <QSqlDatabase>

#include <csignal>
#include <set>
#include <sys/wait.h>
#include <unistd.h>
#include <gtest/gtest.h>

namespace {

// What a terminal holds, in a form that compares without regard to order.
using Held = std::tuple<int32_t, int32_t, int32_t, int32_t, int32_t, EnrollTemplate>;
std::multiset<Held> held(const DeviceState& s) {
    std::multiset<Held> out;
    for (const Enrollment& e : s.enrollments)
        out.insert({e.enroll, e.emachine, e.backup, e.privilege, e.password, e.fingerprint});
    return out;
}

// A terminal, in-process, with the control connected to it.
struct Terminal {
    explicit Terminal(DeviceState state) : device(std::make_shared<DeviceModel>(std::move(state))) {
        device->setRequestObserver([this](const wire::Message& rq) { requests.push_back(rq); });
        clock.setInProcessDevice(device);
        EXPECT_TRUE(clock.OpenCommPort(device->state().machine));
        requests.clear();
    }
    int count(wire::Op op, int32_t flag = -1) const {
        int n = 0;
        for (const wire::Message& rq : requests)
            n += rq.op == op && (flag < 0 || rq.intAt(1) == flag);
        return n;
    }
    std::shared_ptr<DeviceModel> device;
    TFP_CLOCK clock;
    std::vector<wire::Message> requests;
};

DeviceState terminalA() {
    DeviceState s;
    s.machine = 1;
    s.enrollments = {
        fingerOf(42, 0, 1, 2),    fingerOf(42, 1, 1, 2), passwordOf(42, 11, int32_t(0x80000001u)),
        passwordOf(42, 10, 4321), fingerOf(123456, 13),  fingerOf(9, 5, 5)};
    s.names = {{42, QStringLiteral("AYSE YILMAZ")}, {123456, QStringLiteral("O'NEIL")}};
    return s;
}

class Enroll : public ::testing::Test {
  protected:
    DownloadResult download(Terminal& t) {
        return downloadEnrollments(t.clock, t.device->state().machine, store, values, screen, op,
                                   QStringLiteral("Giriş"));
    }
    UploadResult upload(Terminal& t, bool clearFirst = false) {
        return uploadEnrollments(t.clock, t.device->state().machine, store, values, clearFirst,
                                 screen, op);
    }
    // Rows put straight into the store, as a download would leave them.
    void storeRows(const std::vector<Enrollment>& rows) {
        EnrollWriter writer(store);
        for (const Enrollment& e : rows) {
            EnrollRow row;
            row.key = {e.enroll, e.emachine, e.backup};
            if (carriesPassword(e.backup))
                row.password = e.password;
            else
                row.fpdata = TemplateToText(e.fingerprint);
            writer.add(row);
        }
        writer.commit();
    }

    // Everything a download may change: the rows, the names, the mark.
    QStringList snapshot() const {
        QFile ini(files.path("Settings.ini"));
        const QString mark = ini.open(QIODevice::ReadOnly) ? QString::fromUtf8(ini.readAll())
                                                           : QStringLiteral("(yok)");
        return files.rows("select * from tblEnroll") + files.rows("select * from temp", true) +
               QStringList{mark};
    }

    StoreFiles files;
    EnrollStore store = files.store();
    EnrollValues values;
    RecordingScreen screen;
    HookedOperator op;
};

DeviceState usersOneTo(int32_t last) {
    DeviceState s;
    for (int32_t u = 1; u <= last; ++u)
        s.enrollments.push_back(fingerOf(u, 0));
    return s;
}

TEST_F(Enroll, CopyFromMachineOneToMachineTwo) {
    Terminal a(terminalA());
    const DownloadResult down = download(a);
    EXPECT_EQ(down.outcome, DownloadResult::Outcome::Done);
    EXPECT_EQ(down.stored, 6);
    EXPECT_EQ(op.statuses.last(), "GetEnrollData OK");
    EXPECT_EQ(screen.log,
              (QStringList{"00042 0", "00042 1", "00042 11", "00042 10", "123456 13", "00009 5"}));
    EXPECT_EQ(files.rows("select kartno, isim from temp", true),
              (QStringList{"00042|AYSE YILMAZ", "00042|AYSE YILMAZ", "00042|AYSE YILMAZ",
                           "00042|AYSE YILMAZ", "123456|O'NEIL", "00009|"}));
    EXPECT_EQ(a.device->lockHolder(), 0);
    EXPECT_EQ(screen.nameListRuns, 1);
    EXPECT_EQ(op.busyDepth, 0);

    DeviceState stateB;

    stateB.serial = "B-1"; // kept as is, so the states compare whole
    stateB.machine = 2;
    stateB.enrollments = {fingerOf(42, 0, 2), fingerOf(77, 3, 2)}; // cleared first
    Terminal b(stateB);
    const UploadResult up = upload(b, true);
    EXPECT_EQ(up.outcome, UploadResult::Outcome::Done);
    EXPECT_EQ(up.sent, 6);
    EXPECT_EQ(held(b.device->state()), held(a.device->state()));
    // Each row goes with its own enroll-machine number to machine 2.
    for (const wire::Message& rq : b.requests) {
        EXPECT_EQ(rq.intAt(0), 2);
        if (rq.op == wire::Op::SetEnrollData && rq.intAt(1) == 9) {
            EXPECT_EQ(rq.intAt(2), 5);
        }
    }
    EXPECT_EQ(op.statuses.last(), "EMachine = 005, ID = 009, FpNo = 5, Count = 6");
    EXPECT_EQ(screen.position, "6");
    EXPECT_EQ(screen.log.first(), "00042");
    EXPECT_EQ(b.device->lockHolder(), 0);
    EXPECT_EQ(op.questions,
              (QStringList{"UYARI: Seçili terminale parmakizi datası yüklensin mi...?"}));
    // The store is left as the download left it.
    EXPECT_EQ(store.enrollmentCount(), 6);
}

TEST_F(Enroll, DownloadStatusesDoubleIdAndTwoFingersAndACard) {
    DeviceState s;
    s.enrollments = {fingerOf(42, 0), fingerOf(42, 0), fingerOf(42, 1), passwordOf(42, 11, 99),
                     fingerOf(7, 0)};
    s.names[42] = QStringLiteral("AYSE");
    Terminal t(s);
    const DownloadResult r = download(t);
    EXPECT_EQ(r.stored, 4);
    EXPECT_EQ(r.doubles, 1);
    EXPECT_EQ(op.statuses.mid(0, 4),
              (QStringList{"Alınıyor.....", "ReadAllUserID OK", "001-0042-0", "GetUserName OK"}));
    EXPECT_EQ(op.statuses.at(4), "Double ID");
    EXPECT_EQ(op.statuses.last(), "GetEnrollData OK");
    EXPECT_EQ(files.rows("select EnrollNumber, FingerNumber, Password from tblEnroll"),
              (QStringList{"42|0|NULL", "42|1|NULL", "42|11|99", "7|0|NULL"}));
    EXPECT_EQ(files.rows("select kartno from temp", true),
              (QStringList{"00042", "00042", "00042", "00042", "00007"}));
    EXPECT_EQ(screen.log.size(), 5);
    EXPECT_EQ(screen.position, "   7");
    EXPECT_EQ(screen.userName, "");                   // user 7 has no name
    EXPECT_EQ(values.templateArray, templateOf(700)); // the last one read
}

// The count goes up with every enrollment read, whether or not the terminal
// tells how many it holds; the bar shows done/total only when it does.
TEST_F(Enroll, DownloadCountsEveryEnrollmentRead) {
    struct Case {
        const char* name;
        bool terminalTellsTotal;
        int barMaximum;
    };
    for (const Case& c : {Case{"with the total", true, 5}, Case{"without it", false, 0}}) {
        Terminal t(usersOneTo(5));
        if (!c.terminalTellsTotal) t.device->faults().failOps["GetDeviceCounts"] = ERR_NOSUPPORT;
        const DownloadResult r = download(t);
        EXPECT_EQ(r.outcome, DownloadResult::Outcome::Done) << c.name;
        EXPECT_EQ(r.stored, 5) << c.name;
        EXPECT_EQ(op.count, 5) << c.name;
        EXPECT_EQ(op.progressMaximum, c.barMaximum) << c.name;
    }
}

// A download replaces the store only when it read every enrollment; however
// else it ends, the whole store of the download before stays as it was.
TEST_F(Enroll, DownloadThatEndsShortKeepsTheOldStore) {
    struct Case {
        const char* name;
        DeviceState terminal;
        std::function<void(Terminal&)> setup;
        DownloadResult::Outcome outcome;
        QString status; // the last status line
        QString throws; // the error's text, when it ends with one
        int releases;   // EnableDevice(1) calls
        int stored = 0;
    };
    const QString kept = QStringLiteral("önceki parmakizi deposu olduğu gibi duruyor");
    const Case cases[] = {
        {"cancelled while it waited to begin",
         usersOneTo(600),
         [&](Terminal&) { op.cancelAfterChecks = 0; },
         DownloadResult::Outcome::Cancelled,
         "İptal edildi: " + kept + ".",
         {},
         0},
        {"cancelled halfway",
         usersOneTo(600),
         [&](Terminal&) { op.cancelAfterChecks = 100; },
         DownloadResult::Outcome::Cancelled,
         "İptal edildi: liste yarıda kaldı, okunan 99 kayıt saklanmadı; " + kept + ".",
         {},
         1,
         99},
        {"locked by another client",
         terminalA(),
         [](Terminal& t) {
             const auto other = t.device->connectClient();
             wire::Message rq;
             rq.op = wire::Op::Hello, rq.ints = {1, 0};
             t.device->handle(other, rq);
             rq.op = wire::Op::EnableDevice, rq.ints = {1, 0, -1};
             t.device->handle(other, rq);
         },
         DownloadResult::Outcome::NoDevice,
         "Bağlanamadı...",
         {},
         0},
        {"list refused",
         terminalA(),
         [](Terminal& t) { t.device->faults().failOps["ReadAllUserID"] = ERR_NON_CARRYOUT; },
         DownloadResult::Outcome::ReadFailed,
         "ERR_NON_CARRYOUT",
         {},
         1},
        // After 100 enrollments the terminal stops answering reads: the next
        // batch (at 257) fails as a broken link does.
        {"link cut",
         usersOneTo(600),
         [&](Terminal& t) {
             op.hook = [&t](int statusCount) { // two lines per enrollment
                 if (statusCount == 200)
                     t.device->faults().failOps["GetEnrollData"] = ERR_WRITE_FAIL;
             };
         },
         DownloadResult::Outcome::Interrupted,
         "Bağlantı kesildi (ERR_WRITE_FAIL): liste yarıda kaldı, okunan 256 kayıt saklanmadı; " +
             kept + ". Yeniden bağlanıp tekrar alın.",
         {},
         1,
         256},
        {"an enrollment not read",
         [] {
             DeviceState s;
             s.enrollments = {fingerOf(1, 0), fingerOf(2, 20), fingerOf(3, 0)}; // no backup 20
             return s;
         }(),
         [](Terminal&) {},
         DownloadResult::Outcome::Done,
         "GetEnrollData :ERR_INVALID_PARAM (1 kayıt okunamadı; okunan 2 kayıt saklanmadı, " + kept +
             ")",
         {},
         1,
         2},
        {"database error",
         usersOneTo(600),
         [&](Terminal&) {
             execSql(store.log(), "create trigger refuse after insert on temp when new.kartno = "
                                  "'00300' begin select raise(abort, 'disk dolu'); end");
         },
         DownloadResult::Outcome::Done,
         {},
         "Veritabanı hatası: disk dolu",
         1},
    };
    Terminal a(terminalA());
    ASSERT_TRUE(download(a).complete);
    const QStringList before = snapshot();
    ASSERT_EQ(before.size(), 6 + 6 + 1);
    for (const Case& c : cases) {
        Terminal t(c.terminal);
        op = HookedOperator{};
        screen.nameListRuns = 0;
        c.setup(t);
        t.requests.clear();
        DownloadResult r;
        try {
            r = download(t);
            EXPECT_TRUE(c.throws.isEmpty()) << c.name << ": no error";
        } catch (const AppError& e) {
            EXPECT_EQ(e.text(), c.throws) << c.name;
        }
        op.hook = nullptr;
        execSql(store.log(), "drop trigger if exists refuse");
        EXPECT_EQ(snapshot(), before) << c.name;
        EXPECT_FALSE(r.complete) << c.name;
        if (c.throws.isEmpty()) {
            EXPECT_EQ(r.outcome, c.outcome) << c.name;
            EXPECT_EQ(r.stored, c.stored) << c.name;
            EXPECT_EQ(op.statuses.last(), c.status) << c.name;
        }
        EXPECT_EQ(t.count(wire::Op::EnableDevice, 1), c.releases) << c.name;
        EXPECT_EQ(op.busyDepth, 0) << c.name;
        // The list shows the store again, as it is.
        EXPECT_EQ(screen.nameListRuns, 1) << c.name;
    }
    // Nothing asked of the terminal when the cancel came first.
    {
        Terminal t(terminalA());
        op = HookedOperator{};
        op.cancelAfterChecks = 0;
        t.requests.clear();
        download(t);
        EXPECT_TRUE(t.requests.empty());
    }

    // A whole download, even of nothing, replaces the store.
    Terminal empty(DeviceState{});
    op = HookedOperator{};
    EXPECT_TRUE(download(empty).complete);
    EXPECT_EQ(store.enrollmentCount(), 0);
    EXPECT_TRUE(files.rows("select * from temp", true).isEmpty());
    EXPECT_EQ(readStoreMark(store).state, StoreMark::State::Complete);
}

TEST_F(Enroll, NamesTheTerminalRefusesAreStoredEmpty) {
    DeviceState s;
    s.enrollments = {fingerOf(1, 0), fingerOf(2, 0), fingerOf(3, 0)};
    s.names = {{1, QStringLiteral("BIR")}, {2, QStringLiteral("IKI")}, {3, QStringLiteral("UC")}};
    Terminal t(s);
    ASSERT_TRUE(download(t).complete);
    EXPECT_EQ(files.rows("select isim from temp", true), (QStringList{"BIR", "IKI", "UC"}));

    // Never the user's before.
    t.device->faults().failOps["GetUserName"] = ERR_NON_CARRYOUT;
    EXPECT_TRUE(download(t).complete);
    EXPECT_EQ(files.rows("select isim from temp", true), (QStringList{"", "", ""}));
    EXPECT_TRUE(op.statuses.contains("ERR_NON_CARRYOUT"));
}

TEST_F(Enroll, KillLeavesTheOldStoreAndTheNextDownloadReplacesIt) {
    Terminal a(terminalA());
    ASSERT_TRUE(download(a).complete);
    const QStringList before = snapshot();
    const DeviceState s = usersOneTo(3000);
    const pid_t pid = ::fork();
    if (pid == 0) {
        // Its own connections to the same files, killed mid-download.
        const QString data = QUuid::createUuid().toString(), log = QUuid::createUuid().toString();
        openDatabaseFile(data, files.path("Data.mdb"));
        openDatabaseFile(log, files.path("Log.mdb"));
        EnrollStore childStore(QSqlDatabase::database(data), QSqlDatabase::database(log));
        Terminal t(s);
        HookedOperator childOp;
        childOp.hook = [](int statusCount) {
            if (statusCount == 2 * 2500) ::raise(SIGKILL);
        };
        downloadEnrollments(t.clock, 1, childStore, values, screen, childOp, "Giriş");
        ::_exit(3);
    }
    int status = 0;
    ::waitpid(pid, &status, 0);
    ASSERT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL) << status;
    EXPECT_EQ(snapshot(), before);
    const UploadResult sendable = [&] {
        Terminal b(DeviceState{});
        return upload(b, true);
    }();
    EXPECT_EQ(sendable.outcome, UploadResult::Outcome::Done) << sendable.unfitText.toStdString();

    Terminal t(s);
    const DownloadResult r = download(t);
    EXPECT_TRUE(r.complete);
    EXPECT_EQ(r.stored, 3000);
    EXPECT_EQ(store.enrollmentCount(), 3000);
    EXPECT_EQ(files.rows("select count(*) from temp", true), (QStringList{"3000"}));
}

TEST_F(Enroll, UploadReportsOnlyTheLastRowsFailureInTheStatusLine) {
    struct Case {
        const char* name;
        std::vector<Enrollment> rows;
        QString status;
        int refused;
    };
    const Case cases[] = {
        {"last row refused",
         {fingerOf(1, 0), fingerOf(2, 0), fingerOf(3, 17)},
         "SetAllEnrollData Error : ERR_INVALID_PARAM",
         1},
        {"second row refused",
         {fingerOf(1, 0), fingerOf(2, 17), fingerOf(3, 0)},
         "EMachine = 001, ID = 003, FpNo = 0, Count = 3",
         1},
    };
    for (const Case& c : cases) {
        store.clearEnrollments();
        storeRows(c.rows);
        Terminal t(DeviceState{});
        const UploadResult r = upload(t);
        EXPECT_EQ(r.refused, c.refused) << c.name;
        EXPECT_EQ(r.sent, 2) << c.name;
        EXPECT_EQ(op.statuses.last(), c.status) << c.name;
        EXPECT_EQ(screen.position, "3") << c.name;
        ASSERT_EQ(screen.log.size(), 3) << c.name;
        EXPECT_EQ(screen.log.filter("yazılamadı (ERR_INVALID_PARAM)").size(), 1) << c.name;
        EXPECT_EQ(t.device->state().enrollments.size(), 2u) << c.name;
        EXPECT_EQ(t.device->lockHolder(), 0) << c.name;
    }
}

TEST_F(Enroll, UploadOfAnEmptyStoreWithAndWithoutClearing) {
    Terminal empty(DeviceState{});
    download(empty); // a whole download of nothing: the store may be sent
    for (const bool clear : {false, true}) {
        DeviceState s;
        s.enrollments = {fingerOf(5, 0)};
        Terminal t(s);
        op.statuses.clear();
        const UploadResult r = upload(t, clear);
        EXPECT_EQ(r.outcome, UploadResult::Outcome::Done);
        EXPECT_EQ(op.statuses.last(), clear ? "ClearKeeperData OK" : "Working...");
        EXPECT_EQ(t.count(wire::Op::SetEnrollData), 0);
        EXPECT_EQ(t.device->state().enrollments.size(), clear ? 0u : 1u);
        EXPECT_EQ(t.count(wire::Op::EnableDevice, 1), 1);
    }
}

TEST_F(Enroll, UploadDeclinedRefusedOrCut) {
    {
        DeviceState s;
        s.enrollments = {fingerOf(1, 0), fingerOf(2, 0), fingerOf(3, 0)};
        Terminal source(s);
        download(source);
    }
    {
        Terminal t(DeviceState{});
        op.answers = {false};
        EXPECT_EQ(upload(t).outcome, UploadResult::Outcome::Declined);
        EXPECT_TRUE(t.requests.empty());
    }
    {
        Terminal t(DeviceState{});
        t.device->faults().failOps["EnableDevice"] = ERR_NON_CARRYOUT;
        EXPECT_EQ(upload(t).outcome, UploadResult::Outcome::NoDevice);
        EXPECT_EQ(op.statuses.last(), "No Device");
        EXPECT_EQ(t.requests.size(), 1u); // the lock only, no release
    }
    {
        // The delete fails: said, and the rows still go.
        Terminal t(DeviceState{});
        t.device->faults().failOps["ClearKeeperData"] = ERR_NOSUPPORT;
        const UploadResult r = upload(t, true);
        EXPECT_TRUE(r.clearFailed);
        EXPECT_TRUE(op.statuses.contains("ERR_NOSUPPORT"));
        EXPECT_EQ(t.device->state().enrollments.size(), 3u);
    }
    {
        // A broken link ends the upload there instead of retrying every row.
        Terminal t(DeviceState{});
        op.statuses.clear();
        op.hook = [&](int statusCount) { // 1: "Working...", 2: after the first row
            if (statusCount == 2) t.device->faults().failOps["SetEnrollData"] = ERR_WRITE_FAIL;
        };
        const UploadResult r = upload(t);
        op.hook = nullptr;
        EXPECT_EQ(r.outcome, UploadResult::Outcome::Interrupted);
        EXPECT_EQ(r.sent, 1);
        EXPECT_EQ(op.statuses.last(), interruptedUploadText("ERR_WRITE_FAIL", 1));
        EXPECT_EQ(t.count(wire::Op::SetEnrollData), 2);
        EXPECT_EQ(op.busyDepth, 0);
    }
    {
        // "İptal" after the second row: the rows before it went, the terminal is free.
        Terminal t(DeviceState{});
        op.cancelAfterChecks = 2;
        const UploadResult r = upload(t);
        op.cancelAfterChecks = -1;
        EXPECT_EQ(r.outcome, UploadResult::Outcome::Cancelled);
        EXPECT_EQ(r.sent, 2);
        EXPECT_EQ(t.device->state().enrollments.size(), 2u);
        EXPECT_EQ(op.statuses.last(), cancelledUploadText(2));
        EXPECT_EQ(t.device->lockHolder(), 0);
    }
}

// What a terminal holds less the enrollment (enroll, backup).
std::multiset<Held> heldWithout(const DeviceState& s, int32_t enroll, int32_t backup) {
    DeviceState less = s;
    std::erase_if(less.enrollments,
                  [&](const Enrollment& e) { return e.enroll == enroll && e.backup == backup; });
    return held(less);
}

TEST_F(Enroll, UnfitRowsAreNeverSentAndStopAClearBeforeItStarts) {
    const QString full = TemplateToText(templateOf(4200));
    struct Case {
        const char* name;
        const char* column; // set on the row (enroll, backup) below
        QVariant value;
        int32_t enroll, backup;
        QString row;     // how the error names the row
        QString problem; // and what is wrong with it
    };
    const QString notATemplate = QStringLiteral("FPdata okunabilir bir parmakizi şablonu değil");
    const Case cases[] = {
        {"password beyond 32 bits", "Password", qint64(1) << 40, 42, 10,
         "tblEnroll 4. satır (EnrollNumber 42, EMachineNumber 1, FingerNumber 10)",
         "Password sütununda geçersiz değer: 1099511627776"},
        {"template with a group not hexadecimal", "FPdata",
         full.left(9) + "12G45678" + full.mid(17), 42, 1,
         "tblEnroll 2. satır (EnrollNumber 42, EMachineNumber 1, FingerNumber 1)", notATemplate},
        {"template cut short", "FPdata", full.left(3000), 42, 1, "FingerNumber 1)", notATemplate},
        {"template with more after it", "FPdata", full + " 00000000", 42, 1, "FingerNumber 1)",
         notATemplate},
        {"template empty", "FPdata", QString(""), 123456, 13,
         "tblEnroll 5. satır (EnrollNumber 123456", notATemplate},
        {"template missing", "FPdata", QVariant(QMetaType(QMetaType::QString)), 42, 0,
         "tblEnroll 1. satır", notATemplate},
        {"enroll number below 0", "EnrollNumber", -9, 9, 5,
         "tblEnroll 6. satır (EnrollNumber -9, EMachineNumber 5, FingerNumber 5)",
         "EnrollNumber sıfırdan küçük: -9"},
        {"enroll number beyond 32 bits", "EnrollNumber", qint64(1) << 33, 9, 5,
         "(EnrollNumber 8589934592, EMachineNumber 5", "EnrollNumber sütununda geçersiz değer"},
    };
    Terminal a(terminalA());
    for (const Case& c : cases) {
        ASSERT_TRUE(download(a).complete) << c.name;
        execSql(store.data(),
                QStringLiteral("update tblEnroll set %1 = ? where EnrollNumber = ? and "
                               "FingerNumber = ?")
                    .arg(QLatin1String(c.column)),
                {c.value, c.enroll, c.backup});

        // Clearing first: nothing is cleared or sent, and the row is named.
        DeviceState stateB;
        stateB.serial = "B-1"; // kept as is, so the states compare whole
        stateB.machine = 2;
        stateB.enrollments = {fingerOf(77, 3, 2), passwordOf(78, 10, 5, 2)};
        Terminal b(stateB);
        op.messages.clear();
        const UploadResult refused = upload(b, true);
        EXPECT_EQ(refused.outcome, UploadResult::Outcome::StoreUnfit) << c.name;
        EXPECT_TRUE(refused.unfitText.contains(c.row)) << refused.unfitText.toStdString();
        EXPECT_TRUE(refused.unfitText.contains(c.problem)) << refused.unfitText.toStdString();
        EXPECT_TRUE(b.requests.empty()) << c.name;
        EXPECT_EQ(b.device->state(), stateB) << c.name;
        ASSERT_EQ(op.messages.size(), 1u) << c.name;
        EXPECT_EQ(op.messages[0].text, refused.unfitText) << c.name;
        EXPECT_EQ(op.messages[0].icon, Operator::Icon::Warning) << c.name;

        // Without clearing: the row is said and skipped, the rest go.
        Terminal d(DeviceState{});
        op.messages.clear();
        const UploadResult partly = upload(d);
        EXPECT_EQ(partly.outcome, UploadResult::Outcome::Done) << c.name;
        EXPECT_EQ(partly.unfit, 1) << c.name;
        EXPECT_EQ(partly.sent, 5) << c.name;
        EXPECT_EQ(held(d.device->state()), heldWithout(a.device->state(), c.enroll, c.backup))
            << c.name;
        EXPECT_EQ(screen.log.filter(" gönderilmedi: ").size(), 1) << c.name;
        ASSERT_EQ(op.messages.size(), 1u) << c.name;
        EXPECT_TRUE(op.messages[0].text.startsWith("1 satır")) << c.name;
        EXPECT_TRUE(op.messages[0].text.contains(c.problem)) << c.name;
    }
}

TEST_F(Enroll, DamagedStoreFileStopsTheUploadBeforeTheClear) {
    DeviceState s;
    for (int32_t u = 1; u <= 400; ++u)
        s.enrollments.push_back(fingerOf(u, 0));
    Terminal a(s);
    ASSERT_TRUE(download(a).complete);
    // A page in the middle of Data.mdb overwritten, read afresh.
    QSqlDatabase data = store.data();
    data.close();
    {
        QFile file(files.path("Data.mdb"));
        ASSERT_TRUE(file.open(QIODevice::ReadWrite));
        const qint64 pages = file.size() / 4096;
        ASSERT_GT(pages, 100);
        ASSERT_TRUE(file.seek(pages / 2 * 4096));
        ASSERT_EQ(file.write(QByteArray(4096, '\xff')), 4096);
    }
    ASSERT_TRUE(data.open());

    DeviceState stateB;

    stateB.serial = "B-1"; // kept as is, so the states compare whole
    stateB.enrollments = {fingerOf(77, 0), fingerOf(78, 0)};
    Terminal b(stateB);
    EXPECT_THROW(upload(b, true), AppError);
    EXPECT_EQ(b.count(wire::Op::ClearKeeperData), 0);
    EXPECT_EQ(b.count(wire::Op::SetEnrollData), 0);
    EXPECT_EQ(b.device->state(), stateB);
    EXPECT_EQ(op.busyDepth, 0);
}

TEST_F(Enroll, UploadWithClearNeedsAStoreThatAWholeDownloadMarked) {
    DeviceState many;
    for (int32_t u = 1; u <= 600; ++u)
        many.enrollments.push_back(fingerOf(u, 0));
    struct Case {
        const char* name;
        std::function<void()> leaveStore;
        QString says; // "" for a store that may go
    };
    const Case cases[] = {
        {"rows put in by hand",
         [&] {
             storeRows({fingerOf(1, 0), fingerOf(2, 0)});
         },
         "Parmakizi deposunun tam bir indirmeden geldiği bilinmiyor."},
        {"nothing ever downloaded", [&] {}, "Parmakizi deposu boş: henüz terminalden alınmadı."},
        {"a download cut short over an empty store",
         [&] {
             Terminal t(many);
             op.statuses.clear();
             op.hook = [&](int statusCount) { // two lines per enrollment
                 if (statusCount == 200)
                     t.device->faults().failOps["GetEnrollData"] = ERR_WRITE_FAIL;
             };
             download(t);
             op.hook = nullptr;
         },
         "Parmakizi deposu boş: henüz terminalden alınmadı."},
        {"a download stopped between its commits",
         [&] {
             markDownloadStarted(store, "Giriş", 1, QDateTime::currentDateTime());
             storeRows({fingerOf(1, 0)});
         },
         "Parmakizi deposu eksik: \"Giriş\" terminalinden (Cihaz No 1) "},
        {"a download cut short over a whole one",
         [&] {
             Terminal whole(terminalA());
             download(whole);
             Terminal t(many);
             op.cancelAfterChecks = 100;
             download(t);
             op.cancelAfterChecks = -1;
         },
         ""},
        {"a row deleted after the download",
         [&] {
             Terminal t(terminalA());
             download(t);
             execSql(store.data(), "delete from tblEnroll where EnrollNumber = 9");
         },
         "alındıktan sonra değişti (alınan 6 kayıt, şimdi 5)"},
        {"a row changed after the download",
         [&] {
             Terminal t(terminalA());
             download(t);
             execSql(store.data(), "update tblEnroll set Privilige = 0 where EnrollNumber = 42");
         },
         "alındıktan sonra değişti (alınan 6 kayıt, şimdi 6)"},
        {"a whole download",
         [&] {
             Terminal t(terminalA());
             download(t);
         },
         ""},
    };
    for (const Case& c : cases) {
        // Every case from an empty store that no download has marked.
        store.clearEnrollments();
        store.clearNames();
        QFile::remove(storeMarkFile(store));
        c.leaveStore();
        DeviceState stateB;
        stateB.serial = "B-1"; // kept as is, so the states compare whole
        stateB.machine = 2;
        stateB.enrollments = {fingerOf(77, 3, 2)};
        Terminal b(stateB);
        op.messages.clear();
        const UploadResult r = upload(b, true);
        if (c.says.isEmpty()) {
            EXPECT_EQ(r.outcome, UploadResult::Outcome::Done) << c.name;
            EXPECT_EQ(held(b.device->state()), held(terminalA())) << c.name;
            continue;
        }
        EXPECT_EQ(r.outcome, UploadResult::Outcome::StoreUnfit) << c.name;
        EXPECT_TRUE(r.unfitText.contains(c.says)) << r.unfitText.toStdString();
        // It says how to redo the download.
        EXPECT_TRUE(r.unfitText.contains("\"Terminalden Parmakizi Datası Al\"")) << c.name;
        EXPECT_TRUE(b.requests.empty()) << c.name;
        EXPECT_EQ(b.device->state(), stateB) << c.name;
        EXPECT_EQ(op.statuses.last(), r.unfitText) << c.name;
        ASSERT_EQ(op.messages.size(), 1u) << c.name;
        EXPECT_EQ(op.messages[0].text, r.unfitText) << c.name;
    }
}

TEST_F(Enroll, WholeDownloadRecordsWhereAndWhenItCameFrom) {
    const QDateTime before = QDateTime::currentDateTime().addSecs(-1);
    DeviceState s = terminalA();
    s.machine = 7;
    Terminal t(s);
    const DownloadResult r = download(t);
    EXPECT_TRUE(r.complete);
    const StoreMark mark = readStoreMark(store);
    EXPECT_EQ(mark.state, StoreMark::State::Complete);
    EXPECT_EQ(mark.terminal, "Giriş");
    EXPECT_EQ(mark.machine, 7);
    EXPECT_GE(mark.time, before);
    EXPECT_LE(mark.time, QDateTime::currentDateTime());
    EXPECT_EQ(mark.rows, 6);
    EXPECT_EQ(storeMarkFile(store), files.path("Settings.ini"));
    EXPECT_TRUE(storeStateText(mark, 6).startsWith(
        "Parmakizi deposu: \"Giriş\" terminalinden (Cihaz No 7) "))
        << storeStateText(mark, 6).toStdString();
    EXPECT_TRUE(storeStateText(mark, 6).endsWith(" tarihinde alınan 6 kayıt, tam."));
}

} // namespace
