#include "EndOnSignal.h"

#include <QSocketNotifier>

#include <csignal>
#include <fcntl.h>
#include <unistd.h>

namespace {

constexpr int kEndingSignals[] = {SIGTERM, SIGINT, SIGHUP};

// The handler's only state: where it writes. One watcher at a time.
volatile std::sig_atomic_t signalWriteEnd = -1;

extern "C" void onEndingSignal(int signal) {
    const char byte = static_cast<char>(signal);
    // write() is safe in a signal handler; a full pipe already holds a wake-up.
    [[maybe_unused]] const ssize_t n = ::write(signalWriteEnd, &byte, 1);
}

void setHandlers(void (*handler)(int), int flags) {
    struct sigaction action = {};
    action.sa_handler = handler;
    sigemptyset(&action.sa_mask);
    action.sa_flags = flags;
    for (int signal : kEndingSignals)
        ::sigaction(signal, &action, nullptr);
}

} // namespace

EndOnSignal::EndOnSignal(std::function<void()> end, QObject* parent)
    : QObject(parent), notifier_(nullptr), end_(std::move(end)) {
    int ends[2];
    if (::pipe2(ends, O_CLOEXEC | O_NONBLOCK) != 0) return; // signals keep their default effect
    readEnd_ = FileDescriptor(ends[0]);
    signalWriteEnd = ends[1];
    notifier_ = new QSocketNotifier(readEnd_.get(), QSocketNotifier::Read, this);
    connect(notifier_, &QSocketNotifier::activated, this, [this] {
        char bytes[16];
        while (::read(readEnd_.get(), bytes, sizeof bytes) > 0) {
        }
        if (end_) end_();
    });
    // Once: a second signal ends the program at once, should the first not.
    setHandlers(onEndingSignal, SA_RESETHAND | SA_RESTART);
}

EndOnSignal::~EndOnSignal() {
    if (signalWriteEnd < 0) return;
    setHandlers(SIG_DFL, 0);
    FileDescriptor(signalWriteEnd).reset();
    signalWriteEnd = -1;
}
