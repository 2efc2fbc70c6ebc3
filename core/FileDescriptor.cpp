#include "FileDescriptor.h"

#include <QFile>
#include <cerrno>
#include <fcntl.h>
#include <unistd.h>

QByteArray nativePath(const QString& path) {
    return QFile::encodeName(path);
}

bool FileDescriptor::close() noexcept {
    const int fd = std::exchange(fd_, -1);
    if (fd < 0) return true;
    // Linux releases the descriptor even when close is interrupted; a retry
    // could close one another thread has just opened.
    return ::close(fd) == 0 || errno == EINTR;
}

void FileDescriptor::reset() noexcept {
    const int saved = errno; // callers read errno after a failure that led here
    (void)close();
    errno = saved;
}

FileDescriptor openRetrying(const QString& path, int flags, mode_t mode) {
    const QByteArray native = nativePath(path);
    int fd;
    do {
        fd = ::open(native.constData(), flags | O_CLOEXEC, mode);
    } while (fd < 0 && errno == EINTR);
    return FileDescriptor(fd);
}
