// The maintenance and bell commands lock and release the terminal; run in
// the middle of a transfer (from its event pumping, as an operator pressing
// their buttons would), they must not mark the transfer's records as taken.
// Only the transfer itself may do that, once its lines are on disk.

#include "bells/BellSchedule.h"
#include "core/Database.h"
#include "core/testing/RecordingOperator.h"
#include "core/testing/TestFiles.h"
#include "maintenance/ClearingCommands.h"
#include "maintenance/ClockCommands.h"
#include "terminal/DeviceModel.h"
#include "terminal/TFP_CLOCK.h"
#include "transfer/TransferCommands.h"

#include <QTemporaryDir>

#include <functional>
#include <gtest/gtest.h>

namespace {

using Command = std::function<void(TFP_CLOCK&, const QSqlDatabase&, Operator&)>;

// Runs `during` once, when the transfer has shown its last record.
struct TransferOperator : RecordingOperator {
    long long at = 0;
    std::function<void()> during;
    void showCount(long long c) override {
        RecordingOperator::showCount(c);
        if (c == at && during) std::exchange(during, nullptr)();
    }
};

TEST(CommandsDuringTransfer, NewRecordMarkMovesOnlyWithTheTransfer) {
    const std::pair<const char*, Command> commands[] = {
        {"Tarih-Saat Ayarla",
         [](TFP_CLOCK& c, const QSqlDatabase&, Operator& op) { setDeviceClock(c, 1, op); }},
        {"Tarih-Saat Oku",
         [](TFP_CLOCK& c, const QSqlDatabase&, Operator& op) { readDeviceClock(c, 1, op); }},
        {"Admin Sil", [](TFP_CLOCK& c, const QSqlDatabase& db,
                         Operator& op) { clearAdministrators(c, 1, db, op); }},
        {"Tüm Parmakizlerini Sil",
         [](TFP_CLOCK& c, const QSqlDatabase&, Operator& op) { clearAllFingerprints(c, 1, op); }},
        {"Zil Saatlerini Oku",
         [](TFP_CLOCK& c, const QSqlDatabase&, Operator& op) {
             BellSchedule s;
             PlainBellForm f(s.clear());
             s.read(c, 1, f, op);
         }},
        {"Zil Saatlerini Gönder",
         [](TFP_CLOCK& c, const QSqlDatabase&, Operator& op) {
             BellSchedule s;
             PlainBellForm f(s.clear());
             s.send(c, 1, f, op);
         }},
    };
    for (const auto& [name, command] : commands) {
        SCOPED_TRACE(name);
        QTemporaryDir dir;
        createDatabaseFromSchema(dir.filePath("Data.mdb"), "Data.sql");
        QSqlDatabase db = openDatabaseFile("during-transfer", dir.filePath("Data.mdb"));

        DeviceState state;
        for (int i = 0; i < 3; ++i)
            state.logs.push_back(LogRecord{100 + i, 0, 2024, 3, 5, 8, i});
        Enrollment admin;
        admin.enroll = 7;
        admin.privilege = 1;
        state.enrollments = {admin};
        auto device = std::make_shared<DeviceModel>(state);
        TFP_CLOCK clock;
        clock.setInProcessDevice(device);
        ASSERT_TRUE(clock.OpenCommPort(1));

        TransferOperator op;
        RecordingOperator commandOp;
        int32_t markAfterCommand = -1;
        op.at = 3;
        op.during = [&] {
            command(clock, db, commandOp);
            markAfterCommand = device->state().newMark;
        };
        const TransferResult r =
            transferNewRecords(clock, 1, dir.path() + '/', false, op, QDate(2024, 3, 31));
        EXPECT_EQ(markAfterCommand, 0) << "the command marked the transfer's records as taken";
        EXPECT_EQ(r.outcome, TransferOutcome::Transferred);
        EXPECT_EQ(readFile(dir.filePath("veri.txt")).count("\r\n"), 3);
        EXPECT_EQ(device->state().newMark, 3) << "the transfer itself marks them, once stored";
        EXPECT_EQ(device->lockHolder(), 0);

        db.close();
        db = QSqlDatabase();
        QSqlDatabase::removeDatabase("during-transfer");
    }
}

} // namespace
