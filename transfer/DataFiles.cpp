#include "DataFiles.h"

#include "core/AppError.h"

#include <QFile>
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
    return DataFileLock(fd);
}

QString dataFilesBusyText() {
    return QStringLiteral("Başka bir aktarım işlemi veri dosyalarına yazıyor. "
                          "Lütfen o işlem bitince yeniden deneyin.");
}

// ---- AppendFile

AppendFile::AppendFile(QString path) : path_(std::move(path)) {
    const QByteArray native = nativePath(path_);
    fd_ = openRetrying(native, O_WRONLY | O_APPEND);
    if (fd_ < 0 && errno == ENOENT) {
        fd_ = openRetrying(native, O_WRONLY | O_APPEND | O_CREAT);
        created_ = fd_ >= 0;
    }
    if (fd_ < 0) throw AppError(fileErrorText(path_, FileAction::Open, errno));
    buffer_.reserve(kBlock + 4096);
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
    if (error == 0) return;
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

void replaceWithCopy(const QString& source, const QString& target) {
    const int in = openRetrying(nativePath(source), O_RDONLY);
    if (in < 0) throw AppError(fileErrorText(source, FileAction::Read, errno));
    const QString dir = directoryOf(target);
    const QString temporary = dir + u'.' + target.mid(dir.size()) + QStringLiteral(".tmp");
    const QByteArray nativeTemporary = nativePath(temporary);
    const int out = openRetrying(nativeTemporary, O_WRONLY | O_CREAT | O_TRUNC);
    if (out < 0) {
        const int e = errno;
        ::close(in);
        throw AppError(fileErrorText(target, FileAction::Replace, e));
    }
    auto fail = [&](const QString& path, FileAction action, int e) {
        ::close(in);
        ::close(out);
        ::unlink(nativeTemporary.constData());
        throw AppError(fileErrorText(path, action, e));
    };
    QByteArray block(1 << 20, Qt::Uninitialized);
    for (;;) {
        const ssize_t n = ::read(in, block.data(), static_cast<size_t>(block.size()));
        if (n < 0) {
            if (errno == EINTR) continue;
            fail(source, FileAction::Read, errno);
        }
        if (n == 0) break;
        int error = 0;
        writeAll(out, block.constData(), n, &error);
        if (error != 0) fail(target, FileAction::Replace, error);
    }
    if (::fsync(out) != 0 && errno != EINVAL) fail(target, FileAction::Replace, errno);
    ::close(in);
    if (::close(out) != 0 && errno != EINTR) {
        const int e = errno;
        ::unlink(nativeTemporary.constData());
        throw AppError(fileErrorText(target, FileAction::Replace, e));
    }
    if (::rename(nativeTemporary.constData(), nativePath(target).constData()) != 0) {
        const int e = errno;
        ::unlink(nativeTemporary.constData());
        throw AppError(fileErrorText(target, FileAction::Replace, e));
    }
    syncDirectory(dir);
}
