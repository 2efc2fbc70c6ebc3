#include "ProgramDirectory.h"

#include "AppError.h"
#include "Database.h"
#include "IniFile.h"
#include "RegularFile.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <cerrno>
#include <cstring>
#include <sys/stat.h>

namespace {

const QString kDatabases[] = {QStringLiteral("Data"), QStringLiteral("Log")};

QString withTrailingSeparator(const QString& dir) {
    QString path = QDir(dir).absolutePath();
    if (!path.endsWith(u'/')) path += u'/';
    return path;
}

// The schema files an installed program ships, relative to its bin directory.
QString installedSchemaDir(const QString& executableDir) {
    return QDir::cleanPath(executableDir + QStringLiteral("/../share/v270-aktarim"));
}

bool hasSchema(const QString& dir) {
    return QFileInfo::exists(dir + QStringLiteral("/Data.sql")) &&
           QFileInfo::exists(dir + QStringLiteral("/Log.sql"));
}

QString findSchemaDir(const QString& executableDir) {
    for (const QString& dir :
         {installedSchemaDir(executableDir), QStringLiteral(V270_SCHEMA_DIR)}) {
        if (hasSchema(dir)) return dir;
    }
    throw AppError(QStringLiteral("Şema dosyaları (Data.sql, Log.sql) bulunamadı: %1")
                       .arg(installedSchemaDir(executableDir)));
}

// The site file holds a line or two; anything near this is not one.
constexpr qint64 kMaxSiteFileBytes = 64 * 1024;

// The number (from 1) of the line holding key in section, for a message; 0
// when not found.
int keyLine(const QByteArray& data, const QString& section, const QString& key) {
    bool inSection = false;
    int number = 0;
    for (const QByteArray& line : data.split('\n')) {
        ++number;
        const QString text = QString::fromLatin1(line).trimmed();
        if (text.startsWith(u'[') && text.endsWith(u']')) {
            inSection =
                text.mid(1, text.size() - 2).trimmed().compare(section, Qt::CaseInsensitive) == 0;
            continue;
        }
        const qsizetype eq = text.indexOf(u'=');
        if (inSection && eq > 0 && text.left(eq).trimmed().compare(key, Qt::CaseInsensitive) == 0)
            return number;
    }
    return 0;
}

QString userDataDir(const StartingPoint& from) {
    // XDG base directory rules: a relative XDG_DATA_HOME is ignored.
    const QString base = QDir::isAbsolutePath(from.xdgDataHome)
                             ? from.xdgDataHome
                             : from.homeDir + QStringLiteral("/.local/share");
    return withTrailingSeparator(QDir::cleanPath(base + QStringLiteral("/v270-aktarim")));
}

} // namespace

StartingPoint thisProcess(std::optional<QString> dirOption) {
    StartingPoint from;
    from.dirOption = std::move(dirOption);
    from.envDir = qEnvironmentVariable("V270_AKTARIM_DIR");
    if (!from.dirOption && from.envDir.trimmed().isEmpty()) {
        try {
            from.systemDir = systemProgramDir();
        } catch (const AppError& e) {
            from.systemProblem = e.text();
        }
    }
    from.executableDir = QCoreApplication::applicationDirPath();
    from.executableDirWritable = QFileInfo(from.executableDir).isWritable();
    from.xdgDataHome = qEnvironmentVariable("XDG_DATA_HOME");
    from.homeDir = QDir::homePath();
    return from;
}

QStringList createMissingDatabases(const QString& dir, const QString& executableDir,
                                   const QString& schemaDir) {
    QStringList made;
    for (const QString& name : kDatabases) {
        const QString path = dir + u'/' + name + QStringLiteral(".mdb");
        if (QFileInfo::exists(path)) continue;
        const QString schema = schemaDir.isEmpty() ? findSchemaDir(executableDir) : schemaDir;
        createDatabaseFile(path, schema + u'/' + name + QStringLiteral(".sql"));
        made << name + QStringLiteral(".mdb");
    }
    return made;
}

void shareNewFilesWithGroup(const QString& dir) {
    struct stat st {};
    if (::stat(QFile::encodeName(dir).constData(), &st) != 0 || !(st.st_mode & S_ISGID)) return;
    const mode_t mask = ::umask(0);
    ::umask(mask & ~mode_t(S_IWGRP | S_IRGRP));
}

