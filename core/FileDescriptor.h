#pragma once

#include <QByteArray>
#include <QString>

#include <cstddef>
#include <sys/types.h>
#include <utility>

// The one owner of every descriptor the program opens itself (data files,
// journal, settings, the directory lock): whatever way a command leaves,
// what it opened is closed.

// The path in the file system's own encoding, as open(2) takes it.
QByteArray nativePath(const QString& path);

class FileDescriptor {
  public:
    FileDescriptor() = default;
    explicit FileDescriptor(int fd) noexcept : fd_(fd) {}
    FileDescriptor(FileDescriptor&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
    FileDescriptor& operator=(FileDescriptor&& other) noexcept {
        if (this != &other) {
            reset();
            fd_ = std::exchange(other.fd_, -1);
        }
        return *this;
    }
    FileDescriptor(const FileDescriptor&) = delete;
    FileDescriptor& operator=(const FileDescriptor&) = delete;
    ~FileDescriptor() { reset(); }

    bool isOpen() const { return fd_ >= 0; }
    int get() const { return fd_; }

    // Closes now, for a caller that reports a failed close (data that never
    // reached the disk). False with errno set; closed either way.
    bool close() noexcept;
    // Closes now, when nothing is left to report.
    void reset() noexcept;

  private:
    int fd_ = -1;
};

// open(2) with O_CLOEXEC, again after a signal. Not open, with errno set,
// on failure.
FileDescriptor openRetrying(const QString& path, int flags, mode_t mode = 0666);

// Whole buffers through a descriptor, again after a signal. Each returns the
// bytes done: fewer than size is a failure with errno set (EIO for a write
// that wrote nothing), or for a read the end of the file (errno 0).
size_t writeFully(int fd, const char* data, size_t size);
size_t pwriteFully(int fd, const char* data, size_t size, off_t at);
size_t preadFully(int fd, char* data, size_t size, off_t at);
