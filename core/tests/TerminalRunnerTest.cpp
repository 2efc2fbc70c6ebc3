// Several terminals at once on one runner: results in the list's order
// however the jobs end, never more than atOnce at the same time, a stop
// that keeps unstarted jobs from starting and reaches the running ones, and
// no thread left behind when the runner goes.

#include "core/TerminalRunner.h"

#include <QElapsedTimer>
#include <QThread>

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <set>
#include <stdexcept>
#include <vector>
#include <gtest/gtest.h>

namespace {

using State = TerminalJob::State;

// Waits up to 5 s for done; false if it never came.
bool eventually(const std::function<bool()>& done) {
    QElapsedTimer waited;
    waited.start();
    while (!done()) {
        if (waited.elapsed() > 5000) return false;
        QThread::msleep(1);
    }
    return true;
}

// A job that runs until it is asked to stop; saw says whether it was.
TerminalRunner::Work untilStopped(std::atomic<int>& saw) {
    return [&saw](TerminalJob& job) {
        if (eventually([&] { return job.stopRequested(); }) && job.stopCheck()()) ++saw;
    };
}

TEST(TerminalRunner, ResultsComeInListOrderThoughJobsEndOutOfOrder) {
    constexpr int kJobs = 5;
    struct Case {
        const char* name;
        bool withMeanwhile; // the headless progress board redraws while it waits
    };
    for (const Case& c : {Case{"waiting for each end", false}, Case{"redrawing meanwhile", true}}) {
        SCOPED_TRACE(c.name);
        std::vector<std::atomic_bool> ended(kJobs);
        std::mutex endOrderMutex;
        std::vector<int> endOrder;
        TerminalRunner runner({.atOnce = kJobs});
        for (int i = 0; i < kJobs; ++i) {
            // Each job ends after the one below it: the last ends first.
            runner.add(QStringLiteral("Kapı %1").arg(i), [&, i](TerminalJob& job) {
                EXPECT_TRUE(eventually([&] { return i == kJobs - 1 || ended[size_t(i + 1)]; }));
                {
                    std::lock_guard guard(endOrderMutex);
                    endOrder.push_back(job.index());
                }
                ended[size_t(i)] = true;
                if (i == 2) throw std::runtime_error("bağlantı koptu");
                job.setResult(i * 10);
            });
        }
        std::vector<int> delivered, results;
        int meanwhileCalls = 0;
        runner.deliverInOrder(
            [&](TerminalJob& job) {
                EXPECT_EQ(job.state(), State::Finished);
                delivered.push_back(job.index());
                const int* result = job.result<int>();
                results.push_back(result ? *result : -1);
                EXPECT_EQ(bool(job.failure()), job.index() == 2);
            },
            c.withMeanwhile ? std::function<void()>([&] { ++meanwhileCalls; })
                            : std::function<void()>(),
            5);
        EXPECT_EQ(endOrder, (std::vector<int>{4, 3, 2, 1, 0})) << "the jobs did not overlap";
        EXPECT_EQ(delivered, (std::vector<int>{0, 1, 2, 3, 4}));
        EXPECT_EQ(results, (std::vector<int>{0, 10, -1, 30, 40}));
        EXPECT_TRUE(runner.allEnded());
        if (!c.withMeanwhile) {
            EXPECT_EQ(meanwhileCalls, 0);
        }
    }
}

TEST(TerminalRunner, NeverMoreThanAtOnceJobsOrThreads) {
    constexpr int kAtOnce = 3;
    std::atomic<int> runningNow{0}, most{0};
    std::mutex threadsMutex;
    std::set<QThread*> threads;
    {
        TerminalRunner runner({.atOnce = kAtOnce});
        for (int i = 0; i < 4 * kAtOnce; ++i) {
            runner.add(QString::number(i), [&, i](TerminalJob&) {
                const int now = ++runningNow;
                int seen = most;
                while (now > seen && !most.compare_exchange_weak(seen, now)) {
                }
                {
                    std::lock_guard guard(threadsMutex);
                    threads.insert(QThread::currentThread());
                }
                // The first stay until the places are full, so that a fourth
                // would show.
                if (i < kAtOnce) eventually([&] { return runningNow >= kAtOnce; });
                QThread::msleep(5);
                --runningNow;
            });
        }
        runner.deliverInOrder([](TerminalJob& job) { EXPECT_EQ(job.state(), State::Finished); });
    }
    EXPECT_EQ(most, kAtOnce);
    EXPECT_LE(threads.size(), size_t(kAtOnce));
}

// However the run is stopped, the jobs under way see it (also through the
// check a terminal control reads) and end; the others never start.
TEST(TerminalRunner, StopReachesRunningJobsAndSkipsTheRest) {
    struct Case {
        const char* name;
        std::function<void(TerminalRunner&, std::atomic_bool& outside)> stop;
    };
    const Case cases[] = {
        {"the run's stop", [](TerminalRunner& runner, std::atomic_bool&) { runner.stop(); }},
        {"a stop from outside (Ctrl-C)",
         [](TerminalRunner&, std::atomic_bool& outside) { outside = true; }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::atomic_bool outside{false};
        std::atomic<int> started{0}, sawStop{0};
        TerminalRunner runner({.atOnce = 2, .stopWhen = [&] { return bool(outside); }});
        for (int i = 0; i < 5; ++i) {
            runner.add(QString::number(i), [&](TerminalJob& job) {
                ++started;
                untilStopped(sawStop)(job);
            });
        }
        ASSERT_TRUE(eventually([&] { return runner.running().size() == 2; }));
        c.stop(runner, outside);
        std::vector<State> states;
        runner.deliverInOrder([&](TerminalJob& job) { states.push_back(job.state()); });
        EXPECT_EQ(states, (std::vector<State>{State::Finished, State::Finished, State::Skipped,
                                              State::Skipped, State::Skipped}));
        EXPECT_EQ(started, 2);
        EXPECT_EQ(sawStop, 2);
        // A job added after the stop never starts either.
        EXPECT_EQ(runner.add("geç", [&](TerminalJob&) { ++started; }).state(), State::Skipped);
        EXPECT_EQ(started, 2);
    }
}

// A service watching terminals: jobs added and stopped one by one while
// others go on; a stopped job's place goes to the next.
TEST(TerminalRunner, JobsComeAndGoWhileTheRunnerRuns) {
    std::atomic<int> sawStop{0}, startedLate{0};
    TerminalRunner runner({.atOnce = 2});
    TerminalJob& first = runner.add("Giriş", untilStopped(sawStop));
    TerminalJob& second = runner.add("Çıkış", untilStopped(sawStop));
    TerminalJob& third = runner.add("Yemekhane", [&](TerminalJob&) { ++startedLate; });
    ASSERT_TRUE(eventually([&] { return runner.running().size() == 2; }));
    EXPECT_EQ(third.state(), State::Waiting) << "no place for a third";

    runner.stopJob(third.index());
    EXPECT_EQ(third.state(), State::Skipped);
    runner.stopJob(first.index());
    ASSERT_TRUE(eventually([&] { return first.ended(); }));
    EXPECT_EQ(sawStop, 1);
    EXPECT_FALSE(second.stopRequested());
    EXPECT_EQ(second.state(), State::Running);

    TerminalJob& fourth = runner.add("Depo", [&](TerminalJob& job) {
        ++startedLate;
        untilStopped(sawStop)(job);
    });
    ASSERT_TRUE(eventually([&] { return fourth.state() == State::Running; }));
    EXPECT_EQ(startedLate, 1) << "the skipped job ran";
    runner.stop();
    runner.deliverInOrder([](TerminalJob&) {});
    EXPECT_EQ(sawStop, 3);
}

// The runner going away stops its jobs and waits for them: nothing a job
// holds, and no thread, outlives it.
TEST(TerminalRunner, DestructionStopsAndJoinsEveryJob) {
    auto held = std::make_shared<int>(0);
    std::atomic<int> started{0}, finished{0};
    {
        TerminalRunner runner({.atOnce = 2});
        for (int i = 0; i < 4; ++i) {
            runner.add(QString::number(i), [&, held](TerminalJob& job) {
                ++started;
                eventually([&] { return job.stopRequested(); });
                QThread::msleep(50); // a job may take a moment to end
                ++finished;
            });
        }
        ASSERT_TRUE(eventually([&] { return started == 2; }));
    }
    EXPECT_EQ(finished, 2);
    EXPECT_EQ(started, 2);
    EXPECT_EQ(held.use_count(), 1) << "a job's work outlived the runner";
}

TEST(TerminalRunner, TheJobOfTheCallingThread) {
    const TerminalJob* seen = nullptr;
    TerminalRunner runner({.atOnce = 1});
    TerminalJob& job = runner.add("Giriş", [&](TerminalJob&) { seen = TerminalJob::current(); });
    runner.deliverInOrder([](TerminalJob&) {});
    EXPECT_EQ(seen, &job);
    EXPECT_EQ(TerminalJob::current(), nullptr);
}

} // namespace
