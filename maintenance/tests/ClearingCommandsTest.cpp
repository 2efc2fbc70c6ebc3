#include "maintenance/ClearingCommands.h"

#include "core/AppError.h"
#include "core/Database.h"
#include "core/testing/RecordingOperator.h"
#include "core/testing/TestFiles.h"
#include "terminal/DeviceModel.h"
#include "terminal/TFP_CLOCK.h"

#include <QSqlQuery>
#include <QTemporaryDir>

#include <set>
#include <gtest/gtest.h>

namespace {

Enrollment enrollment(int32_t enroll, int32_t backup, int32_t privilege) {
    Enrollment e;
    e.enroll = enroll;
    e.backup = backup;
    e.privilege = privilege;
    e.fingerprint.fill(enroll);
    return e;
}

class Clearing : public ::testing::Test {
  protected:
    void SetUp() override {
        createDatabaseFromSchema(dir.filePath("Data.mdb"), "Data.sql");
        data = openDatabaseFile("clearing-test", dir.filePath("Data.mdb"));
        device = std::make_shared<DeviceModel>(DeviceState{});
        clock.setInProcessDevice(device);
        ASSERT_TRUE(clock.OpenCommPort(1));
    }
    void TearDown() override {
        data.close();
        data = QSqlDatabase();
        QSqlDatabase::removeDatabase("clearing-test");
    }
    std::vector<QStringList> enrollInfo() {
        QSqlQuery q = execSql(data, "select No, EnNo, EMNo, Fp, Priv, Enable from ENROLLINFO "
                                    "order by rowid");
        std::vector<QStringList> rows;
        while (q.next()) {
            QStringList row;
            for (int i = 0; i < 6; ++i)
                row << q.value(i).toString();
            rows.push_back(row);
        }
        return rows;
    }
    // (enroll, backup, privilege) of what the terminal holds.
    std::vector<std::tuple<int, int, int>> onTerminal() const {
        std::vector<std::tuple<int, int, int>> held;
        for (const Enrollment& e : device->state().enrollments)
            held.emplace_back(e.enroll, e.backup, e.privilege);
        return held;
    }

