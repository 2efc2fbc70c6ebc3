#include "transfer/TransferCommands.h"

#include "core/AppError.h"
#include "core/testing/RecordingOperator.h"
#include "core/testing/SilentOperator.h"
#include "core/testing/TestFiles.h"
#include "session/DeviceBracket.h"
#include "terminal/DeviceModel.h"
#include "terminal/TFP_CLOCK.h"
#include "terminal/testing/EmulatorProcess.h"
#include "transfer/DataFiles.h"
#include "transfer/MemoryCard.h"

#include <QDir>
#include <QHash>
#include <QTemporaryDir>

#include <algorithm>
#include <csignal>
#include <functional>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <utility>
#include <gtest/gtest.h>

namespace {

const QDate kStart(2024, 3, 31); // the backup file stays 032024.txt whatever the clock says

// Record i of a test terminal: enroll 100+i on 5 March 2024, mode word varying.
LogRecord logRecord(int i, int32_t mode = 0) {
    return LogRecord{100 + i, mode, 2024, 3, 5, 8 + i % 10, i % 60};
}

QByteArray lineFor(int i, const char* mode) {
    return QStringLiteral("%1 05/03/2024 %2:%3:00 01 %4\r\n")
        .arg(100 + i, 5, 10, QChar('0'))
        .arg(8 + i % 10, 2, 10, QChar('0'))
        .arg(i % 60, 2, 10, QChar('0'))
        .arg(QString::fromLatin1(mode))
        .toLatin1();
}

// Every record 0..n-1 exactly once in these files taken together, nothing else.
::testing::AssertionResult eachOnce(const QList<QByteArray>& contents, int n,
                                    const char* mode = "01") {
    QHash<QByteArray, int> seen;
    for (const QByteArray& content : contents) {
        if (!content.isEmpty() && !content.endsWith("\r\n"))
            return ::testing::AssertionFailure() << "ends in a partial line";
        for (const QByteArray& l : content.split('\n'))
            if (!l.isEmpty()) ++seen[l + '\n'];
    }
    for (int i = 0; i < n; ++i) {
        const int times = seen.take(lineFor(i, mode));
        if (times != 1)
            return ::testing::AssertionFailure() << "record " << i << " " << times << "x";
    }
    if (!seen.isEmpty())
        return ::testing::AssertionFailure()
               << seen.size() << " other lines, e.g. " << seen.begin().key().toStdString();
    return ::testing::AssertionSuccess();
}

class Transfer : public ::testing::Test {
  protected:
    void SetUp() override {
        device = std::make_shared<DeviceModel>(DeviceState{});
        clock.setInProcessDevice(device);
        ASSERT_TRUE(clock.OpenCommPort(1));
    }
    void addRecords(int n, int32_t mode = 0) {
        for (int i = 0; i < n; ++i)
            device->mutableState().logs.push_back(logRecord(i, mode));
    }
    QString programDir() const { return dir.path() + '/'; }
    QByteArray file(const QString& name) const { return readFile(programDir() + name); }
    bool exists(const QString& name) const { return QFile::exists(programDir() + name); }

    TransferResult transfer(bool secondFile) {
        return transferNewRecords(clock, 1, programDir(), secondFile, op, kStart);
    }
    TransferResult downloadAll(bool secondFile, FullDownload kind = FullDownload::Keep) {
        return downloadAllRecords(clock, 1, programDir(), secondFile, kind, op, kStart);
    }

    // 3000 new records, and what a transfer of them leaves when it is killed
    // in the middle of writing its first block: lines in the files that the
    // journal does not know yet, the last one cut short in veri.txt.
    void leaveAKilledTransfer() {
        addRecords(3000);
        const pid_t pid = ::fork();
        if (pid == 0) {
            struct Dying : SilentOperator {
                void showCount(long long c) override {
                    if (c == 100) ::_exit(0); // records taken, none written yet
                }
            } dying;
            transferNewRecords(clock, 1, programDir(), true, dying, kStart);
            ::_exit(3);
        }
        int status = 0;
        ::waitpid(pid, &status, 0);
        ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
        ASSERT_EQ(file("veri.txt"), "");
        // What the dying run got out: half a block into veri.txt, the last
        // line cut; less into the monthly file; nothing into veri2.txt.
        QByteArray veri, backup;
        for (int i = 0; i < 50; ++i)
            veri += lineFor(i, "01");
        for (int i = 0; i < 30; ++i)
            backup += lineFor(i, "01");
        writeFile(programDir() + "veri.txt", veri + lineFor(50, "01").left(12));
        writeFile(programDir() + "yedek_V270/032024.txt", backup);
    }

