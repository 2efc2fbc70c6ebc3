// 10,000 enrollments (templates, cards, passwords) from the emulator over
// loopback TCP into tblEnroll and temp, then from the store to a second
// emulator (cleared first), through TFP_CLOCK and the window's commands.
// Prints seconds for each and the bytes on the link per template.

#include "core/Database.h"
#include "core/testing/SilentOperator.h"
#include "core/testing/TestFiles.h"
#include "enroll/EnrollCommands.h"
#include "terminal/LinkProtocol.h"
#include "terminal/TFP_CLOCK.h"
#include "terminal/testing/EmulatorProcess.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>

#include <cstdio>

namespace {

constexpr int kEnrollments = 10000;

// The upload asks first; the bench says Yes.
class YesOperator : public SilentOperator {
  public:
    bool askYesNo(const QString&, const QString&) override { return true; }
};

class NoScreen : public EnrollScreen {
  public:
    void clearLog() override {}
    void addLogLine(const QString&) override {}
    void setPosition(const QString&) override {}
    void setUserName(const QString&) override {}
    void showNameList() override {}
};

DeviceState terminalWithEnrollments(int count, int32_t machine) {
    DeviceState s;
    s.machine = machine;
    uint32_t seed = 12345;
    for (int32_t user = 1; static_cast<int>(s.enrollments.size()) < count; ++user) {
        auto add = [&](int32_t backup) {
            if (static_cast<int>(s.enrollments.size()) >= count) return;
            Enrollment e;
            e.enroll = user, e.emachine = machine, e.backup = backup;
            if (backup == 10 || backup == 11) {
                e.password = static_cast<int32_t>(seed = seed * 1664525u + 1013904223u);
            } else {
                for (auto& v : e.fingerprint)
                    v = static_cast<int32_t>(seed = seed * 1664525u + 1013904223u);
            }
            s.enrollments.push_back(e);
        };
        add(0);
        if (user % 3 == 0) add(1);
        add(11);
        if (user % 5 == 0) add(10);
        s.names[user] = QStringLiteral("PERSONEL %1").arg(user).left(12);
    }
    return s;
}

int templatesIn(const DeviceState& s) {
    int n = 0;
    for (const Enrollment& e : s.enrollments)
        n += isFingerprintBackup(e.backup);
    return n;
}

// Link bytes of one template each way, from the frames the control and the
// terminal exchange: a full read-ahead batch shared out per key, and one
// SetEnrollData with its reply.
void printLinkBytes() {
    wire::Message batch;
    batch.op = wire::Op::GetEnrollDataBatch;
    batch.ints.assign(1 + 3 * wire::kMaxBatchKeys, 1);
    wire::Message answers;
    answers.op = batch.op;
    for (int k = 0; k < wire::kMaxBatchKeys; ++k)
        wire::appendEnrollDataAnswer(answers.ints,
                                     {0, 0, 0, std::vector<int32_t>(wire::kTemplateInts, -1)});
    const double down =
        double(wire::encodeFrame(batch).size() + wire::encodeFrame(answers).size()) /
        wire::kMaxBatchKeys;
    wire::Message set;
    set.op = wire::Op::SetEnrollData;
    set.ints.assign(6 + wire::kTemplateInts, 1);
    wire::Message ok;
    ok.op = set.op;
    const qsizetype up = wire::encodeFrame(set).size() + wire::encodeFrame(ok).size();
    std::printf("link bytes per template: download %.0f, upload %lld (the template itself: %d)\n",
                down, static_cast<long long>(up), wire::kTemplateInts * 4);
}

} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    QTemporaryDir dir, sourceDir, targetDir;
    const QString programDir = dir.path() + '/';
    createDatabaseFromSchema(programDir + "Data.mdb", "Data.sql");
    createDatabaseFromSchema(programDir + "Log.mdb", "Log.sql");
    openDatabaseFile("bench-data", programDir + "Data.mdb");
    openDatabaseFile("bench-log", programDir + "Log.mdb");
    EnrollStore store(QSqlDatabase::database("bench-data"), QSqlDatabase::database("bench-log"));

    const DeviceState sourceState = terminalWithEnrollments(kEnrollments, 1);
    QString error;
    EmulatorProcess source, target;
    if (!source.startWithState(sourceState, sourceDir.path(), &error) ||
        !target.startWithState(terminalWithEnrollments(100, 1), targetDir.path(), &error)) {
        std::fprintf(stderr, "emulator: %s\n", qPrintable(error));
        return 1;
    }
    YesOperator op;
    NoScreen screen;
    EnrollValues values;
    double bestDown = 1e9, bestUp = 1e9;
    for (int run = 1; run <= 3; ++run) {
        TFP_CLOCK from;
        if (!connectToEmulator(from, source)) return 1;
        QElapsedTimer timer;
        timer.start();
        const DownloadResult down =
            downloadEnrollments(from, 1, store, values, screen, op, QStringLiteral("Kaynak"));
        const double downSeconds = double(timer.nsecsElapsed()) / 1e9;
        if (down.outcome != DownloadResult::Outcome::Done || down.stored != kEnrollments) {
            std::fprintf(stderr, "download stored %d of %d\n", down.stored, kEnrollments);
            return 1;
        }

        TFP_CLOCK to;
        if (!connectToEmulator(to, target)) return 1;
        timer.restart();
        const UploadResult up = uploadEnrollments(to, 1, store, values, true, screen, op);
        const double upSeconds = double(timer.nsecsElapsed()) / 1e9;
        if (up.outcome != UploadResult::Outcome::Done || up.sent != kEnrollments) {
            std::fprintf(stderr, "upload sent %d of %d\n", up.sent, kEnrollments);
            return 1;
        }
        std::printf("run %d: download %.3f s, upload %.3f s\n", run, downSeconds, upSeconds);
        bestDown = std::min(bestDown, downSeconds);
        bestUp = std::min(bestUp, upSeconds);
    }
    // The upload's release is answered once the target saved its state file.
    QFile saved(targetDir.filePath("state.json"));
    saved.open(QIODevice::ReadOnly);
    const auto targetState = parseDeviceState(saved.readAll(), &error);
    if (!targetState || targetState->enrollments.size() != sourceState.enrollments.size()) {
        std::fprintf(stderr, "the target's state file does not hold the copy\n");
        return 1;
    }
    std::printf("bench_enroll: %d enrollments (%d templates): download best %.3f s, upload best "
                "%.3f s (targets 2 s each)\n",
                kEnrollments, templatesIn(sourceState), bestDown, bestUp);
    printLinkBytes();
    return 0;
}