    QTemporaryDir dir;
    QSqlDatabase data;
    std::shared_ptr<DeviceModel> device;
    TFP_CLOCK clock;
    RecordingOperator op;
};

TEST_F(Clearing, AdminSilOnATerminalWithoutEnrollments) {
    execSql(data, "insert into ENROLLINFO values ('000', '00001', '001', '00', '1', '1')");
    const AdminClearResult r = clearAdministrators(clock, 1, data, op);
    EXPECT_TRUE(r.reached);
    EXPECT_EQ(r.listed, 0);
    EXPECT_TRUE(enrollInfo().empty());
    EXPECT_TRUE(op.messages.empty());
    EXPECT_EQ(op.busyDepth, 0);
}

TEST_F(Clearing, AdminSilListsEveryEnrollmentAndTakesOffOnlyPrivileges1And2) {
    auto& held = device->mutableState().enrollments;
    held = {enrollment(7, 0, 0), enrollment(123456, 0, 1), enrollment(123456, 1, 1),
            enrollment(9, kPasswordBackup, 2), enrollment(8, 3, 3)};
    held[1].emachine = 42;        // kept as written, and reported back
    for (int i = 0; i < 996; ++i) // row counters of four digits
        held.push_back(enrollment(1000 + i, 0, 0));

    const AdminClearResult r = clearAdministrators(clock, 1, data, op);
    EXPECT_EQ(r.listed, 1001);
    EXPECT_EQ(r.administrators, 3);
    EXPECT_EQ(r.deleted, 3);
    EXPECT_TRUE(r.complete());

    const std::vector<QStringList> rows = enrollInfo();
    ASSERT_EQ(rows.size(), 1001u);
    EXPECT_EQ(rows[0], (QStringList{"000", "00007", "001", "00", "0", "1"}));
    EXPECT_EQ(rows[1], (QStringList{"001", "123456", "042", "00", "1", "1"}));
    EXPECT_EQ(rows[2], (QStringList{"002", "123456", "001", "01", "1", "1"}));
    EXPECT_EQ(rows[3], (QStringList{"003", "00009", "001", "10", "2", "1"}));
    EXPECT_EQ(rows[4], (QStringList{"004", "00008", "001", "03", "3", "1"}));
    EXPECT_EQ(rows[1000][0], "1000");

    // Both fingers of the administrator and the password one are gone; the
    // rest stay untouched.
    const auto left = onTerminal();
    ASSERT_EQ(left.size(), 998u);
    EXPECT_EQ(left[0], std::make_tuple(7, 0, 0));
    EXPECT_EQ(left[1], std::make_tuple(8, 3, 3));
    EXPECT_EQ(op.messageTexts(), QStringList{"Tüm Yöneticiler İptal Edildi...."});
    EXPECT_EQ(op.messages[0].title, applicationTitle());
    EXPECT_EQ(op.busyDepth, 0);
    EXPECT_EQ(device->lockHolder(), 0);
}

TEST_F(Clearing, RefusedDeletionKeepsPrivilegeZeroAndTheWarningCountsIt) {
    struct Case {
        const char* name;
        std::set<int> refusedEnrolls; // the terminal refuses to delete these
        int deleted;
        std::vector<std::tuple<int, int, int>> left;
    };
    const Case cases[] = {
        {"every deletion refused", {1, 2, 3}, 0, {{1, 0, 0}, {2, 0, 0}, {3, 0, 0}, {4, 0, 0}}},
        {"one of three refused", {2}, 2, {{2, 0, 0}, {4, 0, 0}}},
    };
    for (const Case& c : cases) {
        device->mutableState().enrollments = {enrollment(1, 0, 1), enrollment(2, 0, 2),
                                              enrollment(3, 0, 1), enrollment(4, 0, 0)};
        device->setRequestObserver([&](const wire::Message& rq) {
            if (rq.op != wire::Op::DeleteEnrollData) return;
            if (c.refusedEnrolls.count(rq.intAt(1)))
                device->faults().failOps["DeleteEnrollData"] = ERR_NON_CARRYOUT;
            else
                device->faults().failOps.erase("DeleteEnrollData");
        });
        op = RecordingOperator();
        const AdminClearResult r = clearAdministrators(clock, 1, data, op);
        device->setRequestObserver(nullptr);
        EXPECT_EQ(r.deleted, c.deleted) << c.name;
        EXPECT_EQ(r.refused, int(c.refusedEnrolls.size())) << c.name;
        EXPECT_FALSE(r.complete()) << c.name;
        // A refused administrator stays on the terminal, without its rights.
        EXPECT_EQ(onTerminal(), c.left) << c.name;
        ASSERT_EQ(op.messages.size(), 1u) << c.name;
        EXPECT_EQ(op.messages[0].text,
                  administratorsRemainText(int(c.refusedEnrolls.size()), "ERR_NON_CARRYOUT"))
            << c.name;
        EXPECT_TRUE(op.messages[0].text.startsWith(QString::number(c.refusedEnrolls.size())))
            << c.name;
        EXPECT_EQ(op.messages[0].icon, Operator::Icon::Warning) << c.name;
        EXPECT_EQ(device->lockHolder(), 0) << c.name;
    }
}

TEST_F(Clearing, RefusedLocksEndAdminSilSilentlyAndLeaveTheTerminalFree) {
    // Refused at once: the table is emptied all the same.
    execSql(data, "insert into ENROLLINFO values ('000', '00001', '001', '00', '1', '1')");
    device->mutableState().enrollments = {enrollment(1, 0, 1), enrollment(2, 0, 1)};
    device->faults().failOps["EnableDevice"] = ERR_NON_CARRYOUT;
    AdminClearResult r = clearAdministrators(clock, 1, data, op);
    EXPECT_FALSE(r.reached);
    EXPECT_TRUE(enrollInfo().empty());
    EXPECT_EQ(onTerminal().size(), 2u);

    // Refused before the second administrator: the first is gone, nothing
    // is said, and no lock is left behind.
    device->faults().failOps.clear();
    op = RecordingOperator();
    int locks = 0;
    device->setRequestObserver([&](const wire::Message& rq) {
        // The third lock: after the list and the first administrator.
        if (rq.op == wire::Op::EnableDevice && rq.intAt(1) == 0 && ++locks == 3)
            device->faults().failOps["EnableDevice"] = ERR_NON_CARRYOUT;
    });
    r = clearAdministrators(clock, 1, data, op);
    device->setRequestObserver(nullptr);
    EXPECT_EQ(locks, 3);
    EXPECT_EQ(r.deleted, 1);
    EXPECT_TRUE(r.lockLost);
    EXPECT_EQ(onTerminal(), (std::vector<std::tuple<int, int, int>>{{2, 0, 1}}));
    EXPECT_TRUE(op.messages.empty());
    EXPECT_EQ(op.busyDepth, 0);
    EXPECT_EQ(device->lockHolder(), 0);
}

TEST_F(Clearing, DatabaseErrorReleasesEverythingAndKeepsNoHalfList) {
    execSql(data, "drop table ENROLLINFO");
    execSql(data, "create table ENROLLINFO (No TEXT, EnNo TEXT check (EnNo <> '00002'), "
                  "EMNo TEXT, Fp TEXT, Priv TEXT, Enable TEXT) strict");
    device->mutableState().enrollments = {enrollment(1, 0, 1), enrollment(2, 0, 1)};
    EXPECT_THROW(clearAdministrators(clock, 1, data, op), AppError);
    EXPECT_TRUE(enrollInfo().empty());
    EXPECT_EQ(onTerminal().size(), 2u);
    EXPECT_EQ(op.busyDepth, 0);
    EXPECT_EQ(device->lockHolder(), 0);
}

TEST_F(Clearing, DeleteAllFingerprintsAsksFirst) {
    device->mutableState().enrollments = {enrollment(1, 0, 0), enrollment(2, 11, 0)};
    device->mutableState().names = {{1, "AYSE"}};

    op.answers = {false};
    EXPECT_EQ(clearAllFingerprints(clock, 1, op).outcome, FingerprintClearOutcome::Declined);
    EXPECT_EQ(
        op.questions,
        QStringList{"UYARI: Seçili Terminaldeki Tüm Parmakizlerini Silmek İstiyor musunuz...?"});
    EXPECT_EQ(device->state().enrollments.size(), 2u);

    device->faults().failOps["EmptyEnrollData"] = ERR_MEMORY;
    op = RecordingOperator();
    const FingerprintClearResult refused = clearAllFingerprints(clock, 1, op);
    EXPECT_EQ(refused.outcome, FingerprintClearOutcome::Refused);
    EXPECT_EQ(refused.errorName, "ERR_MEMORY");
    EXPECT_TRUE(op.messages.empty());
    EXPECT_EQ(device->state().enrollments.size(), 2u);
    EXPECT_EQ(device->lockHolder(), 0);

    device->faults().failOps.clear();
    op = RecordingOperator();
    EXPECT_EQ(clearAllFingerprints(clock, 1, op).outcome, FingerprintClearOutcome::Cleared);
    EXPECT_EQ(op.messageTexts(), QStringList{"tamamlandı"});
    EXPECT_TRUE(device->state().enrollments.empty());
    EXPECT_TRUE(device->state().names.empty());
    EXPECT_EQ(op.busyCount, 0);
    EXPECT_EQ(device->lockHolder(), 0);
}

} // namespace
