#include "RegularFile.h"

#include "AppError.h"
#include "FileDescriptor.h"

#include <QFile>
#include <QFileInfo>

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

QString kindText(mode_t mode) {
    if (S_ISDIR(mode)) return QStringLiteral("bir dizin");
    if (S_ISFIFO(mode)) return QStringLiteral("bir adlandırılmış boru (FIFO)");
    if (S_ISSOCK(mode)) return QStringLiteral("bir soket");
    if (S_ISCHR(mode) || S_ISBLK(mode)) return QStringLiteral("bir aygıt dosyası");
    return QStringLiteral("düzenli bir dosya değil");
}

QString refusalText(const QString& path, mode_t mode) {
    return QStringLiteral("\"%1\" %2; program yalnızca düzenli dosyalara yazar ve onları okur. "
                          "Dosyayı kaldırıp işlemi yeniden deneyin.")
        .arg(path, kindText(mode));
}

QString symbolicLinkText(const QString& path) {
    return QStringLiteral("\"%1\" bir sembolik bağlantı; program kendi dosyalarını bağlantı "
                          "üzerinden açmaz. Bağlantıyı kaldırıp işlemi yeniden deneyin.")
        .arg(path);
}

QString untrustedLinkText(const QString& path) {
    return QStringLiteral("\"%1\" bir sembolik bağlantı, ama bağlantı ya da gösterdiği dosya "
                          "program dizininin sahibine ya da grubuna ait değil; program ona "
                          "dokunmaz. Bağlantıyı kaldırın ya da dizinin sahibine verin.")
        .arg(path);
}

QString danglingLinkText(const QString& path) {
    return QStringLiteral("\"%1\" bir sembolik bağlantı, ama gösterdiği dosya yok; program "
                          "onu oluşturmaz. Bağlantıyı kaldırın ya da düzeltin.")
        .arg(path);
}

bool belongsTo(const struct stat& file, const struct stat& dir) {
    return file.st_uid == dir.st_uid || file.st_gid == dir.st_gid;
}

// target: what the link leads to, as already opened; null to look it up.
void checkLink(const QString& path, const struct stat* target) {
    const QByteArray native = nativePath(path);
    struct stat link {};
    if (::lstat(native.constData(), &link) != 0 || !S_ISLNK(link.st_mode)) return;
    struct stat dir {
    }, found{};
    if (!target) {
        if (::stat(native.constData(), &found) != 0) throw AppError(danglingLinkText(path));
        target = &found;
    }
    if (::stat(nativePath(QFileInfo(path).absolutePath()).constData(), &dir) != 0 ||
        !belongsTo(link, dir) || !belongsTo(*target, dir))
        throw AppError(untrustedLinkText(path));
}

} // namespace

FileDescriptor openOwnFile(const QString& path, int flags, mode_t mode) {
    FileDescriptor fd = openRetrying(path, flags | O_NOFOLLOW | O_NONBLOCK, mode);
    if (!fd.isOpen()) {
        struct stat st {};
        const int error = errno;
        if (::lstat(nativePath(path).constData(), &st) == 0 && S_ISLNK(st.st_mode))
            throw AppError(symbolicLinkText(path));
        errno = error;
        return fd;
    }
    requireRegularFile(fd.get(), path);
    return fd;
}

void requireTrustedLink(const QString& path) {
    checkLink(path, nullptr);
}

FileDescriptor openDataFile(const QString& path, int flags, bool* created) {
    if (created) *created = false;
    const int plain = (flags & ~(O_CREAT | O_EXCL)) | O_NONBLOCK;
    FileDescriptor fd = openRetrying(path, plain);
    if (!fd.isOpen() && errno == ENOENT && (flags & O_CREAT)) {
        // O_EXCL never follows a link, so a dangling one fails here instead
        // of making its target.
        fd = openRetrying(path, plain | O_CREAT | O_EXCL, 0666);
        if (!fd.isOpen() && errno == EEXIST) {
            checkLink(path, nullptr);       // a dangling link throws here
            fd = openRetrying(path, plain); // made by someone else meanwhile
        } else if (created) {
            *created = fd.isOpen();
        }
    }
    if (!fd.isOpen()) return fd;
    requireRegularFile(fd.get(), path);
    // The file opened is what counts, whatever the link says by now.
    struct stat opened {};
    if (::fstat(fd.get(), &opened) == 0) checkLink(path, &opened);
    return fd;
}

QString notRegularFileText(const QString& path) {
    struct stat st {};
    if (::stat(QFile::encodeName(path).constData(), &st) != 0) return {}; // missing
    return S_ISREG(st.st_mode) ? QString() : refusalText(path, st.st_mode);
}

void requireRegularFileOrMissing(const QString& path) {
    if (const QString text = notRegularFileText(path); !text.isEmpty()) throw AppError(text);
}

void requireRegularFile(int fd, const QString& path) {
    struct stat st {};
    if (::fstat(fd, &st) == 0 && !S_ISREG(st.st_mode))
        throw AppError(refusalText(path, st.st_mode));
}

std::optional<QByteArray> readRegularFile(const QString& path, qint64 maxBytes) {
    // O_NONBLOCK: opening a FIFO for reading would otherwise wait for a writer.
    const FileDescriptor file = openRetrying(path, O_RDONLY | O_NONBLOCK);
    if (!file.isOpen()) return std::nullopt;
    struct stat st {};
    if (::fstat(file.get(), &st) != 0) return std::nullopt;
    if (!S_ISREG(st.st_mode)) throw AppError(refusalText(path, st.st_mode));
    if (st.st_size > maxBytes)
        throw AppError(QStringLiteral("\"%1\" çok büyük (%2 bayt; en çok %3 bayt okunur).")
                           .arg(path)
                           .arg(st.st_size)
                           .arg(maxBytes));
    QByteArray data;
    data.resize(static_cast<qsizetype>(st.st_size));
    qsizetype got = 0;
    while (got < data.size()) {
        const ssize_t n =
            ::read(file.get(), data.data() + got, static_cast<size_t>(data.size() - got));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break; // the file shrank meanwhile: what is there
        got += n;
    }
    data.truncate(got);
    return data;
}