    QTemporaryDir dir;
    std::shared_ptr<DeviceModel> device;
    TFP_CLOCK clock;
    RecordingOperator op;
};

TEST_F(Transfer, NoOneAndManyNewRecords) {
    // None: files created empty, the information box, progress at 0.
    EXPECT_EQ(transfer(false).outcome, TransferOutcome::NoRecords);
    EXPECT_EQ(file("veri.txt"), "");
    EXPECT_EQ(file("yedek_V270/032024.txt"), "");
    ASSERT_EQ(op.messages.size(), 1u);
    EXPECT_EQ(op.messages[0].text, "Cihazdan Alınacak Veri Yok...");
    EXPECT_EQ(op.messages[0].title, "Terminal İşlemleri");
    EXPECT_EQ(op.messages[0].icon, Operator::Icon::Information);
    EXPECT_EQ(op.progress, 0);

    // One.
    op = RecordingOperator();
    addRecords(1);
    const TransferResult one = transfer(false);
    EXPECT_EQ(one.outcome, TransferOutcome::Transferred);
    EXPECT_EQ(file("veri.txt"), lineFor(0, "01"));
    EXPECT_EQ(file("yedek_V270/032024.txt"), lineFor(0, "01"));
    EXPECT_EQ(op.count, 1);
    EXPECT_EQ(op.progress, 1);
    EXPECT_EQ(op.progressMaximum, 1);
    // The closing message, and under it what went where.
    EXPECT_EQ(op.messageTexts(),
              QStringList{"Bilgiler Dosyaya Aktarıldı....\n1 kayıt yazıldı: veri.txt, "
                          "yedek_V270/032024.txt"});
    EXPECT_FALSE(exists("veri2.txt"));
    EXPECT_EQ(op.busyDepth, 0);
    EXPECT_EQ(device->lockHolder(), 0);

    // Many more: appended after the first, in order; only the new ones come.
    op = RecordingOperator();
    device->mutableState().logs.clear();
    addRecords(40, 8);
    device->mutableState().logs[0] = logRecord(0); // already taken
    EXPECT_EQ(transfer(false).records, 39);
    QByteArray expected = lineFor(0, "01");
    for (int i = 1; i < 40; ++i)
        expected += lineFor(i, "02");
    EXPECT_EQ(file("veri.txt"), expected);
    EXPECT_EQ(file("yedek_V270/032024.txt"), expected);
    EXPECT_EQ(op.count, 39);
    // The bar shows done out of the 39 the terminal said it holds.
    const std::vector<int>& p = op.progressHistory;
    ASSERT_EQ(p.size(), 40u);
    EXPECT_EQ((std::vector<int>(p.begin(), p.begin() + 4)), (std::vector<int>{0, 1, 2, 3}));
    EXPECT_EQ(p.back(), 39);
    EXPECT_EQ(op.progressMaximum, 39);

    // Nothing new left.
    EXPECT_EQ(transfer(false).outcome, TransferOutcome::NoRecords);
    EXPECT_EQ(file("veri.txt"), expected);
}

TEST_F(Transfer, SecondFileOptionOnAppendsToVeri2) {
    writeFile(programDir() + "veri.txt", "older\r\n");
    writeFile(programDir() + "veri2.txt", "other\r\n");
    addRecords(3, 1);
    EXPECT_EQ(transfer(true).records, 3);
    const QByteArray lines = lineFor(0, "01") + lineFor(1, "01") + lineFor(2, "01");
    EXPECT_EQ(file("veri.txt"), "older\r\n" + lines);
    EXPECT_EQ(file("veri2.txt"), "other\r\n" + lines);
    EXPECT_EQ(file("yedek_V270/032024.txt"), lines);
}

TEST_F(Transfer, FailuresOfTheTerminal) {
    addRecords(2);
    // Lock refused: no message, nothing read, files untouched.
    device->faults().failOps["EnableDevice"] = ERR_NON_CARRYOUT;
    EXPECT_EQ(transfer(false).outcome, TransferOutcome::NoDevice);
    EXPECT_TRUE(op.messages.empty());
    EXPECT_EQ(file("veri.txt"), "");
    device->faults().failOps.clear();

    // Preparation refused: the error name alone.
    device->faults().failOps["ReadGeneralLogData"] = ERR_NON_CARRYOUT;
    const TransferResult r = transfer(true);
    EXPECT_EQ(r.outcome, TransferOutcome::ReadFailed);
    EXPECT_EQ(op.messageTexts(), QStringList{"ERR_NON_CARRYOUT"});
    EXPECT_EQ(file("veri.txt"), "");
    EXPECT_EQ(file("veri2.txt"), "");
    device->faults().failOps.clear();
    EXPECT_EQ(device->lockHolder(), 0);

    // The records are still new afterwards.
    EXPECT_EQ(transfer(false).records, 2);
}

TEST_F(Transfer, SecondCommandIsRefusedWhileOneWrites) {
    addRecords(2);
    auto running = DirectoryLock::tryAcquire(programDir());
    ASSERT_TRUE(running);
    EXPECT_EQ(transfer(true).outcome, TransferOutcome::Busy);
    EXPECT_EQ(downloadAll(true).outcome, TransferOutcome::Busy);
    const QString busy = directoryBusyText(programDir());
    EXPECT_TRUE(busy.contains(QStringLiteral("başka bir işlem (süreç"))) << busy.toStdString();
    EXPECT_EQ(op.messageTexts(), (QStringList{busy, busy}));
    EXPECT_EQ(op.busyCount, 0);
    EXPECT_TRUE(
        QDir(programDir()).entryList(QDir::Files | QDir::Dirs | QDir::NoDotAndDotDot).isEmpty());
    EXPECT_EQ(device->state().newMark, 0);

    // A command that starts while another runs, from the event loop of the first.
    running.reset();
    struct Reentering : RecordingOperator {
        std::function<void()> during;
        void showCount(long long c) override {
            RecordingOperator::showCount(c);
            if (during) std::exchange(during, nullptr)();
        }
    } outer;
    RecordingOperator inner;
    TFP_CLOCK other;
    outer.during = [&] {
        EXPECT_EQ(
            downloadAllRecords(other, 1, programDir(), false, FullDownload::Keep, inner, kStart)
                .outcome,
            TransferOutcome::Busy);
    };
    EXPECT_EQ(transferNewRecords(clock, 1, programDir(), false, outer, kStart).records, 2);
    ASSERT_EQ(inner.messageTexts().size(), 1);
    EXPECT_TRUE(inner.messageTexts()[0].contains(QStringLiteral("Verileri Aktar (süreç")))
        << inner.messageTexts()[0].toStdString();
    EXPECT_EQ(file("veri.txt"), lineFor(0, "01") + lineFor(1, "01"));
}

TEST_F(Transfer, FullDownloadsUseTheirMappingAndMakeVeri2ACopy) {
    addRecords(2, 1281); // _GoOut, low byte 1
    ASSERT_EQ(transfer(false).records, 2);
    const QByteArray newLines = lineFor(0, "01") + lineFor(1, "01");

    op = RecordingOperator();
    writeFile(programDir() + "veri2.txt", "stale\r\n");
    const TransferResult keep = downloadAll(true, FullDownload::Keep);
    EXPECT_EQ(keep.records, 2);
    const QByteArray allLines = lineFor(0, "02") + lineFor(1, "02");
    EXPECT_EQ(file("veri.txt"), newLines + allLines);
    EXPECT_EQ(file("veri2.txt"), file("veri.txt"));
    EXPECT_EQ(file("yedek_K19/032024.txt"), allLines);
    EXPECT_EQ(file("yedek_V270/032024.txt"), newLines);
    EXPECT_EQ(op.messageHeads(), QStringList{"Bilgiler Dosyaya Aktarıldı...."});
    EXPECT_TRUE(op.messages[0].text.endsWith("yazıldı: veri.txt, yedek_K19/032024.txt, veri2.txt"))
        << op.messages[0].text.toStdString();
    EXPECT_EQ(op.progress, 2);

    // The other item writes the same lines and ends without a word.
    op = RecordingOperator();
    EXPECT_EQ(downloadAll(false, FullDownload::KeepSilently).records, 2);
    EXPECT_TRUE(op.messages.empty());
    EXPECT_EQ(op.progress, 2);
    EXPECT_EQ(file("yedek_K19/032024.txt"), allLines + allLines);
    EXPECT_EQ(file("veri2.txt"), newLines + allLines); // option off: left alone
    EXPECT_EQ(device->state().logs.size(), 2u);        // nothing removed
}

TEST_F(Transfer, FullDownloadCopiesVeri2EvenWithoutRecordsOrTerminal) {
    writeFile(programDir() + "veri.txt", "kept\r\n");
    EXPECT_EQ(downloadAll(true).outcome, TransferOutcome::NoRecords);
    EXPECT_EQ(op.messageTexts(), QStringList{"Cihazdan Alınacak Veri Yok..."});
    EXPECT_EQ(file("veri2.txt"), "kept\r\n");

    writeFile(programDir() + "veri2.txt", "");
    device->faults().failOps["EnableDevice"] = ERR_NON_CARRYOUT;
    op = RecordingOperator();
    EXPECT_EQ(downloadAll(true).outcome, TransferOutcome::NoDevice);
    EXPECT_TRUE(op.messages.empty());
    EXPECT_EQ(file("veri2.txt"), "kept\r\n");

    device->faults().failOps.clear();
    device->faults().failOps["ReadAllGeneralLogData"] = ERR_MEMORY;
    writeFile(programDir() + "veri2.txt", "");
    op = RecordingOperator();
    EXPECT_EQ(downloadAll(true).outcome, TransferOutcome::ReadFailed);
    EXPECT_EQ(op.messageTexts(), QStringList{"ERR_MEMORY"});
    EXPECT_EQ(file("veri2.txt"), "kept\r\n");
}

// "İptal" during a transfer: what was read is delivered and committed, the
// rest comes with the next run, each record once. The full download keeps
// what it wrote and commits nothing.
TEST_F(Transfer, CancelDeliversWhatWasReadAndTheRestComesNext) {
    addRecords(3000);
    op.cancelAfterChecks = 2; // the third check, after 512 records
    const TransferResult cut = transfer(true);
    EXPECT_EQ(cut.outcome, TransferOutcome::Cancelled);
    EXPECT_EQ(cut.records, 512);
    EXPECT_EQ(op.messageTexts(), QStringList{cancelledText(512)});
    EXPECT_EQ(device->state().newMark, 512);
    EXPECT_EQ(device->lockHolder(), 0);
    EXPECT_EQ(op.busyDepth, 0);

    op = RecordingOperator();
    EXPECT_EQ(transfer(true).records, 3000 - 512);
    EXPECT_TRUE(eachOnce({file("veri.txt")}, 3000));
    EXPECT_TRUE(eachOnce({file("veri2.txt")}, 3000));
    EXPECT_TRUE(eachOnce({file("yedek_V270/032024.txt")}, 3000));

    op = RecordingOperator();
    op.cancelAfterChecks = 0;
    const TransferResult none = downloadAll(false);
    EXPECT_EQ(none.outcome, TransferOutcome::Cancelled);
    EXPECT_EQ(none.records, 0);
    EXPECT_EQ(file("yedek_K19/032024.txt"), "");
    EXPECT_EQ(device->state().newMark, 3000);
}

// The disk fills up during a transfer: the lines on disk are whole, the
// error names the file, nothing is committed, and the next transfer brings
// every record that did not make it into each file, and only those.
TEST_F(Transfer, FullDiskLosesNoRecord) {
    addRecords(3000);
    const int status = [&] {
        const pid_t pid = ::fork();
        if (pid == 0) {
            std::signal(SIGXFSZ, SIG_IGN);
            rlimit limit{};
            ::getrlimit(RLIMIT_FSIZE, &limit);
            limit.rlim_cur = 20000;
            ::setrlimit(RLIMIT_FSIZE, &limit);
            try {
                transfer(false);
                ::_exit(5);
            } catch (const AppError& e) {
                if (!e.text().contains(programDir() + "veri.txt")) ::_exit(4);
            }
            limit.rlim_cur = RLIM_INFINITY;
            ::setrlimit(RLIMIT_FSIZE, &limit);
            const QByteArray partial = file("veri.txt");
            if (partial.isEmpty() || partial.size() % 33 != 0) ::_exit(6);
            if (transfer(false).outcome != TransferOutcome::Transferred) ::_exit(7);
            if (!eachOnce({file("veri.txt")}, 3000)) ::_exit(8);
            if (!eachOnce({file("yedek_V270/032024.txt")}, 3000)) ::_exit(9);
            if (device->state().newMark != 3000) ::_exit(10);
            ::_exit(0);
        }
        int st = 0;
        ::waitpid(pid, &st, 0);
        return WIFEXITED(st) ? WEXITSTATUS(st) : -1;
    }();
    EXPECT_EQ(status, 0);
}

// Other commands lock and release the terminal while a transfer runs (here
// between two records) and use it. Neither they nor another client's
// bracket move the new-record mark, nor end the download; only the transfer
// moves the mark, at its end.
TEST_F(Transfer, OtherCommandsBracketsDuringATransferCommitNothing) {
    addRecords(20000);
    struct Busy : RecordingOperator {
        std::function<void()> each;
        long long records = 0;
        void showCount(long long count) override {
            RecordingOperator::showCount(count);
            records = count;
            if (each) each();
        }
    } busy;
    TFP_CLOCK other;
    other.setInProcessDevice(device);
    ASSERT_TRUE(other.OpenCommPort(1));
    SilentOperator quiet;
    int brackets = 0;
    busy.each = [&] {
        if (busy.records % 1500 != 0) return;
        {
            DeviceBracket clockCommand(clock, 1, DeviceBracket::ReleaseAfterFailedLock::Yes, quiet,
                                       FailureReport::None);
            EXPECT_TRUE(clockCommand.locked());
            EXPECT_TRUE(clock.SetDeviceTime(1));
            EXPECT_TRUE(clock.ReadAllUserID(1)); // the enrollment list has a cursor of its own
        }
        EXPECT_TRUE(other.EnableDevice(1, 0));
        EXPECT_TRUE(other.EnableDevice(1, 1));
        EXPECT_EQ(device->state().newMark, 0);
        ++brackets;
    };
    const TransferResult r = transferNewRecords(clock, 1, programDir(), true, busy, kStart);
    EXPECT_GE(brackets, 10);
    EXPECT_EQ(r.outcome, TransferOutcome::Transferred);
    EXPECT_EQ(r.records, 20000);
    EXPECT_EQ(device->state().newMark, 20000);
    EXPECT_TRUE(eachOnce({file("veri.txt")}, 20000));
    EXPECT_TRUE(eachOnce({file("veri2.txt")}, 20000));
    EXPECT_TRUE(eachOnce({file("yedek_V270/032024.txt")}, 20000));
}

// The terminal does not confirm the commit (the link drops after the last
// record). The operator is told so, the records stay new on the terminal,
// and the next transfer finishes the job without writing them again,
// whatever the PDKS program did with veri.txt meanwhile.
TEST_F(Transfer, AnUnconfirmedCommitIsFinishedByTheNextTransfer) {
    // What the PDKS program does with veri.txt; it returns what it took.
    const std::pair<const char*, std::function<QByteArray(const QString&)>> pdks[] = {
        {"leaves it", [](const QString&) { return QByteArray(); }},
        {"moves it",
         [](const QString& v) {
             QFile::rename(v, v + ".alindi");
             return readFile(v + ".alindi");
         }},
        {"empties it",
         [](const QString& v) {
             const QByteArray was = readFile(v);
             writeFile(v, {});
             return was;
         }},
        {"deletes it",
         [](const QString& v) {
             const QByteArray was = readFile(v);
             QFile::remove(v);
             return was;
         }},
    };
    int round = 0;
    for (const auto& [what, takeAway] : pdks) {
        SCOPED_TRACE(what);
        const QString sub = programDir() + QString::number(round++) + '/';
        ASSERT_TRUE(QDir().mkpath(sub));
        device = std::make_shared<DeviceModel>(DeviceState{});
        addRecords(3000);
        clock.setInProcessDevice(device);
        ASSERT_TRUE(clock.OpenCommPort(1));
        const QString veri = sub + "veri.txt";

        device->faults().failOps["commitNewRecords"] = ERR_COMPORT_ERROR;
        op = RecordingOperator();
        const TransferResult first = transferNewRecords(clock, 1, sub, true, op, kStart);
        EXPECT_EQ(first.outcome, TransferOutcome::NotConfirmed);
        EXPECT_EQ(first.records, 3000);
        ASSERT_EQ(op.messages.size(), 1u);
        EXPECT_EQ(op.messages[0].text, notConfirmedText("ERR_COMPORT_ERROR", 3000));
        EXPECT_TRUE(op.messages[0].text.contains("3.000 kayıt dosyalara yazıldı"));
        EXPECT_EQ(op.messages[0].icon, Operator::Icon::Warning);
        EXPECT_EQ(device->state().newMark, 0);
        const QByteArray taken = takeAway(veri);

        device->faults().failOps.clear();
        op = RecordingOperator();
        const TransferResult second = transferNewRecords(clock, 1, sub, true, op, kStart);
        EXPECT_EQ(second.outcome, TransferOutcome::Transferred);
        EXPECT_EQ(op.messageHeads(), QStringList{"Bilgiler Dosyaya Aktarıldı...."});
        EXPECT_EQ(device->state().newMark, 3000);
        EXPECT_TRUE(eachOnce({taken, readFile(veri)}, 3000));
        EXPECT_TRUE(eachOnce({readFile(sub + "veri2.txt")}, 3000));
        EXPECT_TRUE(eachOnce({readFile(sub + "yedek_V270/032024.txt")}, 3000));
    }
}

// The program dies between two records (a kill, a power cut of the program
// alone): no destructor runs, nothing is committed. At whatever record that
// happens, and whether or not the PDKS program then takes veri.txt away, the
// next transfer writes each record once into every file.
TEST_F(Transfer, ADeathAtAnyRecordIsMadeGoodByTheNextTransfer) {
    constexpr int kRecords = 6000; // more than one write block, less than a fetch chunk
    // Around the first records that identify the batch, and around a written block.
    const int deaths[] = {1, 16, 17, 1985, 1986, 4321, kRecords};
    int round = 0;
    for (const int at : deaths) {
        for (const bool pdksTakesVeri : {false, true}) {
            SCOPED_TRACE(::testing::Message()
                         << "death at " << at << (pdksTakesVeri ? ", moved" : ""));
            const QString sub = programDir() + QString::number(round++) + '/';
            ASSERT_TRUE(QDir().mkpath(sub));
            device = std::make_shared<DeviceModel>(DeviceState{});
            addRecords(kRecords);
            clock.setInProcessDevice(device);
            ASSERT_TRUE(clock.OpenCommPort(1));
            writeFile(sub + "veri.txt", lineFor(kRecords + 1, "01")); // from earlier

            const pid_t pid = ::fork();
            if (pid == 0) {
                struct Dying : SilentOperator {
                    int at = 0;
                    void showCount(long long c) override {
                        if (c == at) ::_exit(0);
                    }
                } dying;
                dying.at = at;
                transferNewRecords(clock, 1, sub, true, dying, kStart);
                ::_exit(3);
            }
            int status = 0;
            ::waitpid(pid, &status, 0);
            ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
            QByteArray taken;
            if (pdksTakesVeri) {
                taken = readFile(sub + "veri.txt");
                QFile::remove(sub + "veri.txt");
            }

            op = RecordingOperator();
            const TransferResult r = transferNewRecords(clock, 1, sub, true, op, kStart);
            EXPECT_EQ(r.outcome, TransferOutcome::Transferred);
            EXPECT_EQ(device->state().newMark, kRecords);
            QByteArray veri = taken + readFile(sub + "veri.txt");
            ASSERT_TRUE(veri.startsWith(lineFor(kRecords + 1, "01")));
            EXPECT_TRUE(eachOnce({veri.mid(33)}, kRecords));
            EXPECT_TRUE(eachOnce({readFile(sub + "veri2.txt")}, kRecords));
            EXPECT_TRUE(eachOnce({readFile(sub + "yedek_V270/032024.txt")}, kRecords));
        }
    }
}

// A kill in the middle of writing a block leaves lines in the files that
// the journal does not know yet, the last one cut short. The next command
// to take the data files counts them as written and cuts the partial line.
TEST_F(Transfer, LinesWrittenJustBeforeADeathAreCountedOnce) {
    ASSERT_NO_FATAL_FAILURE(leaveAKilledTransfer());
    EXPECT_EQ(transfer(true).outcome, TransferOutcome::Transferred);
    EXPECT_TRUE(eachOnce({file("veri.txt")}, 3000));
    EXPECT_TRUE(eachOnce({file("yedek_V270/032024.txt")}, 3000));
    EXPECT_TRUE(eachOnce({file("veri2.txt")}, 3000));
}

// The other commands that append to veri.txt after a killed transfer. Taking
// the lock changes nothing; each command first counts the killed run's lines
// as written, or its own lines would later be taken for the transfer's
// records, and as many records would never reach veri.txt.
enum class Appender { MemoryCard, FullDownload };

class AfterAKilledTransfer : public Transfer, public ::testing::WithParamInterface<Appender> {
  protected:
    // Runs the command; returns the lines it appended to veri.txt.
    QByteArray runCommand() {
        if (GetParam() == Appender::MemoryCard) {
            const QString card = programDir() + "kart.txt";
            writeFile(card, "h\n1\t1\t123\t0\t0\t0\t2011/06/08 12:34:56\n");
            EXPECT_TRUE(convertMemoryCardFile(card, programDir(), op));
            return "00123 08/06/2011 12:34:56 01\r\n";
        }
        EXPECT_EQ(downloadAll(false).records, 3000);
        return file("yedek_K19/032024.txt");
    }
};

TEST_P(AfterAKilledTransfer, TheNextCommandCountsWhatItLeftBeforeAppending) {
    ASSERT_NO_FATAL_FAILURE(leaveAKilledTransfer());
    const QByteArray left = file("veri.txt");
    ASSERT_TRUE(DirectoryLock::tryAcquire(programDir()));
    EXPECT_EQ(file("veri.txt"), left) << "taking the lock changed veri.txt";

    const QByteArray own = runCommand();
    const qsizetype kept = left.lastIndexOf('\n') + 1; // the cut line is gone
    const QByteArray veri = file("veri.txt");
    ASSERT_EQ(veri.mid(kept, own.size()), own);

    EXPECT_EQ(transfer(true).outcome, TransferOutcome::Transferred);
    EXPECT_EQ(device->state().newMark, 3000);
    const QByteArray after = file("veri.txt");
    EXPECT_TRUE(eachOnce({after.left(kept), after.mid(kept + own.size())}, 3000));
    EXPECT_TRUE(eachOnce({file("yedek_V270/032024.txt")}, 3000));
    EXPECT_TRUE(eachOnce({file("veri2.txt")}, 3000));
}

INSTANTIATE_TEST_SUITE_P(Commands, AfterAKilledTransfer,
                         ::testing::Values(Appender::MemoryCard, Appender::FullDownload),
                         [](const ::testing::TestParamInfo<Appender>& info) {
                             return info.param == Appender::MemoryCard ? "MemoryCard"
                                                                       : "FullDownload";
                         });

// Over TCP, against the emulator: the link is cut after 50 records. The
// lines read so far stay, the operator is told the transfer was cut, and the
// next transfer brings every other record of the terminal.
TEST(TransferOverTcp, CutDownloadThenSecondDownloadHasEveryRecord) {
    QTemporaryDir dir;
    const QString programDir = dir.path() + '/';
    const QString stateFile = dir.filePath("terminal.json");
    DeviceState state;
    for (int i = 0; i < 120; ++i)
        state.logs.push_back(logRecord(i));
    QString error;
    ASSERT_TRUE(saveDeviceState(state, stateFile, &error)) << error.toStdString();

    auto run = [&](QStringList extra, RecordingOperator& op) {
        EmulatorProcess emulator;
        QString why;
        EXPECT_TRUE(emulator.start(QStringList{"--state", stateFile} + extra, &why))
            << why.toStdString();
        TFP_CLOCK clock;
        clock.setTimeouts(5000, 5000);
        clock.SetIPAddress("127.0.0.1", emulator.port(), 0);
        EXPECT_TRUE(clock.OpenCommPort(1));
        const TransferResult result = transferNewRecords(clock, 1, programDir, false, op, kStart);
        clock.CloseCommPort();
        EXPECT_EQ(emulator.stop(), 0);
        return result;
    };

    RecordingOperator first;
    const TransferResult cut = run({"--drop-after", "50"}, first);
    EXPECT_EQ(cut.outcome, TransferOutcome::Interrupted);
    EXPECT_EQ(cut.records, 50);
    ASSERT_EQ(first.messages.size(), 1u);
    EXPECT_EQ(first.messages[0].icon, Operator::Icon::Warning);
    EXPECT_TRUE(first.messages[0].text.contains("50 kayıt"))
        << first.messages[0].text.toStdString();

    RecordingOperator second;
    const TransferResult rest = run({}, second);
    EXPECT_EQ(rest.outcome, TransferOutcome::Transferred);
    const QByteArray veri = readFile(programDir + "veri.txt");
    for (int i = 0; i < 120; ++i)
        EXPECT_TRUE(veri.contains(lineFor(i, "01"))) << i;
    EXPECT_TRUE(eachOnce({veri}, 120)); // the cut part is not written again
}

} // namespace

