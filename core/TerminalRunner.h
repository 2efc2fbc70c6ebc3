#pragma once

#include <QString>

#include <any>
#include <atomic>
#include <condition_variable>
#include <deque>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <vector>

class QThread;
class TerminalRunner;

// One terminal's job in a run of several terminals at once: its place in
// the list, its progress, its stop request and its result. The job's thread
// writes the progress and the result; anyone may read them meanwhile.
class TerminalJob {
  public:
    enum class State {
        Waiting,  // not started yet
        Running,  // its work runs on a thread of the runner
        Finished, // its work has returned (or thrown: failure())
        Skipped,  // stopped before it started; it never will
    };

    TerminalJob(const TerminalJob&) = delete;
    TerminalJob& operator=(const TerminalJob&) = delete;

    int index() const { return index_; } // in the order the jobs were added
    const QString& name() const { return name_; }
    State state() const { return state_.load(std::memory_order_acquire); }
    bool ended() const { return state() == State::Finished || state() == State::Skipped; }

    // Whether anyone shows the progress, so a job knows if a total is worth
    // asking the terminal for.
    bool showsProgress() const { return showsProgress_; }
    void setTotal(long long total) { total_.store(total, std::memory_order_relaxed); }
    void setDone(long long done) { done_.store(done, std::memory_order_relaxed); }
    long long total() const { return total_.load(std::memory_order_relaxed); } // -1: not known
    long long done() const { return done_.load(std::memory_order_relaxed); }
    // What the job is doing, in the job's own terms (connecting, reading...).
    void setStage(int stage) { stage_.store(stage, std::memory_order_relaxed); }
    int stage() const { return stage_.load(std::memory_order_relaxed); }
    // The last thing the job said, for a window's row.
    void setMessage(const QString& text);
    QString message() const;

    // True once this job or the whole run was asked to stop. The job's
    // commands read it at their checks; stopCheck() is the same test for a
    // terminal control's cancel check, so a request the terminal hangs on
    // is cut short too.
    bool stopRequested() const;
    std::function<bool()> stopCheck() const {
        return [this] { return stopRequested(); };
    }

    // The job's result, set by its work; read it once the job has ended.
    template <class Result> void setResult(Result result) { result_ = std::move(result); }
    // nullptr while the job runs, when it set no result, or one of another type.
    template <class Result> const Result* result() const {
        return state() == State::Finished ? std::any_cast<Result>(&result_) : nullptr;
    }
    // What the work threw, if it threw.
    std::exception_ptr failure() const { return state() == State::Finished ? failure_ : nullptr; }

    // The job whose work runs on the calling thread, or nullptr: so that a
    // command deep inside a job can tie its terminal control to the job's
    // stop without every caller passing the job down.
    static const TerminalJob* current();

  private:
    friend class TerminalRunner;
    TerminalJob(const TerminalRunner& runner, int index, QString name, bool showsProgress,
                std::function<void(TerminalJob&)> work);

    const TerminalRunner& runner_;
    const int index_;
    const QString name_;
    const bool showsProgress_;
    std::function<void(TerminalJob&)> work_;
    std::atomic<State> state_{State::Waiting};
    std::atomic_bool stop_{false};
    std::atomic<long long> total_{-1};
    std::atomic<long long> done_{0};
    std::atomic<int> stage_{0};
    mutable std::mutex messageMutex_;
    QString message_;
    std::any result_;
    std::exception_ptr failure_;
};

// Runs jobs, one per terminal, at most atOnce at the same time, each on a
// thread of the runner (a terminal control and its link belong to the
// thread that made them; so does a database connection). Jobs start in the
// order they were added and may be added while others run (a service that
// watches terminals adds and stops them as it goes). Every thread is joined
// when the runner goes: the destructor stops the run and waits for the
// running jobs to end, so the owner of a window destroys it only once
// allEnded() (a stopped job ends within a second, even on a hung terminal,
// when its control reads stopCheck()). Never destroyed from one of its jobs.
class TerminalRunner {
  public:
    using Work = std::function<void(TerminalJob&)>;
    struct Options {
        int atOnce = 1;             // at least 1
        bool showsProgress = false; // TerminalJob::showsProgress()
        // A stop from outside the run (Ctrl-C), read before a job starts and
        // in every job's stopRequested(); it must be cheap and thread-safe.
        std::function<bool()> stopWhen = {};
    };

    explicit TerminalRunner(Options options);
    ~TerminalRunner();
    TerminalRunner(const TerminalRunner&) = delete;
    TerminalRunner& operator=(const TerminalRunner&) = delete;

    // Adds a job that runs work once a place is free; after stop() it is
    // skipped at once. Work's exceptions are kept as the job's failure().
    TerminalJob& add(QString name, Work work);

    // Stops the whole run: jobs not started never start, running jobs see
    // their stop request. Returns at once.
    void stop();
    // Stops one job: skipped when it has not started, else asked to stop.
    void stopJob(int index);
    bool stopped() const;

    int size() const;
    TerminalJob& job(int index);
    const TerminalJob& job(int index) const;
    std::vector<const TerminalJob*> running() const;
    int endedCount() const;
    bool allEnded() const { return endedCount() == size(); }

    // Hands every job to deliver on the caller's thread in the order they
    // were added, each once it has ended (a skipped one too), and returns
    // when every job added has been handed over. While it waits, meanwhile
    // (when given) is called at least every meanwhileMs; without it the
    // wait sleeps until a job ends.
    void deliverInOrder(const std::function<void(TerminalJob&)>& deliver,
                        const std::function<void()>& meanwhile = {}, int meanwhileMs = 100);

  private:
    friend class TerminalJob;
    void work();
    TerminalJob* nextToStartLocked();
    void runJob(TerminalJob& job);
    void stopLocked();
    void startWorkersLocked();
    bool stopWhen() const { return options_.stopWhen && options_.stopWhen(); }

    const Options options_;
    mutable std::mutex mutex_;
    std::condition_variable jobsToStart_; // workers wait here for a job
    std::condition_variable jobEnded_;    // deliverInOrder waits here
    std::deque<std::unique_ptr<TerminalJob>> jobs_;
    size_t nextToStart_ = 0; // jobs before it have left Waiting
    int running_ = 0;
    int ended_ = 0;
    bool closing_ = false;
    std::atomic_bool stop_{false};
    std::vector<std::unique_ptr<QThread>> workers_;
};
