// The history of transfers: every transfer and full download leaves one
// entry, also when it fails; a line cut short by a kill never spoils the
// next; a month's entries go into the month's file; a history that can't be
// written never fails the transfer.

#include "transfer/TransferHistory.h"

#include "core/AppError.h"
#include "core/DirectoryLock.h"
#include "core/testing/RecordingOperator.h"
#include "core/testing/TestFiles.h"
#include "terminal/DeviceModel.h"
#include "terminal/TFP_CLOCK.h"
#include "transfer/AllTerminalsDialog.h"
#include "transfer/HistoryWindow.h"
#include "transfer/TransferCommands.h"

#include <QApplication>
#include <QFile>
#include <QLabel>
#include <QPushButton>
#include <QTableWidget>
#include <QTemporaryDir>

#include <optional>
#include <gtest/gtest.h>

namespace {

const QDate kStart(2024, 3, 31);

HistoryEntry entryAt(const QDateTime& time, const QString& terminal, long long records) {
    HistoryEntry e;
    e.time = time;
    e.terminal = terminal;
    e.serial = "EMU01";
    e.machine = 1;
    e.address = "127.0.0.1:5005";
    e.command = kHistoryTransfer;
    e.records = records;
    e.files = QStringList{"veri.txt"};
    e.result = records > 0 ? HistoryResult::Ok : HistoryResult::NothingNew;
    e.durationMs = 12;
    return e;
}

class History : public ::testing::Test {
  protected:
    void SetUp() override {
        device = std::make_shared<DeviceModel>(DeviceState{});
        clock.setInProcessDevice(device);
        ASSERT_TRUE(clock.OpenCommPort(1));
    }
    void addRecords(int n) {
        for (int i = 0; i < n; ++i)
            device->mutableState().logs.push_back(LogRecord{100 + i, 0, 2024, 3, 5, 8, i % 60});
    }
    void append(const HistoryEntry& e) {
        const auto lock = DirectoryLock::tryAcquire(programDir());
        ASSERT_TRUE(lock);
        appendHistory(*lock, e);
    }
    std::vector<HistoryEntry> entries() {
        return readHistory(programDir(), QDate::currentDate().addDays(-1));
    }
    QString programDir() const { return dir.path() + '/'; }

    QTemporaryDir dir;
    std::shared_ptr<DeviceModel> device;
    TFP_CLOCK clock;
    RecordingOperator op;
};

TEST_F(History, EachTransferAndFullDownloadLeavesOneEntry) {
    addRecords(3);
    EXPECT_EQ(transferNewRecords(clock, 1, programDir(), false, op, kStart, "Giriş").records, 3);
    EXPECT_EQ(transferNewRecords(clock, 1, programDir(), false, op, kStart, "Giriş").outcome,
              TransferOutcome::NoRecords);
    device->faults().failOps["EnableDevice"] = ERR_NON_CARRYOUT;
    EXPECT_EQ(transferNewRecords(clock, 1, programDir(), false, op, kStart, "Giriş").outcome,
              TransferOutcome::NoDevice);
    device->faults().failOps.clear();
    EXPECT_EQ(downloadAllRecords(clock, 1, programDir(), true, FullDownload::KeepSilently, op,
                                 kStart, "Giriş")
                  .records,
              3);

    const std::vector<HistoryEntry> got = entries();
    ASSERT_EQ(got.size(), 4u);
    EXPECT_EQ(got[0].command, "aktarim");
    EXPECT_EQ(got[0].result, HistoryResult::Ok);
    EXPECT_EQ(got[0].records, 3);
    EXPECT_EQ(got[0].files, (QStringList{"veri.txt", "yedek_V270/032024.txt"}));
    EXPECT_EQ(got[0].terminal, "Giriş");
    EXPECT_EQ(got[0].machine, 1);
    EXPECT_FALSE(got[0].serial.isEmpty());
    EXPECT_EQ(got[0].exitCode, 0);
    EXPECT_EQ(got[1].result, HistoryResult::NothingNew);
    EXPECT_TRUE(got[1].files.isEmpty());
    EXPECT_EQ(got[2].result, HistoryResult::Failed);
    EXPECT_EQ(got[2].message, "terminal kilitlenemedi");
    EXPECT_EQ(got[2].exitCode, 1);
    EXPECT_EQ(got[3].command, "tam-indirme");
    EXPECT_EQ(got[3].files, (QStringList{"veri.txt", "yedek_K19/032024.txt", "veri2.txt"}));
    for (const HistoryEntry& e : got)
        EXPECT_GE(e.durationMs, 0);
}

// A kill in the middle of an append leaves a line without its end: it is
// skipped, and the next entry starts a line of its own.
TEST_F(History, TornLastLineIsSkippedAndTheNextAppendStaysWhole) {
    const QDateTime now = QDateTime::currentDateTime();
    append(entryAt(now, "Giriş", 5));
    const QString path = programDir() + historyFileName(now.date());
    const QByteArray whole = historyLine(entryAt(now, "Depo", 7));
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::Append));
    file.write(whole.left(whole.size() / 2));
    file.close();
    ASSERT_EQ(entries().size(), 1u);

    append(entryAt(now, "Yemekhane", 9));
    const std::vector<HistoryEntry> got = entries();
    ASSERT_EQ(got.size(), 2u);
    EXPECT_EQ(got[1], entryAt(now, "Yemekhane", 9));
    EXPECT_TRUE(readFile(path).endsWith("\n" + historyLine(entryAt(now, "Yemekhane", 9))));
}

