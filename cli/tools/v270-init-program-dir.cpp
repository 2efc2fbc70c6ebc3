// v270-init-program-dir [--group GROUP] [--system] DIR [SCHEMA_DIR]: makes a
// program directory ready with empty Data.mdb and Log.mdb where they are
// missing. Existing files are never touched, so it is safe to run again.
// --group shares the directory with a group (the desktop operators and the
// scheduled job's user); --system makes it the site's directory for every
// program and unit of the package.

#include "core/AppError.h"
#include "core/IniFile.h"
#include "core/ProgramDirectory.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTextStream>

#include <cerrno>
#include <cstring>
#include <grp.h>
#include <optional>
#include <sys/stat.h>
#include <unistd.h>

namespace {

const char* const kUsage =
    "Kullanım: v270-init-program-dir [--group GRUP] [--system] DİZİN [ŞEMA_DİZİNİ]\n"
    "  --group GRUP  dizini ve veritabanlarını gruba verir: dizin setgid, yapışkan\n"
    "                ve grup yazabilir (3770), veritabanları 0660\n"
    "  DİZİN         mutlak bir yol (/ ile başlar)\n"
    "  --system      DİZİN'i sitenin program dizini yapar (/etc/v270-aktarim/\n"
    "                v270-aktarim.conf, [Genel] ProgramDir=); root gerekir\n";

void setOwnerGroupAndMode(const QString& path, gid_t group, mode_t mode) {
    const QByteArray native = QFile::encodeName(path);
    if (::chown(native.constData(), static_cast<uid_t>(-1), group) != 0 ||
        ::chmod(native.constData(), mode) != 0)
        throw AppError(QStringLiteral("%1: grup ya da izinler ayarlanamadı (%2)")
                           .arg(path, QString::fromLocal8Bit(std::strerror(errno))));
}

// What the command line asks for.
struct Request {
    QString group; // empty: the directory is not shared
    bool system = false;
    QString dir;       // absolute and clean
    QString schemaDir; // empty: the schema files of the install
};

// The request of args, or nullopt once err says what is wrong.
std::optional<Request> parseRequest(QStringList args, QTextStream& err) {
    Request request;
    while (!args.isEmpty() && args[0].startsWith(u'-')) {
        if (args[0] == u"--group" && args.size() > 1) {
            request.group = args[1];
            args.remove(0, 2);
        } else if (args[0] == u"--system") {
            request.system = true;
            args.removeFirst();
        } else {
            err << kUsage;
            return std::nullopt;
        }
    }
    if (args.isEmpty() || args.size() > 2) {
        err << kUsage;
        return std::nullopt;
    }
    // A relative directory would be taken against wherever this runs, and
    // the site's setting would name another one for every other process.
    if (!QDir::isAbsolutePath(args[0])) {
        err << QStringLiteral("Dizin mutlak bir yol olmalı (/ ile başlar): \"%1\"\n").arg(args[0])
            << kUsage;
        return std::nullopt;
    }
    if (const QString problem = directoryNameProblem(args[0]); !problem.isEmpty()) {
        err << problem << '\n';
        return std::nullopt;
    }
    request.dir = QDir::cleanPath(args[0]);
    request.schemaDir = args.value(1);
    return request;
}

gid_t groupId(const QString& group) {
    const struct group* g = ::getgrnam(group.toLocal8Bit().constData());
    if (!g) throw AppError(QStringLiteral("Böyle bir grup yok: %1").arg(group));
    return g->gr_gid;
}

// Hands the databases and the settings file that exist to the group.
void shareFilesWithGroup(const QString& dir, gid_t gid) {
    for (const char* name : {"Data.mdb", "Log.mdb", "Settings.ini"}) {
        const QString path = dir + u'/' + QLatin1String(name);
        if (QFileInfo::exists(path)) setOwnerGroupAndMode(path, gid, 0660);
    }
}

void makeSiteProgramDir(const QString& dir, QTextStream& out) {
    const QString settings = systemSettingsPath();
    QDir().mkpath(QFileInfo(settings).absolutePath());
    writeProfileString(settings, QStringLiteral("Genel"), QStringLiteral("ProgramDir"), dir);
    // Everyone reads where the site's directory is; only root changes it.
    ::chmod(QFile::encodeName(settings).constData(), 0644);
    out << "sitenin program dizini: " << dir << " (" << settings << ")\n";
}

void prepareProgramDir(const Request& request, QTextStream& out) {
    const QString& dir = request.dir;
    const bool shared = !request.group.isEmpty();
    const gid_t gid = shared ? groupId(request.group) : 0;
    if (!QDir().mkpath(dir)) {
        throw AppError(QStringLiteral("Dizin oluşturulamadı: %1").arg(dir));
    }
    // Group first, so the databases made next inherit it (setgid). The
    // sticky bit keeps a member from replacing another's files, the lock
    // and the journal, with links or files of their own.
    if (shared) setOwnerGroupAndMode(dir, gid, 03770);
    for (const QString& name :
         createMissingDatabases(dir, QCoreApplication::applicationDirPath(), request.schemaDir)) {
        out << "oluşturuldu: " << dir << '/' << name << '\n';
    }
    if (shared) {
        shareFilesWithGroup(dir, gid);
        out << "paylaşıldı: " << dir << " (grup " << request.group << ")\n";
    }
    if (request.system) makeSiteProgramDir(dir, out);
}

} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    QTextStream out(stdout);
    QTextStream err(stderr);
    const QStringList args = QCoreApplication::arguments().mid(1);
    if (args.value(0) == u"--help") {
        out << kUsage;
        return 0;
    }
    const std::optional<Request> request = parseRequest(args, err);
    if (!request) return 64;
    try {
        prepareProgramDir(*request, out);
    } catch (const AppError& e) {
        err << e.text() << '\n';
        return 1;
    }
    return 0;
}
