#include "Startup.h"

#include "core/Database.h"
#include "core/IniFile.h"
#include "core/Operator.h"
#include "core/TfrmDM.h"
#include "registry/TerminalList.h"

#include <QFileInfo>
#include <QRegularExpression>

namespace {

// A path as it can be pasted into a shell.
QString shellQuoted(const QString& path) {
    static const QRegularExpression plain(QStringLiteral("^[A-Za-z0-9_./+-]+$"));
    if (plain.match(path).hasMatch()) return path;
    QString quoted = path;
    quoted.replace(u'\'', QStringLiteral("'\\''"));
    return u'\'' + quoted + u'\'';
}

} // namespace

QString missingDatabasesText(const QString& programDir, const QStringList& lines) {
    QString dir = programDir;
    if (dir.size() > 1 && dir.endsWith(u'/')) dir.chop(1);
    return lines.join(u'\n') + QStringLiteral("\n\nProgram dizini: %1\n"
                                              "Eksik veritabanlarını boş olarak oluşturmak için:\n"
                                              "v270-init-program-dir %2")
                                   .arg(dir, shellQuoted(dir));
}

void openDataModule(TfrmDM& dm, const QString& programDir, Operator& op) {
    dm.programDir = programDir;
    const struct {
        const char* file;
        QString connection;
        const char* missing;
    } files[] = {
        {"Data.mdb", dm.connection1Name(), "Data dosyası bulunamadı....."},
        {"Log.mdb", dm.connection2Name(), "Log dosyası bulunamadı....."},
    };
    QStringList missing;
    for (const auto& f : files) {
        const QString path = programDir + QLatin1String(f.file);
        if (QFileInfo::exists(path))
            openDatabaseFile(f.connection, path);
        else
            missing << QString::fromUtf8(f.missing);
    }
    // One box for both files, with where they were looked for and how to
    // make them; without Data.mdb the empty terminal list needs no box of
    // its own.
    if (!missing.isEmpty())
        op.showMessage(missingDatabasesText(programDir, missing), QStringLiteral("UYARI"),
                       Operator::Icon::Information);
    if (!QFileInfo::exists(programDir + QStringLiteral("Data.mdb"))) {
        dm.qrycihaz.clear();
        return;
    }
    reopenTerminalList(dm);
}

bool readSecondFileOption(const QString& settingsPath) {
    return readProfileString(settingsPath, QStringLiteral("Options"), QStringLiteral("veriDosya2"),
                             QString()) == QStringLiteral("1");
}

void saveSecondFileOption(const QString& settingsPath, bool on) {
    writeProfileString(settingsPath, QStringLiteral("Options"), QStringLiteral("veriDosya2"),
                       on ? QStringLiteral("1") : QStringLiteral("0"));
}
