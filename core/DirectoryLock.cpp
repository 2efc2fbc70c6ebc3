#include "DirectoryLock.h"

#include "AppError.h"
#include "Operator.h"
#include "RegularFile.h"
#include "TextHelpers.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QDeadlineTimer>
#include <QThread>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr char kLockName[] = ".veri.lock";
constexpr qint64 kMaxHolderBytes = 512;

QString lockPath(const QString& programDir) {
    return programDir + QLatin1String(kLockName);
}

bool tryLock(int fd) {
    int rc;
    do {
        rc = ::flock(fd, LOCK_EX | LOCK_NB);
    } while (rc != 0 && errno == EINTR);
    return rc == 0;
}

} // namespace

std::optional<DirectoryLock> DirectoryLock::acquire(const QString& programDir, const QString& what,
                                                    int waitMs,
                                                    const std::function<bool()>& keepWaiting) {
    const QString path = lockPath(programDir);
    // 0660: the group of a shared program directory takes the lock too.
    FileDescriptor fd = openOwnFile(path, O_RDWR | O_CREAT, 0660);
    if (!fd.isOpen())
        throw AppError(QStringLiteral("Kilit dosyası \"%1\" açılamadı (%2).")
                           .arg(path, QString::fromLocal8Bit(std::strerror(errno))));
    const QDeadlineTimer deadline(waitMs);
    while (!tryLock(fd.get())) {
        if (errno != EWOULDBLOCK)
            throw AppError(QStringLiteral("Kilit dosyası \"%1\" kilitlenemedi (%2).")
                               .arg(path, QString::fromLocal8Bit(std::strerror(errno))));
        if (deadline.hasExpired()) return std::nullopt;
        if (keepWaiting && !keepWaiting()) return std::nullopt;
        QThread::msleep(
            static_cast<unsigned long>(std::min<qint64>(100, deadline.remainingTime())));
    }
    // Tell a command that has to wait who it waits for. Best effort: a lock
    // without the words still locks.
    const QByteArray holder =
        QStringLiteral("%1 (süreç %2, %3)")
            .arg(what.isEmpty() ? QStringLiteral("başka bir işlem") : what)
            .arg(QCoreApplication::applicationPid())
            .arg(QDateTime::currentDateTime().toString(QStringLiteral("dd.MM.yyyy HH:mm:ss")))
            .toUtf8()
            .left(kMaxHolderBytes);
    if (::ftruncate(fd.get(), 0) == 0) [[maybe_unused]]
        auto n = ::pwrite(fd.get(), holder.constData(), size_t(holder.size()), 0);
    return DirectoryLock(std::move(fd), programDir);
}

DirectoryLock::~DirectoryLock() {
    // Words left by a holder that was killed stay until the next holder
    // writes its own; a clean release takes them away.
    if (!fd_.isOpen()) return;
    [[maybe_unused]] auto rc = ::ftruncate(fd_.get(), 0);
}

QString DirectoryLock::holderOf(const QString& programDir) {
    // Never through a link: its target's first bytes would be shown.
    FileDescriptor fd = openRetrying(lockPath(programDir), O_RDONLY | O_NONBLOCK | O_NOFOLLOW);
    if (!fd.isOpen()) return {};
    char buffer[kMaxHolderBytes];
    const ssize_t n = ::pread(fd.get(), buffer, sizeof buffer, 0);
    if (n <= 0) return {};
    // Another program's bytes: only printable text is shown.
    QString text = QString::fromUtf8(buffer, n).simplified();
    text.removeIf([](QChar c) { return !c.isPrint(); });
    return text;
}

QString directoryBusyText(const QString& programDir) {
    const QString holder = DirectoryLock::holderOf(programDir);
    return QStringLiteral("Program dizini başka bir işlemde: %1. %2 saniye beklendi; hiçbir şey "
                          "değiştirilmedi. Lütfen o işlem bitince yeniden deneyin.")
        .arg(holder.isEmpty() ? QStringLiteral("başka bir işlem") : holder)
        .arg(DirectoryLock::kWaitMs / 1000);
}

std::optional<DirectoryLock> lockProgramDirectory(const QString& programDir, const QString& what,
                                                  Operator& op, int waitMs) {
    bool told = false, cancelled = false;
    std::optional<DirectoryLock> lock =
        DirectoryLock::acquire(programDir, withoutMnemonic(what), waitMs, [&] {
            if (!told) {
                op.setStatus(QStringLiteral("Program dizini başka bir işlemde; bekleniyor..."));
                told = true;
            }
            cancelled = op.cancelRequested();
            return !cancelled;
        });
    if (told) op.setStatus(QString());
    if (!lock && !cancelled)
        op.showMessage(directoryBusyText(programDir), QStringLiteral("UYARI"),
                       Operator::Icon::Warning);
    return lock;
}
