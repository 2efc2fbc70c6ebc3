// A batch on disk that its terminal did not confirm is found again by that
// terminal, and only by it: not by another terminal on the same machine
// number, not after sixteen other batches, and not lost when the terminal's
// identity changed meanwhile. After the next runs every record is in
// veri.txt, veri2.txt and the monthly file exactly once.

#include "core/Database.h"
#include "core/IniFile.h"
#include "core/testing/ExactlyOnce.h"
#include "core/testing/TestFiles.h"
#include "terminal/DeviceState.h"
#include "terminal/testing/EmulatorProcess.h"

#include <QDir>
#include <QHash>
#include <QProcess>
#include <QTemporaryDir>

#include <functional>
#include <memory>
#include <vector>
#include <gtest/gtest.h>

namespace {

// A record is its enroll number, time and mode: a terminal whose machine
// number changed writes it with another machine number, and that would
// still be the same punch twice.
QByteArray withoutMachineNumber(const QByteArray& line) {
    QList<QByteArray> fields = line.split(' ');
    if (fields.size() == 5) fields.removeAt(3);
    return fields.join(' ');
}

struct Outcome {
    int code = -1;
    QString out, err;
};

// One emulated terminal with records of its own: enroll numbers from
// firstEnroll, so that every record of every gate has its own line.
struct Gate {
    QString name;
    int firstEnroll = 1;
    int records = 0;
    int machine = 1;
    QString serial;
    int newMark = 0;
    QString state;
    int port = 0; // kept over restarts: the terminal stays at its address
    std::unique_ptr<EmulatorProcess> emulator = std::make_unique<EmulatorProcess>();
};

class TerminalIdentity : public ::testing::Test {
  protected:
    void SetUp() override {
        createDatabaseFromSchema(programDir() + "Data.mdb", "Data.sql");
        writeProfileString(programDir() + "Settings.ini", "Options", "veriDosya2", "1");
    }

    Gate& gate(const QString& name, int firstEnroll, int records, QString serial) {
        gates.push_back(std::make_unique<Gate>());
        Gate& g = *gates.back();
        g.name = name, g.firstEnroll = firstEnroll, g.records = records;
        g.serial = std::move(serial);
        return g;
    }

    // Starts (or starts again) the gate's emulator; extra: faults such as
    // "--drop-after N" for this start only.
    void start(Gate& g, QStringList extra = {}) {
        g.state = dir.filePath(g.name + ".json");
        if (!QFile::exists(g.state)) {
            DeviceState state;
            for (int i = 0; i < g.records; ++i)
                state.logs.push_back(LogRecord{g.firstEnroll + i, 0, 2024, 3, 5, 9, i % 60});
            state.newMark = g.newMark;
            QString error;
            ASSERT_TRUE(saveDeviceState(state, g.state, &error)) << error.toStdString();
        }
        g.emulator->stop();
        QStringList args{"--state", g.state, "--machine", QString::number(g.machine)};
        if (!g.serial.isEmpty()) args << "--serial" << g.serial;
        if (g.port != 0) args << "--listen" << QStringLiteral("127.0.0.1:%1").arg(g.port);
        QString error;
        ASSERT_TRUE(g.emulator->start(args + extra, &error)) << error.toStdString();
        g.port = g.emulator->port();
        listGates();
    }

    // The terminal list as the operator keeps it: every gate at its address.
    void listGates() {
        QSqlDatabase db = openDatabaseFile("identity-test", programDir() + "Data.mdb");
        execSql(db, "delete from Terminal");
        for (const auto& g : gates)
            if (g->port != 0)
                execSql(db,
                        "insert into Terminal (TerminalNo, Terminal, Tip, ComPort, ComBaud, Ip, "
                        "NetPort, Sifre) values (?, ?, 'ethernet', '', '', '127.0.0.1', ?, 0)",
                        {g->machine, g->name, g->port});
        db.close();
        db = QSqlDatabase();
        QSqlDatabase::removeDatabase("identity-test");
    }

    Outcome transferFrom(const Gate& g) {
        QProcess p;
        p.start(QStringLiteral(V270_PROGRAM),
                {"--dir", dir.path(), "transfer", "--terminal", g.name});
        EXPECT_TRUE(p.waitForFinished(120000));
        Outcome r;
        r.code = p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1;
        r.out = QString::fromUtf8(p.readAllStandardOutput());
        r.err = QString::fromUtf8(p.readAllStandardError());
        return r;
    }

