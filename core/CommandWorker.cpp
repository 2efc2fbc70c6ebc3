#include "CommandWorker.h"

#include "AppError.h"

#include <QCoreApplication>
#include <QPointer>

#include <exception>
#include <mutex>
#include <optional>

void runOnThreadOf(QObject* target, const std::function<void()>& fn) {
    if (!target || QThread::currentThread() == target->thread()) {
        fn();
        return;
    }
    std::exception_ptr failure;
    QMetaObject::invokeMethod(
        target,
        [&] {
            try {
                fn();
            } catch (...) {
                failure = std::current_exception();
            }
        },
        Qt::BlockingQueuedConnection);
    if (failure) std::rethrow_exception(failure);
}

void postToThreadOf(QObject* target, std::function<void()> fn) {
    if (!target || QThread::currentThread() == target->thread()) {
        fn();
        return;
    }
    QMetaObject::invokeMethod(target, std::move(fn), Qt::QueuedConnection);
}

namespace {

// The operator a command sees on the worker thread. Messages and questions
// wait for the window's operator to answer on its own thread; progress,
// counts and status are posted, and a burst of progress collapses into the
// latest value so a fast loop never floods the window.
class CrossThreadOperator : public Operator {
  public:
    CrossThreadOperator(Operator& target, QObject* home, const std::atomic_bool& cancel)
        : target_(target), home_(home), cancel_(cancel) {}

    bool askYesNo(const QString& text, const QString& title) override {
        bool answer = false;
        runOnThreadOf(home_, [&] { answer = target_.askYesNo(text, title); });
        return answer;
    }
    void showMessage(const QString& text, const QString& title, Icon icon) override {
        runOnThreadOf(home_, [&] { target_.showMessage(text, title, icon); });
    }
    void setStatus(const QString& text) override {
        post([this, text] { target_.setStatus(text); });
    }
    void setProgressRange(int minimum, int maximum) override {
        post([this, minimum, maximum] { target_.setProgressRange(minimum, maximum); });
    }
    void setProgress(int position) override {
        std::lock_guard guard(latestMutex_);
        latestPosition_ = position;
        schedulePending();
    }
    void showCount(long long count) override {
        std::lock_guard guard(latestMutex_);
        latestCount_ = count;
        schedulePending();
    }
    void beginBusy() override {
        post([this] { target_.beginBusy(); });
    }
    void endBusy() override {
        post([this] { target_.endBusy(); });
    }
    // A flag, never a call to the window's thread.
    bool cancelRequested() override { return cancel_; }

  private:
    void post(std::function<void()> fn) {
        QMetaObject::invokeMethod(home_, std::move(fn), Qt::QueuedConnection);
    }
    // Called with latestMutex_ held.
    void schedulePending() {
        if (flushPosted_) return;
        flushPosted_ = true;
        post([this] { flush(); });
    }
    void flush() {
        std::optional<int> position;
        std::optional<long long> count;
        {
            std::lock_guard guard(latestMutex_);
            flushPosted_ = false;
            position.swap(latestPosition_);
            count.swap(latestCount_);
        }
        if (count) target_.showCount(*count);
        if (position) target_.setProgress(*position);
    }

    Operator& target_;
    QObject* home_;
    const std::atomic_bool& cancel_;
    std::mutex latestMutex_;
    std::optional<int> latestPosition_;
    std::optional<long long> latestCount_;
    bool flushPosted_ = false;
};

} // namespace

CommandWorker::CommandWorker() : context_(new QObject) {
    thread_.setObjectName(QStringLiteral("terminal"));
    context_->moveToThread(&thread_);
    QObject::connect(&thread_, &QThread::finished, context_, &QObject::deleteLater);
    thread_.start();
}

CommandWorker::~CommandWorker() {
    cancel_ = true; // a command still running ends within a second, even on a hung terminal
    thread_.quit();
    thread_.wait();
}

void CommandWorker::start(Operator& op, std::function<void(Operator&)> work,
                          std::function<void(std::exception_ptr)> then) {
    if (running_) throw AppError(QStringLiteral("Başka bir işlem sürüyor; bitmesini bekleyin."));
    running_ = true;
    cancel_ = false;
    // Everything the command posts goes to home_; its end is posted last, so
    // the continuation sees every update shown.
    auto crossing = std::make_shared<CrossThreadOperator>(op, &home_, cancel_);
    QMetaObject::invokeMethod(
        context_,
        [this, crossing, work = std::move(work), then = std::move(then)]() mutable {
            std::exception_ptr failure;
            try {
                work(*crossing);
            } catch (...) {
                failure = std::current_exception();
            }
            QMetaObject::invokeMethod(
                &home_,
                [this, crossing, failure, then = std::move(then)] {
                    running_ = false;
                    cancel_ = false;
                    if (then) then(failure);
                },
                Qt::QueuedConnection);
        },
        Qt::QueuedConnection);
}

void reportCommandFailure(Operator& op, std::exception_ptr failure) {
    if (!failure) return;
    try {
        std::rethrow_exception(failure);
    } catch (const std::exception& e) {
        reportError(op, errorText(e));
    }
}

void CommandWorker::runAndWait(const std::function<void()>& work) {
    runOnThreadOf(context_, work);
}
