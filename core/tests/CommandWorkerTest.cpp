// The terminal thread: work runs there, the caller returns at once and goes
// on in the continuation, the operator is answered on the caller's thread,
// and what the work throws reaches the continuation.

#include "core/CommandWorker.h"

#include "core/AppError.h"
#include "core/testing/CommandWaiting.h"
#include "core/testing/RecordingOperator.h"

#include <QCoreApplication>
#include <QThread>
#include <QTimer>

#include <gtest/gtest.h>

namespace {

// Starts work and lets the event loop run until its continuation has run;
// returns what the work threw.
std::exception_ptr runToEnd(CommandWorker& worker, Operator& op,
                            std::function<void(Operator&)> work) {
    std::exception_ptr thrown;
    bool continued = false;
    worker.start(op, std::move(work), [&](std::exception_ptr failure) {
        thrown = failure;
        continued = true;
    });
    EXPECT_TRUE(worker.running()) << "start returns before the work ends";
    EXPECT_TRUE(waitForCommand(worker));
    EXPECT_TRUE(continued);
    return thrown;
}

QCoreApplication& application() {
    static int argc = 1;
    static char name[] = "core_tests";
    static char* argv[] = {name, nullptr};
    static QCoreApplication app(argc, argv);
    return app;
}

// Notes the thread each call arrives on.
class ThreadNotingOperator : public RecordingOperator {
  public:
    QThread* askedOn = nullptr;
    bool askYesNo(const QString& text, const QString& title) override {
        askedOn = QThread::currentThread();
        return RecordingOperator::askYesNo(text, title);
    }
};

TEST(CommandWorker, WorkRunsOffTheCallersThreadAndTheOperatorOnIt) {
    application();
    CommandWorker worker;
    ThreadNotingOperator op;
    op.answers = {false};
    QThread* workedOn = nullptr;
    bool answer = true;
    runToEnd(worker, op, [&](Operator& crossing) {
        workedOn = QThread::currentThread();
        answer = crossing.askYesNo("Silinsin mi?", "UYARI");
        for (int i = 1; i <= 10000; ++i) {
            crossing.setProgress(i);
            crossing.showCount(i);
        }
        crossing.showMessage("Bitti", "Başlık", Operator::Icon::None);
    });
    EXPECT_NE(workedOn, QThread::currentThread());
    EXPECT_EQ(op.askedOn, QThread::currentThread());
    EXPECT_FALSE(answer);
    // A burst collapses, but the last value is shown before the run ends
    // and before the message that follows it.
    EXPECT_EQ(op.progress, 10000);
    EXPECT_EQ(op.count, 10000);
    EXPECT_LT(op.progressHistory.size(), 10000u);
    EXPECT_EQ(op.messageTexts(), QStringList{"Bitti"});
}

TEST(CommandWorker, ErrorsReachTheCallerAndOneCommandRunsAtATime) {
    application();
    CommandWorker worker;
    RecordingOperator op;
    EXPECT_TRUE(runToEnd(worker, op, [](Operator&) { throw AppError("disk dolu"); }));
    EXPECT_FALSE(worker.running());

    bool secondRefused = false;
    runToEnd(worker, op, [&](Operator&) {
        QMetaObject::invokeMethod(
            application().instance(),
            [&] {
                try {
                    worker.start(op, [](Operator&) {}, {});
                } catch (const AppError&) {
                    secondRefused = true;
                }
            },
            Qt::BlockingQueuedConnection);
    });
    EXPECT_TRUE(secondRefused);
}

TEST(CommandWorker, CancelIsSeenByTheRunningWorkOnly) {
    application();
    CommandWorker worker;
    RecordingOperator op;
    bool seen = false;
    QTimer::singleShot(50, [&] { worker.requestCancel(); });
    runToEnd(worker, op, [&](Operator& crossing) {
        for (int i = 0; i < 500 && !crossing.cancelRequested(); ++i)
            QThread::msleep(10);
        seen = crossing.cancelRequested();
    });
    EXPECT_TRUE(seen);
    EXPECT_FALSE(worker.cancelRequested()) << "the next command starts afresh";
}

} // namespace