    // Each record of every gate once in veri.txt, in veri2.txt and in the
    // monthly files, and no other line. A record is its enroll number, time
    // and mode: a terminal whose machine number changed writes it with
    // another machine number, and that would still be the same punch twice.
    ::testing::AssertionResult everyRecordOnce() {
        QList<QByteArray> expected;
        for (const auto& g : gates)
            for (int i = g->newMark; i < g->records; ++i)
                expected << QStringLiteral("%1 05/03/2024 09:%2:00 01\r\n")
                                .arg(g->firstEnroll + i, 5, 10, QChar('0'))
                                .arg(i % 60, 2, 10, QChar('0'))
                                .toLatin1();
        const ExactlyOnceReport report =
            checkExactlyOnce(DeliveredFiles{programDir()}, expected, withoutMachineNumber);
        if (report.ok()) return ::testing::AssertionSuccess();
        return ::testing::AssertionFailure() << report.text().toStdString();
    }

    QString programDir() const { return dir.path() + '/'; }

    QTemporaryDir dir;
    std::vector<std::unique_ptr<Gate>> gates;
};

// A terminal that can't tell its serial number is known by its address,
// not matched to whichever terminal comes next on its machine number.
TEST_F(TerminalIdentity, TerminalWithoutSerialKeepsItsBatchFromTheNextTerminal) {
    Gate& a = gate("Giriş", 1, 3000, "");
    Gate& b = gate("Çıkış", 50001, 500, "EMU-CIKIS");
    const QStringList noSerial{"--fail", "GetSerialNumber=4"};
    start(a, noSerial + QStringList{"--drop-after", "3000"});
    start(b);
    EXPECT_EQ(transferFrom(a).code, 3); // on disk, not confirmed
    EXPECT_EQ(transferFrom(b).code, 0);
    start(a, noSerial);
    const Outcome again = transferFrom(a);
    EXPECT_EQ(again.code, 0) << again.err.toStdString();
    EXPECT_TRUE(everyRecordOnce());
}

// Seventeen batches on disk and none confirmed: the journal remembers them
// all, the first as well as the last.
TEST_F(TerminalIdentity, SeventeenUnconfirmedBatchesAreAllRemembered) {
    constexpr int kGates = 17;
    for (int i = 0; i < kGates; ++i)
        gate(QStringLiteral("Kapı %1").arg(i + 1), 1 + 1000 * i, 500,
             QStringLiteral("EMU-KAPI-%1").arg(i + 1));
    for (auto& g : gates)
        start(*g, {"--drop-after", "500"});
    for (auto& g : gates)
        EXPECT_EQ(transferFrom(*g).code, 3) << g->name.toStdString();
    for (auto& g : gates)
        start(*g);
    for (auto& g : gates)
        EXPECT_EQ(transferFrom(*g).code, 0) << g->name.toStdString();
    EXPECT_TRUE(everyRecordOnce());
}

// After a batch the terminal did not confirm, the terminal's identity
// changes; the next run still writes none of the batch's records twice.
TEST_F(TerminalIdentity, ChangedIdentityWritesNoRecordTwice) {
    const struct {
        const char* what;
        std::function<void(Gate& first, Gate& second)> change;
    } cases[] = {
        {"a second terminal with the same serial and machine number",
         [](Gate&, Gate& second) { second.serial = "EMU-GIRIS"; }},
        {"the serial number changed", [](Gate& first, Gate&) { first.serial = "EMU-YENI"; }},
        {"the machine number changed on the terminal and its row",
         [](Gate& first, Gate&) { first.machine = 7; }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        gates.clear();
        ASSERT_TRUE(QDir(dir.path()).removeRecursively() && QDir().mkpath(dir.path()));
        SetUp();
        Gate& first = gate("Giriş", 1, 3000, "EMU-GIRIS");
        Gate& second = gate("Çıkış", 50001, 2000, "EMU-CIKIS");
        start(first, {"--drop-after", "3000"});
        EXPECT_EQ(transferFrom(first).code, 3);
        c.change(first, second);
        start(first);
        start(second);
        for (Gate* g : {&second, &first}) {
            const Outcome r = transferFrom(*g);
            EXPECT_EQ(r.code, 0) << g->name.toStdString() << ": " << r.err.toStdString();
        }
        EXPECT_TRUE(everyRecordOnce());
    }
}

// Another terminal took the address of one whose batch is not confirmed,
// and its new records start inside that batch: the records that would tell
// are gone, so nothing is written and the message names both terminals.
TEST_F(TerminalIdentity, BatchThatCannotBeToldIsRefusedWithExit3) {
    Gate& first = gate("Giriş", 1, 3000, "EMU-ESKI");
    start(first, {"--drop-after", "3000"});
    EXPECT_EQ(transferFrom(first).code, 3);
    const QByteArray before = readFile(programDir() + "veri.txt");

    first.emulator->stop();
    ASSERT_TRUE(QFile::remove(first.state));
    first.serial = "EMU-YENI";
    first.newMark = 1000;
    start(first);
    const Outcome refused = transferFrom(first);
    EXPECT_EQ(refused.code, 3);
    EXPECT_TRUE(refused.err.contains("seri EMU-ESKI") && refused.err.contains("seri EMU-YENI"))
        << refused.err.toStdString();
    EXPECT_EQ(readFile(programDir() + "veri.txt"), before);
}

} // namespace