QString systemSettingsPath() {
    const QString given = qEnvironmentVariable("V270_AKTARIM_CONF");
    return given.isEmpty() ? QStringLiteral("/etc/v270-aktarim/v270-aktarim.conf") : given;
}

QString systemProgramDir(const QString& settingsPath) {
    const QString section = QStringLiteral("Genel"), key = QStringLiteral("ProgramDir");
    struct stat st {};
    if (::stat(QFile::encodeName(settingsPath).constData(), &st) != 0 && errno == ENOENT) return {};
    const std::optional<QByteArray> data = readRegularFile(settingsPath, kMaxSiteFileBytes);
    if (!data)
        throw AppError(QStringLiteral("Sitenin ayar dosyası \"%1\" okunamadı (%2).")
                           .arg(settingsPath, QString::fromLocal8Bit(std::strerror(errno))));
    const QString dir = profileStringFrom(*data, section, key, QString()).trimmed();
    if (dir.isEmpty()) return {};
    const QString where =
        QStringLiteral("\"%1\", satır %2").arg(settingsPath).arg(keyLine(*data, section, key));
    if (const QString problem = directoryNameProblem(dir); !problem.isEmpty())
        throw AppError(QStringLiteral("%1: %2").arg(where, problem));
    if (!QDir::isAbsolutePath(dir))
        throw AppError(QStringLiteral("%1: ProgramDir= mutlak bir yol olmalı (/ ile başlar): "
                                      "\"%2\".")
                           .arg(where, dir));
    return dir;
}

QString directoryNameProblem(const QString& path) {
    if (path.isEmpty()) return QStringLiteral("Program dizininin adı boş.");
    for (QChar c : path) {
        if (c.unicode() < 0x20 || c.unicode() == 0x7f)
            return QStringLiteral("Program dizininin adında bir denetim karakteri (kod %1) var; "
                                  "böyle bir dizin adı kullanılmaz.")
                .arg(c.unicode());
    }
    return {};
}

void requireProgramDirectory(const QString& path) {
    QString bare = path;
    while (bare.size() > 1 && bare.endsWith(u'/'))
        bare.chop(1);
    struct stat st {};
    if (::stat(QFile::encodeName(bare).constData(), &st) != 0) {
        if (errno == ENOENT) throw AppError(QStringLiteral("Program dizini yok: %1").arg(path));
        throw AppError(QStringLiteral("Program dizini \"%1\" açılamadı (%2).")
                           .arg(path, QString::fromLocal8Bit(std::strerror(errno))));
    }
    if (!S_ISDIR(st.st_mode))
        throw AppError(QStringLiteral("Program dizini \"%1\" bir dizin değil.").arg(bare));
}

ProgramDirectory chooseProgramDirectory(const StartingPoint& from) {
    const auto given = [](const QString& dir) -> ProgramDirectory {
        if (const QString problem = directoryNameProblem(dir); !problem.isEmpty())
            throw AppError(problem);
        return {withTrailingSeparator(dir), {}};
    };
    if (from.dirOption) return given(*from.dirOption);
    if (!from.envDir.trimmed().isEmpty()) return given(from.envDir.trimmed());
    if (!from.systemProblem.isEmpty()) throw AppError(from.systemProblem);
    if (!from.systemDir.trimmed().isEmpty()) {
        if (!QDir::isAbsolutePath(from.systemDir.trimmed()))
            throw AppError(QStringLiteral("ProgramDir= mutlak bir yol olmalı (/ ile başlar): "
                                          "\"%1\".")
                               .arg(from.systemDir.trimmed()));
        return given(from.systemDir.trimmed());
    }
    const bool installed = hasSchema(installedSchemaDir(from.executableDir));
    if (from.executableDirWritable && !installed) {
        return {withTrailingSeparator(from.executableDir), {}};
    }

    const QString dir = userDataDir(from);
    if (!QDir().mkpath(dir)) {
        throw AppError(QStringLiteral("Program dizini oluşturulamadı: %1").arg(dir));
    }
    const QStringList made = createMissingDatabases(dir, from.executableDir);
    if (made.isEmpty()) return {dir, {}};
    return {dir, QStringLiteral("Program dizini %1 hazırlandı: boş %2 oluşturuldu.")
                     .arg(dir, made.join(QStringLiteral(" ve ")))};
}
