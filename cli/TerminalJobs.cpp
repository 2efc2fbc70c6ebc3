#include "TerminalJobs.h"

#include <QLocale>
#include <QStringList>

#include <algorithm>
#include <sys/ioctl.h>
#include <unistd.h>

namespace {

constexpr qint64 kRedrawMs = 100; // at most ten redraws a second

// Columns of the screen; a line as long wraps and breaks the redraw.
int screenColumns(int fd) {
    winsize size{};
    if (::ioctl(fd, TIOCGWINSZ, &size) == 0 && size.ws_col > 0) return size.ws_col;
    return 80;
}

} // namespace

QString jobProgressText(long long done, long long total) {
    const QLocale turkish(QLocale::Turkish, QLocale::Turkey);
    if (total >= 0)
        return QStringLiteral("%1/%2 kayıt").arg(turkish.toString(done), turkish.toString(total));
    if (done > 0) return QStringLiteral("%1 kayıt").arg(turkish.toString(done));
    return {};
}

void ProgressBoard::draw(const std::vector<const TerminalJob*>& running, int finished, int all) {
    if (fd_ < 0) return;
    if (lastDrawn_.isValid() && lastDrawn_.elapsed() < kRedrawMs) return;
    const int width = screenColumns(fd_) - 1;
    QStringList lines{QStringLiteral("%1/%2 terminal bitti").arg(finished).arg(all)};
    for (const TerminalJob* job : running) {
        const QString progress = jobProgressText(job->done(), job->total());
        lines << (progress.isEmpty() ? job->name() : job->name() + QStringLiteral(": ") + progress);
    }
    QByteArray block;
    for (QString& line : lines) {
        if (line.size() > width) line.truncate(std::max(0, width));
        if (!block.isEmpty()) block += '\n';
        block += line.toUtf8() + "\033[K";
    }
    if (block == shown_) return;
    lastDrawn_.start();
    QByteArray bytes = "\r";
    if (shownLines_ > 1) bytes += "\033[" + QByteArray::number(shownLines_ - 1) + 'A';
    bytes += block + "\033[J";
    write(bytes);
    shown_ = block;
    shownLines_ = int(lines.size());
}

void ProgressBoard::clear() {
    if (fd_ < 0 || shownLines_ == 0) return;
    QByteArray bytes = "\r";
    if (shownLines_ > 1) bytes += "\033[" + QByteArray::number(shownLines_ - 1) + 'A';
    write(bytes + "\033[J");
    shownLines_ = 0;
    shown_.clear();
    lastDrawn_.invalidate();
}

void ProgressBoard::write(const QByteArray& bytes) {
    // Straight to the descriptor, as the single progress line is.
    qsizetype at = 0;
    while (at < bytes.size()) {
        const ssize_t n = ::write(fd_, bytes.constData() + at, size_t(bytes.size() - at));
        if (n <= 0) return; // progress is not worth an error
        at += n;
    }
}