namespace {

// A FIFO (or a device) in place of any file a transfer writes: refused with
// its name before the terminal is locked; nothing is taken from it.
TEST_F(Transfer, SpecialFilesAreRefusedBeforeTheTerminalIsLocked) {
    addRecords(3);
    ASSERT_TRUE(QDir(programDir()).mkpath("yedek_V270"));
    for (const char* name : {"veri.txt", "veri2.txt", ".veri.journal", "yedek_V270/032024.txt"}) {
        SCOPED_TRACE(name);
        const QString path = programDir() + name;
        QFile::remove(path); // a journal an earlier round made
        ASSERT_EQ(mkfifo(QFile::encodeName(path).constData(), 0600), 0);
        std::vector<int32_t> requests;
        device->setRequestObserver(
            [&](const wire::Message& m) { requests.push_back(static_cast<int32_t>(m.op)); });
        try {
            transfer(true);
            ADD_FAILURE() << "no error";
        } catch (const AppError& e) {
            EXPECT_TRUE(e.text().contains(path) && e.text().contains("FIFO"))
                << e.text().toStdString();
        }
        EXPECT_TRUE(std::find(requests.begin(), requests.end(),
                              static_cast<int32_t>(wire::Op::EnableDevice)) == requests.end());
        EXPECT_EQ(device->state().newMark, 0);
        QFile::remove(path);
        device->setRequestObserver({});
    }
    EXPECT_EQ(transfer(true).records, 3);
}

// Someone sharing the directory plants a link where the program writes, to a
// file of whoever runs the next transfer: the program's own files never
// follow one; veri.txt and veri2.txt only to a file of the directory's owner
// or group, through a link of theirs.
TEST_F(Transfer, LinksPlantedInTheDirectoryAreNotWrittenThrough) {
    addRecords(3);
    ASSERT_TRUE(QDir(programDir()).mkpath("yedek_V270"));
    QTemporaryDir elsewhere;
    const QString victim = elsewhere.filePath("victim.txt");
    const QString missing = elsewhere.filePath("victim2.txt");
    const QByteArray secret = "another user's file\n";
    const struct Case {
        const char* name;
        const char* file;
        bool dangling;
        uid_t owner; // of the victim, or of the link with linkOwned; 0: ours
        bool linkOwned = false;
    } cases[] = {
        {"the lock", ".veri.lock", false, 0},
        {"the lock, dangling", ".veri.lock", true, 0},
        {"the journal", ".veri.journal", false, 0},
        {"the monthly backup file", "yedek_V270/032024.txt", false, 0},
        {"veri.txt, dangling", "veri.txt", true, 0},
        {"veri.txt to another's file", "veri.txt", false, 54321},
        {"veri.txt, another's link", "veri.txt", false, 54321, true},
        {"veri2.txt to another's file", "veri2.txt", false, 54321},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        if (c.owner != 0 && ::geteuid() != 0) continue; // only root gives files away
        const QString path = programDir() + c.file;
        writeFile(victim, secret);
        QFile::remove(missing);
        QFile::remove(path); // made empty by an earlier round
        ASSERT_TRUE(QFile::link(c.dangling ? missing : victim, path));
        if (c.owner != 0) {
            const QByteArray at = QFile::encodeName(c.linkOwned ? path : victim);
            ASSERT_EQ(::lchown(at.constData(), c.owner, c.owner), 0);
        }
        try {
            transfer(true);
            ADD_FAILURE() << "no error";
        } catch (const AppError& e) {
            EXPECT_TRUE(e.text().contains(path) && e.text().contains("sembolik bağlantı"))
                << e.text().toStdString();
        }
        EXPECT_EQ(readFile(victim), secret);
        EXPECT_FALSE(QFile::exists(missing)) << "a dangling link's target was made";
        EXPECT_EQ(device->state().newMark, 0);
        QFile::remove(path);
    }
    // A site's own link to a file of its own is written through, as before.
    writeFile(victim, "");
    ASSERT_EQ(::chown(QFile::encodeName(victim).constData(), ::geteuid(), ::getegid()), 0);
    QFile::remove(programDir() + "veri.txt");
    ASSERT_TRUE(QFile::link(victim, programDir() + "veri.txt"));
    EXPECT_EQ(transfer(true).records, 3);
    EXPECT_EQ(readFile(victim).count("\r\n"), 3);
}

} // namespace
