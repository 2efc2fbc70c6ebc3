// v270-init-program-dir DIR [SCHEMA_DIR]: makes a program directory ready
// with empty Data.mdb and Log.mdb where they are missing. Existing files are
// never touched, so it is safe to run again.

#include "core/AppError.h"
#include "core/ProgramDirectory.h"

#include <QCoreApplication>
#include <QDir>
#include <QTextStream>

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    QTextStream out(stdout);
    QTextStream err(stderr);
    const QStringList args = QCoreApplication::arguments().mid(1);
    const char* const usage = "Kullanım: v270-init-program-dir DIZIN [SEMA_DIZINI]\n";
    if (args.value(0) == u"--help") {
        out << usage;
        return 0;
    }
    if (args.isEmpty() || args.size() > 2 || args[0].startsWith(u'-')) {
        err << usage;
        return 1;
    }
    const QString dir = QDir(args[0]).absolutePath();
    try {
        if (!QDir().mkpath(dir)) {
            throw AppError(QStringLiteral("Dizin oluşturulamadı: %1").arg(dir));
        }
        for (const QString& name :
             createMissingDatabases(dir, QCoreApplication::applicationDirPath(), args.value(1))) {
            out << "oluşturuldu: " << dir << '/' << name << '\n';
        }
    } catch (const AppError& e) {
        err << e.text() << '\n';
        return 1;
    }
    return 0;
}
