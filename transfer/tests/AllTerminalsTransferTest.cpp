// "Tüm Terminallerden Aktar" stopped while a terminal hangs: the stop
// reaches the request in flight, the terminals not started are skipped, and
// the run ends long before a request's own time limit.

#include "transfer/AllTerminalsTransfer.h"

#include "core/testing/TestProgramDir.h"
#include "transfer/AllTerminalsDialog.h"
#include "transfer/TransferHistory.h"

#include <QApplication>
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QHostAddress>
#include <QPushButton>
#include <QSqlField>
#include <QSqlRecord>
#include <QTableWidget>
#include <QTcpServer>
#include <QThread>

#include <optional>
#include <gtest/gtest.h>

namespace {

QSqlRecord terminalRow(const QString& name, quint16 port) {
    QSqlRecord row;
    const std::pair<const char*, QVariant> values[] = {
        {"TerminalNo", 1}, {"Terminal", name},  {"Tip", "ethernet"}, {"ComPort", ""},
        {"ComBaud", ""},   {"Ip", "127.0.0.1"}, {"NetPort", port},   {"Sifre", 0},
    };
    for (const auto& [column, value] : values) {
        QSqlField field(QString::fromLatin1(column), value.metaType());
        field.setValue(value);
        row.append(field);
    }
    return row;
}

TEST(AllTerminalsTransfer, StopLetsGoOfAHungTerminalAndSkipsTheRest) {
    const TestProgramDir files;
    // Connections are taken by the system's backlog and never answered.
    QTcpServer silent;
    ASSERT_TRUE(silent.listen(QHostAddress::LocalHost));
    std::vector<QSqlRecord> rows;
    for (const char* name : {"Giriş", "Yemekhane", "Depo"})
        rows.push_back(terminalRow(QString::fromUtf8(name), silent.serverPort()));
    AllTerminalsTransfer run(rows, files.dir(), files.path("Settings.ini"), false, 1);
    run.start();
    QElapsedTimer waited;
    waited.start();
    while (run.snapshot()[0].stage == AllTerminalsTransfer::Stage::Waiting &&
           waited.elapsed() < 5000)
        QThread::msleep(5);
    QThread::msleep(500); // its first request is on its way and hangs

    QElapsedTimer stopping;
    stopping.start();
    run.requestCancel();
    while (!run.finished() && stopping.elapsed() < 20000)
        QThread::msleep(5);
    // A connection's own limit is 5 s, a request's 10 s; the stop must not
    // wait for them.
    EXPECT_LT(stopping.elapsed(), 3000);
    QStringList results;
    for (const AllTerminalsTransfer::Row& row : run.snapshot())
        results << row.name + ": " + AllTerminalsTransfer::resultText(row);
    EXPECT_EQ(results,
              (QStringList{QStringLiteral("Giriş: Bağlanamadı"),
                           QStringLiteral("Yemekhane: Atlandı"), QStringLiteral("Depo: Atlandı")}));
}

// A terminal nothing answers for: its row says where it was looked for and
// why it failed, and the run leaves it in the history.
TEST(AllTerminalsTransfer, ATerminalOutOfReachIsMarkedAndRemembered) {
    const TestProgramDir files;
    AllTerminalsTransfer run({terminalRow("Yemekhane", 1)}, files.dir(), files.path("Settings.ini"),
                             false, 1);
    run.start();
    QElapsedTimer waited;
    waited.start();
    while (!run.finished() && waited.elapsed() < 20000)
        QThread::msleep(5);
    ASSERT_TRUE(run.finished());
    const AllTerminalsTransfer::Row row = run.snapshot()[0];
    EXPECT_TRUE(AllTerminalsTransfer::failed(row));
    EXPECT_EQ(row.address, "127.0.0.1:1");
    EXPECT_TRUE(row.message.contains("Yemekhane (127.0.0.1:1)")) << row.message.toStdString();

    const std::vector<HistoryEntry> history = readHistory(files.dir(), QDate::currentDate());
    ASSERT_EQ(history.size(), 1u);
    EXPECT_EQ(history[0].terminal, "Yemekhane");
    EXPECT_EQ(history[0].address, "127.0.0.1:1");
    EXPECT_EQ(history[0].result, HistoryResult::Failed);
    EXPECT_EQ(history[0].exitCode, 2);
    EXPECT_FALSE(history[0].message.isEmpty());
}

// The window shows the failed row's address and reason in columns of their
// own, and marks the row by colour and icon.
TEST(AllTerminalsDialog, AFailedRowShowsWhereAndWhy) {
    static int argc = 1;
    static char name[] = "transfer_tests";
    static char* argv[] = {name, nullptr};
    qputenv("QT_QPA_PLATFORM", "offscreen");
    // Gone before the program's exit, when Qt's own clean-up would crash it.
    std::optional<QApplication> app;
    if (!qApp) app.emplace(argc, argv);

    const TestProgramDir files;
    AllTerminalsDialog dialog(
        std::make_unique<AllTerminalsTransfer>(std::vector<QSqlRecord>{terminalRow("Yemekhane", 1)},
                                               files.dir(), files.path("Settings.ini"), false, 1));
    dialog.show();
    QElapsedTimer waited;
    waited.start();
    while (!dialog.closeButton->isEnabled() && waited.elapsed() < 20000) {
        QCoreApplication::processEvents();
        QThread::msleep(5);
    }
    ASSERT_TRUE(dialog.closeButton->isEnabled());
    QTableWidget* grid = dialog.gridTerminals;
    EXPECT_EQ(grid->item(0, AllTerminalsDialog::kAddressColumn)->text(), "127.0.0.1:1");
    const QString reason = grid->item(0, AllTerminalsDialog::kReasonColumn)->text();
    EXPECT_TRUE(reason.startsWith("Yemekhane (127.0.0.1:1): ")) << reason.toStdString();
    EXPECT_FALSE(reason.contains('\n'));
    EXPECT_FALSE(grid->item(0, AllTerminalsDialog::kNameColumn)->icon().isNull());
    EXPECT_EQ(grid->item(0, AllTerminalsDialog::kResultColumn)->background().color(),
              failedRowColour());
}

} // namespace
