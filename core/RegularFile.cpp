#include "RegularFile.h"

#include "AppError.h"
#include "FileDescriptor.h"

#include <QFile>

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

} // namespace

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
