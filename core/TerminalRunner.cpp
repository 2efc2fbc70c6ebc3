#include "TerminalRunner.h"

#include <QThread>

#include <algorithm>
#include <chrono>

namespace {

thread_local const TerminalJob* currentJob = nullptr;

// Marks the calling thread as the job's for as long as its work runs.
class CurrentJob {
  public:
    explicit CurrentJob(const TerminalJob& job) { currentJob = &job; }
    ~CurrentJob() { currentJob = nullptr; }
    CurrentJob(const CurrentJob&) = delete;
    CurrentJob& operator=(const CurrentJob&) = delete;
};

} // namespace

TerminalJob::TerminalJob(const TerminalRunner& runner, int index, QString name, bool showsProgress,
                         std::function<void(TerminalJob&)> work)
    : runner_(runner), index_(index), name_(std::move(name)), showsProgress_(showsProgress),
      work_(std::move(work)) {}

void TerminalJob::setMessage(const QString& text) {
    std::lock_guard guard(messageMutex_);
    message_ = text;
}

QString TerminalJob::message() const {
    std::lock_guard guard(messageMutex_);
    return message_;
}

bool TerminalJob::stopRequested() const {
    return stop_ || runner_.stop_ || runner_.stopWhen();
}

const TerminalJob* TerminalJob::current() {
    return currentJob;
}

TerminalRunner::TerminalRunner(Options options) : options_(std::move(options)) {}

TerminalRunner::~TerminalRunner() {
    {
        std::lock_guard guard(mutex_);
        stopLocked();
        closing_ = true;
    }
    jobsToStart_.notify_all();
    for (const auto& worker : workers_)
        worker->wait();
}

TerminalJob& TerminalRunner::add(QString name, Work work) {
    std::unique_lock lock(mutex_);
    auto job = std::unique_ptr<TerminalJob>(new TerminalJob(
        *this, int(jobs_.size()), std::move(name), options_.showsProgress, std::move(work)));
    TerminalJob& added = *job;
    jobs_.push_back(std::move(job));
    if (stop_) {
        added.state_ = TerminalJob::State::Skipped;
        ++ended_;
        lock.unlock();
        jobEnded_.notify_all();
        return added;
    }
    startWorkersLocked();
    lock.unlock();
    jobsToStart_.notify_one();
    return added;
}

void TerminalRunner::startWorkersLocked() {
    const auto waiting =
        std::count_if(jobs_.begin() + std::ptrdiff_t(nextToStart_), jobs_.end(),
                      [](const auto& job) { return job->state() == TerminalJob::State::Waiting; });
    // Workers not running a job are about to take one.
    const int atOnce = std::max(options_.atOnce, 1);
    while (int(workers_.size()) < atOnce && int(workers_.size()) - running_ < waiting) {
        workers_.emplace_back(QThread::create([this] { work(); }));
        workers_.back()->setObjectName(QStringLiteral("terminal-job"));
        workers_.back()->start();
    }
}

void TerminalRunner::stop() {
    {
        std::lock_guard guard(mutex_);
        stopLocked();
    }
    jobEnded_.notify_all();
}

void TerminalRunner::stopLocked() {
    stop_ = true;
    for (size_t i = nextToStart_; i < jobs_.size(); ++i) {
        TerminalJob& job = *jobs_[i];
        if (job.state() != TerminalJob::State::Waiting) continue;
        job.state_ = TerminalJob::State::Skipped;
        ++ended_;
    }
    nextToStart_ = jobs_.size();
}

void TerminalRunner::stopJob(int index) {
    {
        std::lock_guard guard(mutex_);
        if (index < 0 || size_t(index) >= jobs_.size()) return;
        TerminalJob& job = *jobs_[size_t(index)];
        job.stop_ = true;
        if (job.state() != TerminalJob::State::Waiting) return;
        job.state_ = TerminalJob::State::Skipped;
        ++ended_;
    }
    jobEnded_.notify_all();
}

bool TerminalRunner::stopped() const {
    return stop_;
}

int TerminalRunner::size() const {
    std::lock_guard guard(mutex_);
    return int(jobs_.size());
}

TerminalJob& TerminalRunner::job(int index) {
    std::lock_guard guard(mutex_);
    return *jobs_.at(size_t(index));
}

const TerminalJob& TerminalRunner::job(int index) const {
    std::lock_guard guard(mutex_);
    return *jobs_.at(size_t(index));
}

std::vector<const TerminalJob*> TerminalRunner::running() const {
    std::lock_guard guard(mutex_);
    std::vector<const TerminalJob*> jobs;
    for (const auto& job : jobs_)
        if (job->state() == TerminalJob::State::Running) jobs.push_back(job.get());
    return jobs;
}

int TerminalRunner::endedCount() const {
    std::lock_guard guard(mutex_);
    return ended_;
}

TerminalJob* TerminalRunner::nextToStartLocked() {
    if (!stop_ && stopWhen()) stopLocked();
    while (nextToStart_ < jobs_.size()) {
        TerminalJob& job = *jobs_[nextToStart_++];
        if (job.state() == TerminalJob::State::Waiting) return &job;
    }
    return nullptr;
}

void TerminalRunner::work() {
    std::unique_lock lock(mutex_);
    for (;;) {
        if (closing_) return;
        TerminalJob* job = nextToStartLocked();
        if (!job) {
            jobEnded_.notify_all(); // a stop from outside may have skipped jobs
            jobsToStart_.wait(lock);
            continue;
        }
        job->state_ = TerminalJob::State::Running;
        ++running_;
        lock.unlock();
        runJob(*job);
        lock.lock();
        job->state_ = TerminalJob::State::Finished;
        --running_;
        ++ended_;
        jobEnded_.notify_all();
    }
}

void TerminalRunner::runJob(TerminalJob& job) {
    const CurrentJob current(job);
    try {
        job.work_(job);
    } catch (...) {
        // Nothing may leave a thread; the owner reads it from the job.
        job.failure_ = std::current_exception();
    }
    job.work_ = nullptr; // what the work holds goes with it, on its own thread
}

void TerminalRunner::deliverInOrder(const std::function<void(TerminalJob&)>& deliver,
                                    const std::function<void()>& meanwhile, int meanwhileMs) {
    const auto wait = std::chrono::milliseconds(std::max(meanwhileMs, 1));
    size_t next = 0;
    std::unique_lock lock(mutex_);
    while (next < jobs_.size()) {
        if (jobs_[next]->ended()) {
            TerminalJob& job = *jobs_[next++];
            lock.unlock();
            deliver(job);
            lock.lock();
            continue;
        }
        if (!meanwhile) {
            jobEnded_.wait(lock);
            continue;
        }
        lock.unlock();
        meanwhile();
        lock.lock();
        if (!jobs_[next]->ended()) jobEnded_.wait_for(lock, wait);
    }
}
