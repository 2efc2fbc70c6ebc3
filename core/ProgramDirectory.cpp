#include "ProgramDirectory.h"

#include "AppError.h"
#include "Database.h"
#include "IniFile.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>

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
    from.systemDir = systemProgramDir();
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
    return readProfileString(settingsPath, QStringLiteral("Genel"), QStringLiteral("ProgramDir"),
                             QString());
}

ProgramDirectory chooseProgramDirectory(const StartingPoint& from) {
    if (from.dirOption) return {withTrailingSeparator(*from.dirOption), {}};
    for (const QString& site : {from.envDir, from.systemDir})
        if (!site.trimmed().isEmpty()) return {withTrailingSeparator(site.trimmed()), {}};
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
