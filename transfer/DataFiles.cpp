#include "DataFiles.h"

#include "Delivery.h"
#include "core/AppError.h"

#include <QFile>
#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

QByteArray nativePath(const QString& path) {
    return QFile::encodeName(path);
}

QString errnoText(int e) {
    switch (e) {
    case ENOSPC:
        return QStringLiteral("aygıtta boş yer kalmadı");
    case EDQUOT:
        return QStringLiteral("disk kotası doldu");
    case EACCES:
    case EPERM:
        return QStringLiteral("erişim izni yok");
    case EROFS:
        return QStringLiteral("dosya sistemi salt okunur");
    case EIO:
        return QStringLiteral("aygıt giriş/çıkış hatası");
    case ENOENT:
        return QStringLiteral("dosya ya da dizin yok");
    case EISDIR:
        return QStringLiteral("bu bir dizin");
    case ENOTDIR:
        return QStringLiteral("yoldaki bir öğe dizin değil");
    case EFBIG:
        return QStringLiteral("dosya çok büyük");
    default:
        return QStringLiteral("hata %1: %2").arg(e).arg(QString::fromLocal8Bit(std::strerror(e)));
    }
}

int openRetrying(const QByteArray& path, int flags, mode_t mode = 0666) {
    int fd;
    do {
        fd = ::open(path.constData(), flags | O_CLOEXEC, mode);
    } while (fd < 0 && errno == EINTR);
    return fd;
}

// Writes all of data; returns bytes written and sets *error on failure.
qsizetype writeAll(int fd, const char* data, qsizetype size, int* error) {
    qsizetype done = 0;
    while (done < size) {
        const ssize_t n = ::write(fd, data + done, static_cast<size_t>(size - done));
        if (n < 0) {
            if (errno == EINTR) continue;
            *error = errno;
            return done;
        }
        if (n == 0) {
            *error = EIO;
            return done;
        }
        done += n;
    }
    return done;
}

QString directoryOf(const QString& path) {
    const qsizetype slash = path.lastIndexOf(u'/');
    return slash < 0 ? QStringLiteral(".") : path.left(slash + 1);
}

} // namespace

QString monthlyBackupFileName(const QDate& date) {
    return QStringLiteral("%1%2.txt")
        .arg(date.month(), 2, 10, QChar(u'0'))
        .arg(date.year(), 4, 10, QChar(u'0'));
}

QString fileErrorText(const QString& path, FileAction action, int errorNumber) {
    QString what;
    switch (action) {
    case FileAction::Open:
        what = QStringLiteral("dosyası açılamadı");
        break;
    case FileAction::Write:
        what = QStringLiteral("dosyasına yazılamadı");
        break;
    case FileAction::Read:
        what = QStringLiteral("dosyası okunamadı");
        break;
    case FileAction::CreateDir:
        what = QStringLiteral("dizini oluşturulamadı");
        break;
    case FileAction::Replace:
        what = QStringLiteral("dosyası yenilenemedi");
        break;
    }
    return QStringLiteral("Giriş/çıkış hatası: \"%1\" %2 (%3).")
        .arg(path, what, errnoText(errorNumber));
}

QString ensureDirectory(const QString& programDir, const char* name) {
    const QString dir = programDir + QString::fromLatin1(name);
    const QByteArray native = nativePath(dir);
    if (::mkdir(native.constData(), 0777) != 0 && errno != EEXIST)
        throw AppError(fileErrorText(dir, FileAction::CreateDir, errno));
    struct stat st {};
    if (::stat(native.constData(), &st) != 0)
        throw AppError(fileErrorText(dir, FileAction::CreateDir, errno));
    if (!S_ISDIR(st.st_mode)) throw AppError(fileErrorText(dir, FileAction::CreateDir, ENOTDIR));
    return dir + u'/';
}

// ---- DataFileLock

DataFileLock::~DataFileLock() {
    if (fd_ >= 0) ::close(fd_); // closing the last descriptor drops the flock
}

