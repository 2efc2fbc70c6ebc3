#include "Application.h"
#include "TfrmDM.h"
#include "Tfrmgiris.h"
#include "bells/Tfrmzil.h"
#include "enroll/TfrmEnrol.h"
#include "registry/Tfrmyeni.h"

#include <QCommandLineParser>
#include <QDir>
#include <QFileInfo>
#include <QScreen>
#include <cstdio>

namespace {

QString withTrailingSeparator(const QString& dir) {
    QString path = QDir(dir).absolutePath();
    if (!path.endsWith(u'/')) path += u'/';
    return path;
}

} // namespace

int main(int argc, char** argv) {
    Application app(argc, argv);
    app.loadTurkishTranslation();

    QCommandLineParser parser;
    parser.setApplicationDescription(
        QStringLiteral("Parmakizi terminallerinden kayıt aktarımı (V270)."));
    parser.addHelpOption();
    QCommandLineOption dirOption(QStringLiteral("dir"),
                                 QStringLiteral("Program dizini (varsayılan: programın dizini)."),
                                 QStringLiteral("DIR"));
    parser.addOption(dirOption);
    parser.process(app);

    const QString programDir = withTrailingSeparator(
        parser.isSet(dirOption) ? parser.value(dirOption) : QCoreApplication::applicationDirPath());
    if (!QFileInfo(programDir).isDir()) {
        std::fprintf(stderr, "Program dizini yok: %s\n", qPrintable(programDir));
        return 1;
    }

    // Start-up order: data module, main window, then the secondary windows,
    // each created once for the whole run.
    TfrmDM frmDM;
    Tfrmgiris frmgiris(frmDM, programDir);
    app.setErrorOperator(&frmgiris.op());
    Tfrmyeni frmyeni(frmDM, frmgiris.op(), &frmgiris);
    TfrmEnrol frmEnrol(&frmgiris);
    Tfrmzil frmzil(&frmgiris);
    frmgiris.setSecondaryWindows(&frmyeni, &frmEnrol, &frmzil);

    frmgiris.show();
    // Centred on the desktop.
    if (const QScreen* screen = frmgiris.screen()) {
        frmgiris.move(screen->availableGeometry().center() - frmgiris.rect().center());
    }
    return app.exec();
}
