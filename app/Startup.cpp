#include "Startup.h"

#include "core/Database.h"
#include "core/IniFile.h"
#include "core/Operator.h"
#include "core/TfrmDM.h"
#include "registry/TerminalList.h"

#include <QFileInfo>

void openDataModule(TfrmDM& dm, const QString& programDir, Operator& op) {
    dm.programDir = programDir;
    const QString dataPath = programDir + QStringLiteral("Data.mdb");
    if (QFileInfo::exists(dataPath)) {
        openDatabaseFile(dm.connection1Name(), dataPath);
    } else {
        op.showMessage(QStringLiteral("Data dosyası bulunamadı....."), QStringLiteral("UYARI"),
                       Operator::Icon::Information);
    }
    const QString logPath = programDir + QStringLiteral("Log.mdb");
    if (QFileInfo::exists(logPath)) {
        openDatabaseFile(dm.connection2Name(), logPath);
    } else {
        op.showMessage(QStringLiteral("Log dosyası bulunamadı....."), QStringLiteral("UYARI"),
                       Operator::Icon::Information);
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