std::optional<DataFileLock> DataFileLock::tryAcquire(const QString& programDir) {
    const QString path = programDir + QStringLiteral(".veri.lock");
    const int fd = openRetrying(nativePath(path), O_RDWR | O_CREAT);
    if (fd < 0) throw AppError(fileErrorText(path, FileAction::Open, errno));
    int rc;
    do {
        rc = ::flock(fd, LOCK_EX | LOCK_NB);
    } while (rc != 0 && errno == EINTR);
    if (rc != 0) {
        const int e = errno;
        ::close(fd);
        if (e == EWOULDBLOCK) return std::nullopt;
        throw AppError(fileErrorText(path, FileAction::Open, e));
    }
    DataFileLock lock(fd);
    // A holder that was killed may have left lines the journal does not know
    // yet; count them before anyone appends more.
    settleDeliveries(programDir);
    return lock;
}

QString dataFilesBusyText() {
    return QStringLiteral("Başka bir aktarım işlemi veri dosyalarına yazıyor. "
                          "Lütfen o işlem bitince yeniden deneyin.");
}

// ---- AppendFile

AppendFile::AppendFile(QString path) : path_(std::move(path)) {
    const QByteArray native = nativePath(path_);
    fd_ = openRetrying(native, O_RDWR | O_APPEND);
    if (fd_ < 0 && errno == ENOENT) {
        fd_ = openRetrying(native, O_RDWR | O_APPEND | O_CREAT);
        created_ = fd_ >= 0;
    }
    if (fd_ < 0) throw AppError(fileErrorText(path_, FileAction::Open, errno));
    if (!cutPartialLine(fd_)) {
        const int e = errno;
        ::close(fd_);
        fd_ = -1;
        throw AppError(fileErrorText(path_, FileAction::Write, e));
    }
    buffer_.reserve(kBlock + 4096);
}

FileIdentity AppendFile::identity() const {
    struct stat st {};
    if (fd_ < 0 || ::fstat(fd_, &st) != 0)
        throw AppError(fileErrorText(path_, FileAction::Read, fd_ < 0 ? EBADF : errno));
    return {static_cast<unsigned long long>(st.st_dev), static_cast<unsigned long long>(st.st_ino),
            static_cast<long long>(st.st_size)};
}

void AppendFile::writeLines(QByteArrayView bytes, qsizetype* onDisk) {
    *onDisk = 0;
    writeBuffer();
    writeBlock(bytes, onDisk);
    *onDisk = bytes.size();
}

AppendFile::~AppendFile() {
    if (fd_ < 0) return;
    try {
        writeBuffer();
    } catch (...) {
        // The error that ended the command is being reported already.
    }
    ::close(fd_);
}

void AppendFile::writeBuffer() {
    if (buffer_.isEmpty()) return;
    qsizetype kept = 0;
    try {
        writeBlock(buffer_, &kept);
    } catch (...) {
        buffer_.remove(0, kept);
        throw;
    }
    buffer_.clear();
}

void AppendFile::writeBlock(QByteArrayView bytes, qsizetype* kept) {
    if (fd_ < 0) throw AppError(fileErrorText(path_, FileAction::Write, EBADF));
    struct stat before {};
    const bool haveSize = ::fstat(fd_, &before) == 0;
    int error = 0;
    const qsizetype done = writeAll(fd_, bytes.data(), bytes.size(), &error);
    if (error == 0) {
        if (kept) *kept = done;
        return;
    }
    // Cut a partly written line off again, unless someone else changed the
    // file meanwhile (then its size no longer tells where our bytes are).
    const qsizetype keep = done > 0 ? bytes.first(done).lastIndexOf('\n') + 1 : 0;
    struct stat after {};
    if (done > keep && haveSize && ::fstat(fd_, &after) == 0 &&
        after.st_size == before.st_size + done) {
        (void)!::ftruncate(fd_, before.st_size + keep);
    }
    if (kept) *kept = keep;
    throw AppError(fileErrorText(path_, FileAction::Write, error));
}

void AppendFile::sync() {
    writeBuffer();
    if (::fsync(fd_) != 0 && errno != EINVAL)
        throw AppError(fileErrorText(path_, FileAction::Write, errno));
    if (created_) {
        syncDirectory(directoryOf(path_));
        created_ = false;
    }
}

