#include "DataFiles.h"

#include "core/AppError.h"
#include "core/FileDescriptor.h"
#include "core/RegularFile.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

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

// Writes all of data; returns bytes written and sets *error on failure.
qsizetype writeAll(int fd, const char* data, qsizetype size, int* error) {
    const size_t done = writeFully(fd, data, size_t(size));
    if (done != size_t(size)) *error = errno;
    return qsizetype(done);
}

// veri.txt and veri2.txt may be links a site made (requireTrustedLink); the
// backup files are the program's own and never are.
bool mayBeLinked(const QString& path) {
    const QStringView name = QStringView(path).sliced(path.lastIndexOf(u'/') + 1);
    return name == QLatin1String(kDataFileName) || name == QLatin1String(kSecondFileName);
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
    requireTrustedLink(dir); // a backup folder kept elsewhere, by the directory's own people
    struct stat st {};
    if (::stat(native.constData(), &st) != 0)
        throw AppError(fileErrorText(dir, FileAction::CreateDir, errno));
    if (!S_ISDIR(st.st_mode)) throw AppError(fileErrorText(dir, FileAction::CreateDir, ENOTDIR));
    return dir + u'/';
}

// ---- AppendFile

AppendFile::AppendFile(QString path) : path_(std::move(path)) {
    // Both refuse a FIFO in the file's place rather than wait on it.
    if (mayBeLinked(path_)) {
        fd_ = openDataFile(path_, O_RDWR | O_APPEND | O_CREAT, &created_);
    } else {
        fd_ = openOwnFile(path_, O_RDWR | O_APPEND);
        if (!fd_.isOpen() && errno == ENOENT) {
            fd_ = openOwnFile(path_, O_RDWR | O_APPEND | O_CREAT | O_EXCL, 0666);
            created_ = fd_.isOpen();
        }
    }
    if (!fd_.isOpen()) throw AppError(fileErrorText(path_, FileAction::Open, errno));
    if (!cutPartialLine(fd_.get())) throw AppError(fileErrorText(path_, FileAction::Write, errno));
    buffer_.reserve(kBlock + 4096);
}

FileIdentity AppendFile::identity() const {
    struct stat st {};
    if (!fd_.isOpen() || ::fstat(fd_.get(), &st) != 0)
        throw AppError(fileErrorText(path_, FileAction::Read, fd_.isOpen() ? errno : EBADF));
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
    if (!fd_.isOpen()) return;
    try {
        writeBuffer();
    } catch (...) {
        // The error that ended the command is being reported already.
    }
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
    if (!fd_.isOpen()) throw AppError(fileErrorText(path_, FileAction::Write, EBADF));
    const int fd = fd_.get();
    struct stat before {};
    const bool haveSize = ::fstat(fd, &before) == 0;
    int error = 0;
    const qsizetype done = writeAll(fd, bytes.data(), bytes.size(), &error);
    if (error == 0) {
        if (kept) *kept = done;
        return;
    }
    // Cut a partly written line off again, unless someone else changed the
    // file meanwhile (then its size no longer tells where our bytes are).
    const qsizetype keep = done > 0 ? bytes.first(done).lastIndexOf('\n') + 1 : 0;
    struct stat after {};
    if (done > keep && haveSize && ::fstat(fd, &after) == 0 &&
        after.st_size == before.st_size + done) {
        (void)!::ftruncate(fd, before.st_size + keep);
    }
    if (kept) *kept = keep;
    throw AppError(fileErrorText(path_, FileAction::Write, error));
}

void AppendFile::sync() {
    writeBuffer();
    if (::fsync(fd_.get()) != 0 && errno != EINVAL)
        throw AppError(fileErrorText(path_, FileAction::Write, errno));
    if (created_) {
        syncDirectory(directoryOf(path_));
        created_ = false;
    }
}

void AppendFile::syncAndClose() {
    if (!fd_.isOpen()) return;
    sync();
    if (!fd_.close()) throw AppError(fileErrorText(path_, FileAction::Write, errno));
}

// ---- copies

void syncDirectory(const QString& dir) {
    const FileDescriptor fd = openRetrying(dir, O_RDONLY | O_DIRECTORY);
    if (!fd.isOpen()) return; // not fatal: the file data itself is on disk
    (void)::fsync(fd.get());
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
    requireTrustedLink(source);
    const FileDescriptor in = openRetrying(source, O_RDONLY | O_NONBLOCK);
    if (!in.isOpen()) throw AppError(fileErrorText(source, FileAction::Read, errno));
    requireRegularFile(in.get(), source);
    bool created = false;
    FileDescriptor out = openDataFile(target, O_RDWR | O_CREAT, &created);
    if (!out.isOpen()) throw AppError(fileErrorText(target, FileAction::Replace, errno));
    struct stat from {
    }, to{};
    if (::fstat(in.get(), &from) != 0)
        throw AppError(fileErrorText(source, FileAction::Read, errno));
    if (::fstat(out.get(), &to) != 0)
        throw AppError(fileErrorText(target, FileAction::Replace, errno));
    if (from.st_dev == to.st_dev && from.st_ino == to.st_ino) return; // a link to the source itself
    if (from.st_size > to.st_size &&
        ::fallocate(out.get(), FALLOC_FL_KEEP_SIZE, 0, from.st_size) != 0 && errno != EOPNOTSUPP &&
        errno != ENOSYS && errno != EINTR)
        throw AppError(fileErrorText(target, FileAction::Replace, errno));
    QByteArray block(1 << 20, Qt::Uninitialized);
    off_t copied = 0;
    for (;;) {
        const ssize_t n = ::read(in.get(), block.data(), static_cast<size_t>(block.size()));
        if (n < 0) {
            if (errno == EINTR) continue;
            throw AppError(fileErrorText(source, FileAction::Read, errno));
        }
        if (n == 0) break;
        if (pwriteFully(out.get(), block.constData(), size_t(n), copied) != size_t(n))
            throw AppError(fileErrorText(target, FileAction::Replace, errno));
        copied += n;
    }
    if (::ftruncate(out.get(), copied) != 0 || (::fsync(out.get()) != 0 && errno != EINVAL) ||
        !out.close())
        throw AppError(fileErrorText(target, FileAction::Replace, errno));
    if (created) syncDirectory(directoryOf(target));
}

NewRecordFiles::NewRecordFiles(const QString& programDir, bool secondFile, const QDate& startDate)
    : veri(programDir + QString::fromLatin1(kDataFileName)),
      veri2(secondFile ? std::optional<AppendFile>(
                             std::in_place, programDir + QString::fromLatin1(kSecondFileName))
                       : std::nullopt),
      backup(ensureDirectory(programDir, kNewRecordBackupDir) + monthlyBackupFileName(startDate)),
      backupMonth(startDate.year() * 100 + startDate.month()) {}
