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

namespace {

// One loop for every whole-buffer transfer: step does one system call at
// the given offset into the buffer.
template <class Step> size_t fully(size_t size, bool isRead, Step step) {
    size_t done = 0;
    while (done < size) {
        const ssize_t n = step(done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            errno = n == 0 ? (isRead ? 0 : EIO) : errno;
            break;
        }
        done += size_t(n);
    }
    return done;
}

} // namespace

size_t writeFully(int fd, const char* data, size_t size) {
    return fully(size, false, [&](size_t done) { return ::write(fd, data + done, size - done); });
}

size_t pwriteFully(int fd, const char* data, size_t size, off_t at) {
    return fully(size, false, [&](size_t done) {
        return ::pwrite(fd, data + done, size - done, at + off_t(done));
    });
}

size_t preadFully(int fd, char* data, size_t size, off_t at) {
    return fully(size, true, [&](size_t done) {
        return ::pread(fd, data + done, size - done, at + off_t(done));
    });
}