void AppendFile::close() {
    if (fd_ < 0) return;
    sync();
    const int fd = fd_;
    fd_ = -1;
    if (::close(fd) != 0 && errno != EINTR)
        throw AppError(fileErrorText(path_, FileAction::Write, errno));
}

// ---- copies

void syncDirectory(const QString& dir) {
    const int fd = openRetrying(nativePath(dir), O_RDONLY | O_DIRECTORY);
    if (fd < 0) return; // not fatal: the file data itself is on disk
    (void)::fsync(fd);
    ::close(fd);
}

bool cutPartialLine(int fd) {
    struct stat st {};
    if (::fstat(fd, &st) != 0) return false;
    if (!S_ISREG(st.st_mode)) return true;
    // Back from the end, a block at a time, to the last line end.
    char block[64 * 1024];
    off_t end = st.st_size;
    while (end > 0) {
        const off_t from = std::max<off_t>(0, end - off_t(sizeof block));
        const size_t want = static_cast<size_t>(end - from);
        ssize_t n;
        do {
            n = ::pread(fd, block, want, from);
        } while (n < 0 && errno == EINTR);
        if (n < 0) return false;
        if (static_cast<size_t>(n) != want) return (errno = EIO), false;
        const void* lf = ::memrchr(block, '\n', want);
        if (lf) {
            end = from + (static_cast<const char*>(lf) - block) + 1;
            break;
        }
        end = from;
    }
    if (end == st.st_size) return true;
    return ::ftruncate(fd, end) == 0;
}

void copyContentInto(const QString& source, const QString& target) {
    const int in = openRetrying(nativePath(source), O_RDONLY);
    if (in < 0) throw AppError(fileErrorText(source, FileAction::Read, errno));
    const QByteArray nativeTarget = nativePath(target);
    bool created = false;
    int out = openRetrying(nativeTarget, O_RDWR);
    if (out < 0 && errno == ENOENT) {
        out = openRetrying(nativeTarget, O_RDWR | O_CREAT);
        created = out >= 0;
    }
    if (out < 0) {
        const int e = errno;
        ::close(in);
        throw AppError(fileErrorText(target, FileAction::Replace, e));
    }
    auto fail = [&](const QString& path, FileAction action, int e) {
        ::close(in);
        ::close(out);
        throw AppError(fileErrorText(path, action, e));
    };
    struct stat from {
    }, to{};
    if (::fstat(in, &from) != 0) fail(source, FileAction::Read, errno);
    if (::fstat(out, &to) != 0) fail(target, FileAction::Replace, errno);
    if (from.st_dev == to.st_dev && from.st_ino == to.st_ino) { // a link to the source itself
        ::close(in);
        ::close(out);
        return;
    }
    if (from.st_size > to.st_size && ::fallocate(out, FALLOC_FL_KEEP_SIZE, 0, from.st_size) != 0 &&
        errno != EOPNOTSUPP && errno != ENOSYS && errno != EINTR)
        fail(target, FileAction::Replace, errno);
    QByteArray block(1 << 20, Qt::Uninitialized);
    off_t copied = 0;
    for (;;) {
        const ssize_t n = ::read(in, block.data(), static_cast<size_t>(block.size()));
        if (n < 0) {
            if (errno == EINTR) continue;
            fail(source, FileAction::Read, errno);
        }
        if (n == 0) break;
        for (ssize_t done = 0; done < n;) {
            const ssize_t w = ::pwrite(out, block.constData() + done, size_t(n - done), copied);
            if (w < 0 && errno == EINTR) continue;
            if (w <= 0) fail(target, FileAction::Replace, w < 0 ? errno : EIO);
            done += w, copied += w;
        }
    }
    if (::ftruncate(out, copied) != 0) fail(target, FileAction::Replace, errno);
    if (::fsync(out) != 0 && errno != EINVAL) fail(target, FileAction::Replace, errno);
    ::close(in);
    if (::close(out) != 0 && errno != EINTR)
        throw AppError(fileErrorText(target, FileAction::Replace, errno));
    if (created) syncDirectory(directoryOf(target));
}
