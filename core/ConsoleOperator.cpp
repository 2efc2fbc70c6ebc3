#include "ConsoleOperator.h"

#include "FileDescriptor.h"

#include <QLocale>

#include <csignal>
#include <unistd.h>

namespace {

volatile std::sig_atomic_t interruptFlag = 0;

extern "C" void onInterrupt(int) {
    interruptFlag = 1;
    static const char note[] =
        "\nDurduruluyor: komut sıradaki adımda duracak (hemen kesmek için Ctrl-C).\n";
    // write() is safe in a signal handler; its result has nothing to tell.
    [[maybe_unused]] const ssize_t n = ::write(STDERR_FILENO, note, sizeof note - 1);
}

constexpr qint64 kRedrawMs = 100; // at most ten lines a second

} // namespace

int ConsoleOperator::progressOnTerminal() {
    return ::isatty(STDERR_FILENO) ? STDERR_FILENO : -1;
}

void ConsoleOperator::catchInterrupt() {
    struct sigaction action = {};
    action.sa_handler = onInterrupt;
    sigemptyset(&action.sa_mask);
    // The handler runs once; the next Ctrl-C has the default effect.
    action.sa_flags = SA_RESETHAND;
    ::sigaction(SIGINT, &action, nullptr);
}

bool ConsoleOperator::interrupted() {
    return interruptFlag != 0;
}

bool ConsoleOperator::askYesNo(const QString& text, const QString& title) {
    if (options_.answerYes) return true;
    clearProgress();
    out_ << title << ": " << text << " -> Hayır\n";
    out_.flush();
    return false;
}

void ConsoleOperator::showMessage(const QString& text, const QString&, Icon) {
    clearProgress();
    out_ << text << '\n';
    out_.flush();
}

void ConsoleOperator::setStatus(const QString& text) {
    lastStatus_ = text;
    if (!options_.printStatus || text.isEmpty()) return;
    clearProgress();
    out_ << text << '\n';
    out_.flush();
}

void ConsoleOperator::setProgressRange(int minimum, int maximum) {
    minimum_ = minimum;
    maximum_ = maximum;
}

void ConsoleOperator::setProgress(int position) {
    position_ = position;
    drawProgress();
}

void ConsoleOperator::showCount(long long count) {
    count_ = count;
    drawProgress();
}

void ConsoleOperator::drawProgress() {
    if (options_.progressFd < 0) return;
    if (!started_.isValid()) started_.start();
    if (lastDrawn_.isValid() && lastDrawn_.elapsed() < kRedrawMs) return;
    lastDrawn_.start();

    const QLocale turkish(QLocale::Turkish, QLocale::Turkey);
    const double seconds = started_.elapsed() / 1000.0;
    long long done = 0;
    QString text;
    if (count_ >= 0) {
        done = count_;
        text = maximum_ > minimum_
                   ? QStringLiteral("%1/%2 kayıt")
                         .arg(turkish.toString(done), turkish.toString(maximum_ - minimum_))
                   : QStringLiteral("%1 kayıt").arg(turkish.toString(done));
    } else if (maximum_ > minimum_) {
        done = position_ - minimum_;
        text = QStringLiteral("%1/%2").arg(turkish.toString(done),
                                           turkish.toString(maximum_ - minimum_));
    } else {
        done = position_;
        text = turkish.toString(done);
    }
    if (seconds >= 0.2)
        text += QStringLiteral(", %1/sn").arg(turkish.toString(qRound64(done / seconds)));
    writeProgress("\r" + text.toUtf8() + "\033[K");
    shown_ = true;
}

void ConsoleOperator::clearProgress() {
    if (!shown_) return;
    writeProgress("\r\033[K");
    shown_ = false;
}

void ConsoleOperator::writeProgress(const QByteArray& bytes) {
    // Straight to the descriptor: a line redrawn in place, never buffered
    // behind the command's messages.
    // A progress line is not worth an error.
    (void)writeFully(options_.progressFd, bytes.constData(), size_t(bytes.size()));
}