TEST_F(History, LinesThatAreNoEntryAreSkipped) {
    const QDateTime now = QDateTime::currentDateTime();
    const QByteArray good = historyLine(entryAt(now, "Giriş", 5));
    QByteArray noResult = good;
    noResult.replace("\"result\":\"ok\"", "\"result\":\"belki\"");
    QByteArray negative = good;
    negative.replace("\"records\":5", "\"records\":-5");
    writeFile(programDir() + historyFileName(now.date()),
              "\n{}\n[1,2]\n\xff\xfe\n" + noResult + negative + good + QByteArray(100000, 'x') +
                  "\n" + good);
    EXPECT_EQ(entries().size(), 2u);
}

TEST_F(History, EachMonthInItsOwnFileAndSinceReadsFromItsDay) {
    const QDateTime november(QDate(2026, 11, 30), QTime(23, 59));
    const QDateTime december(QDate(2026, 12, 1), QTime(0, 1));
    const QDateTime later(QDate(2026, 12, 11), QTime(12, 5));
    append(entryAt(november, "Giriş", 1));
    append(entryAt(december, "Giriş", 2));
    append(entryAt(later, "Giriş", 3));
    EXPECT_EQ(readFile(programDir() + "gecmis-202611.jsonl"),
              historyLine(entryAt(november, "Giriş", 1)));
    EXPECT_EQ(readFile(programDir() + "gecmis-202612.jsonl").count('\n'), 2);

    const struct {
        QDate since;
        std::vector<long long> records;
    } cases[] = {
        {QDate(2026, 11, 1), {1, 2, 3}},
        {QDate(2026, 12, 1), {2, 3}},
        {QDate(2026, 12, 2), {3}},
        {QDate(2026, 12, 12), {}},
    };
    for (const auto& c : cases) {
        std::vector<long long> records;
        for (const HistoryEntry& e : readHistory(programDir(), c.since, QDate(2026, 12, 31)))
            records.push_back(e.records);
        EXPECT_EQ(records, c.records) << c.since.toString(Qt::ISODate).toStdString();
    }
}

// The month's file is the program's own: a link in its place is refused,
// told as a warning, and the records stay delivered.
TEST_F(History, AHistoryThatCantBeWrittenNeverFailsTheTransfer) {
    addRecords(2);
    const QString path = programDir() + historyFileName(QDate::currentDate());
    writeFile(dir.filePath("elsewhere"), "");
    ASSERT_TRUE(QFile::link(dir.filePath("elsewhere"), path));
    const TransferResult r = transferNewRecords(clock, 1, programDir(), false, op, kStart, "Giriş");
    EXPECT_EQ(r.outcome, TransferOutcome::Transferred);
    EXPECT_EQ(readFile(programDir() + "veri.txt").count("\r\n"), 2);
    EXPECT_EQ(device->state().newMark, 2);
    ASSERT_FALSE(op.messages.empty());
    EXPECT_TRUE(op.messages.back().text.contains(historyFileName(QDate::currentDate())))
        << op.messages.back().text.toStdString();
    EXPECT_EQ(op.messages.back().icon, Operator::Icon::Warning);
    EXPECT_EQ(readFile(dir.filePath("elsewhere")), "");
}

// "Geçmiş": newest first, a failure marked by colour and icon, and every
// control named for the tests and for a screen reader.
TEST_F(History, WindowShowsTheNewestFirstAndMarksFailures) {
    static int argc = 1;
    static char name[] = "transfer_tests";
    static char* argv[] = {name, nullptr};
    qputenv("QT_QPA_PLATFORM", "offscreen");
    // Gone before the program's exit, when Qt's own clean-up would crash it.
    std::optional<QApplication> app;
    if (!qApp) app.emplace(argc, argv);

    const QDateTime now = QDateTime::currentDateTime();
    append(entryAt(now.addSecs(-60), "Giriş", 5));
    HistoryEntry failed = entryAt(now, "Yemekhane", 0);
    failed.result = HistoryResult::Failed;
    failed.message = "bağlanamadı: terminal yanıt vermedi";
    append(failed);

    HistoryWindow window(programDir());
    ASSERT_EQ(window.gridHistory->rowCount(), 2);
    const auto text = [&](int row, int column) {
        return window.gridHistory->item(row, column)->text();
    };
    EXPECT_EQ(text(0, HistoryWindow::kTerminalColumn), "Yemekhane");
    EXPECT_EQ(text(0, HistoryWindow::kResultColumn), "HATA");
    EXPECT_EQ(text(0, HistoryWindow::kMessageColumn), failed.message);
    EXPECT_EQ(text(1, HistoryWindow::kTerminalColumn), "Giriş");
    EXPECT_EQ(text(1, HistoryWindow::kRecordsColumn), "5");
    EXPECT_EQ(window.gridHistory->item(0, 0)->background().color(), failedRowColour());
    EXPECT_FALSE(window.gridHistory->item(0, HistoryWindow::kResultColumn)->icon().isNull());
    EXPECT_NE(window.gridHistory->item(1, 0)->background().color(), failedRowColour());
    EXPECT_TRUE(window.gridHistory->item(1, HistoryWindow::kResultColumn)->icon().isNull());
    for (QWidget* control : std::initializer_list<QWidget*>{
             window.gridHistory, window.refreshButton, window.closeButton}) {
        EXPECT_FALSE(control->objectName().isEmpty());
        EXPECT_FALSE(control->accessibleName().isEmpty()) << control->objectName().toStdString();
    }
    // The summary's text is its name for a screen reader; what it is, its description.
    EXPECT_FALSE(window.lblSummary->accessibleDescription().isEmpty());
}

} // namespace
