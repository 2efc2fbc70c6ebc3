#include "Application.h"
#include "TfrmDM.h"
#include "Tfrmgiris.h"
#include "bells/Tfrmzil.h"
#include "enroll/TfrmEnrol.h"
#include "registry/Tfrmyeni.h"
#include "transfer/HeadlessCommands.h"

#include <QCommandLineParser>
#include <QDir>
#include <QFileInfo>
#include <QScreen>
#include <QTextStream>
#include <cstdio>
#include <cstring>

namespace {

QString withTrailingSeparator(const QString& dir) {
    QString path = QDir(dir).absolutePath();
    if (!path.endsWith(u'/')) path += u'/';
    return path;
}

// The subcommand, if any: the first argument that is neither an option nor
// the value of one. Decided before any application object exists, since the
// headless commands must not ask for a display.
QString subcommand(int argc, char** argv) {
    for (int i = 1; i < argc; ++i) {
        const char* arg = argv[i];
        if (std::strcmp(arg, "--dir") == 0 || std::strcmp(arg, "--terminal") == 0) {
            ++i;
            continue;
        }
        if (arg[0] == '-') continue;
        return QString::fromLocal8Bit(arg);
    }
    return {};
}

struct Options {
    QString programDir;
    QStringList positional;
    bool all = false;
    QString terminal;
};

Options parseOptions(const QCoreApplication& app) {
    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral(
        "Parmakizi terminallerinden kayıt aktarımı.\n\n"
        "Pencere olmadan (cron, systemd zamanlayıcısı):\n"
        "  transfer [--all] [--terminal AD]  yeni kayıtları (--all: tüm kayıtları) aktarır\n"
        "  sdcard DOSYA                      hafıza kartı dosyasını veri.txt'ye ekler"));
    parser.addHelpOption();
    QCommandLineOption dirOption(QStringLiteral("dir"),
                                 QStringLiteral("Program dizini (varsayılan: programın dizini)."),
                                 QStringLiteral("DIR"));
    QCommandLineOption allOption(QStringLiteral("all"),
                                 QStringLiteral("transfer: tüm kayıtları al (silmez)."));
    QCommandLineOption terminalOption(
        QStringLiteral("terminal"),
        QStringLiteral("transfer: bu adlı terminal (varsayılan: listenin ilk satırı)."),
        QStringLiteral("AD"));
    parser.addOptions({dirOption, allOption, terminalOption});
    parser.addPositionalArgument(QStringLiteral("komut"), QStringLiteral("transfer veya sdcard"),
                                 QStringLiteral("[komut]"));
    parser.process(app);

    Options options;
    options.programDir = withTrailingSeparator(parser.isSet(dirOption)
                                                   ? parser.value(dirOption)
                                                   : QCoreApplication::applicationDirPath());
    options.positional = parser.positionalArguments();
    options.all = parser.isSet(allOption);
    options.terminal = parser.value(terminalOption);
    return options;
}

int runHeadless(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    const Options options = parseOptions(app);
    QTextStream out(stdout);
    QTextStream err(stderr);
    if (!QFileInfo(options.programDir).isDir()) {
        err << "Program dizini yok: " << options.programDir << Qt::endl;
        return 1;
    }
    const QString command = options.positional.value(0);
    if (command == u"transfer" && options.positional.size() == 1) {
        return runTransferCommand(options.programDir, options.all, options.terminal, out, err);
    }
    if (command == u"sdcard" && options.positional.size() == 2) {
        return runSdcardCommand(options.programDir, options.positional[1], out, err);
    }
    err << "Kullanım: v270-aktarim [--dir DIR] transfer [--all] [--terminal AD]\n"
           "          v270-aktarim [--dir DIR] sdcard DOSYA"
        << Qt::endl;
    return 1;
}

} // namespace

int main(int argc, char** argv) {
    if (!subcommand(argc, argv).isEmpty()) return runHeadless(argc, argv);

    Application app(argc, argv);
    app.loadTurkishTranslation();
    const Options options = parseOptions(app);
    if (!QFileInfo(options.programDir).isDir()) {
        std::fprintf(stderr, "Program dizini yok: %s\n", qPrintable(options.programDir));
        return 1;
    }

    // Start-up order: data module, main window, then the secondary windows,
    // each created once for the whole run.
    TfrmDM frmDM;
    Tfrmgiris frmgiris(frmDM, options.programDir);
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
