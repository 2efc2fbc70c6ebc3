#include "CommandLine.h"

#include "EnrollSubcommands.h"
#include "MaintenanceSubcommands.h"
#include "NamesSubcommands.h"
#include "Subcommand.h"
#include "TransferSubcommands.h"
#include "core/AppError.h"

#include <QFileInfo>
#include <QSet>
#include <QTextStream>
#include <cstring>

namespace {

// Every subcommand of the program, in the order --help lists them.
std::vector<Subcommand> allSubcommands() {
    std::vector<Subcommand> all;
    for (auto group :
         {transferSubcommands, maintenanceSubcommands, enrollSubcommands, namesSubcommands}) {
        for (Subcommand& s : group())
            all.push_back(std::move(s));
    }
    return all;
}

QCommandLineOption dirOption() {
    return QCommandLineOption(
        QStringLiteral("dir"),
        QStringLiteral("Program dizini (varsayılan: programın dizini; kurulu programda "
                       "~/.local/share/v270-aktarim)."),
        QStringLiteral("DIR"));
}

// Qt's own options that take a value (QGuiApplication and its X11 platform);
// they belong to the window, and a headless run ignores them.
const QSet<QString>& qtValueOptions() {
    static const QSet<QString> names{"-platform",
                                     "-platformpluginpath",
                                     "-platformtheme",
                                     "-plugin",
                                     "-qmljsdebugger",
                                     "-style",
                                     "-stylesheet",
                                     "-session",
                                     "-display",
                                     "-geometry",
                                     "-title",
                                     "-name",
                                     "-qwindowgeometry",
                                     "-qwindowicon",
                                     "-qwindowtitle",
                                     "-qwindowscreen",
                                     "-fn",
                                     "-font",
                                     "-bg",
                                     "-background",
                                     "-fg",
                                     "-foreground",
                                     "-btn",
                                     "-button",
                                     "-visual",
                                     "-ncols",
                                     "-cmap",
                                     "-im",
                                     "-inputstyle",
                                     "-screen",
                                     "-qtquick"};
    return names;
}

// Qt's own options without a value.
const QSet<QString>& qtFlagOptions() {
    static const QSet<QString> names{"-reverse", "-nograb", "-dograb", "-sync", "-widgetcount"};
    return names;
}

// Our options that take a value, whatever the subcommand.
QSet<QString> valueOptions() {
    QSet<QString> names{QStringLiteral("--dir")};
    for (const Subcommand& s : allSubcommands()) {
        for (const QCommandLineOption& o : s.options) {
            if (o.valueName().isEmpty()) continue;
            for (const QString& n : o.names())
                names.insert((n.size() == 1 ? QStringLiteral("-") : QStringLiteral("--")) + n);
        }
    }
    return names;
}

struct Scan {
    int subcommandIndex = -1; // index in argv of the subcommand's name
    bool helpOrVersion = false;
};

Scan scan(int argc, char** argv) {
    Scan result;
    const QSet<QString> ours = valueOptions();
    for (int i = 1; i < argc; ++i) {
        const QString arg = QString::fromLocal8Bit(argv[i]);
        if (arg == u"--help" || arg == u"-h" || arg == u"-?" || arg == u"--help-all" ||
            arg == u"--version" || arg == u"-v") {
            result.helpOrVersion = true;
            continue;
        }
        if (arg == u"--") {
            if (i + 1 < argc && result.subcommandIndex < 0) result.subcommandIndex = i + 1;
            break;
        }
        if (ours.contains(arg) || qtValueOptions().contains(arg)) {
            ++i;
            continue;
        }
        if (arg.startsWith(u'-')) continue;
        if (result.subcommandIndex < 0) result.subcommandIndex = i;
    }
    return result;
}

ProgramDirectory programDirFrom(const QCommandLineParser& parser, const QCommandLineOption& dir) {
    return chooseProgramDirectory(
        thisProcess(parser.isSet(dir) ? std::optional(parser.value(dir)) : std::nullopt));
}

QString usage(const std::vector<Subcommand>& subcommands) {
    QString text;
    bool first = true;
    for (const Subcommand& s : subcommands) {
        text += first ? QStringLiteral("Kullanım: ") : QStringLiteral("          ");
        text += QStringLiteral("v270-aktarim [--dir DIR] ") + s.name;
        if (!s.synopsis.isEmpty()) text += u' ' + s.synopsis;
        text += u'\n';
        first = false;
    }
    return text;
}

QString description(const std::vector<Subcommand>& subcommands) {
    QString text = QStringLiteral("Parmakizi terminallerinden kayıt aktarımı.\n\n"
                                  "Pencere olmadan (cron, systemd zamanlayıcısı):\n");
    for (const Subcommand& s : subcommands) {
        QString head = s.name;
        if (!s.synopsis.isEmpty()) head += u' ' + s.synopsis;
        text += QStringLiteral("  %1  %2\n").arg(head, -32).arg(s.summary);
    }
    text += QStringLiteral("\nÇıkış kodları: 0 tamam; 2 bağlantı kurulamadı; 1 diğer hatalar.");
    return text;
}

// Arguments without Qt's window options, which a headless run has no use for.
QStringList withoutQtOptions(const QStringList& arguments) {
    QStringList kept;
    for (qsizetype i = 0; i < arguments.size(); ++i) {
        if (i > 0 && qtValueOptions().contains(arguments[i])) {
            ++i;
            continue;
        }
        if (i > 0 && qtFlagOptions().contains(arguments[i])) continue;
        kept << arguments[i];
    }
    return kept;
}

} // namespace

QCommandLineOption terminalOption() {
    return QCommandLineOption(QStringLiteral("terminal"),
                              QStringLiteral("Bu adlı terminal (varsayılan: listenin ilk satırı)."),
                              QStringLiteral("AD"));
}

QString noDeviceText(const QString& consequence) {
    QString text =
        QStringLiteral("Terminal yanıt vermiyor: kilitlenemedi (EnableDevice başarısız)");
    return text + (consequence.isEmpty() ? QStringLiteral(".")
                                         : QStringLiteral("; ") + consequence + u'.');
}

int failWith(QTextStream& err, const QString& text) {
    err << text << '\n';
    err.flush();
    return ExitFailed;
}

int worseExitCode(int a, int b) {
    const auto rank = [](int code) {
        switch (code) {
        case ExitDone:
            return 0;
        case ExitNotConfirmed:
            return 1;
        case ExitFailed:
            return 2;
        case ExitNotConnected:
            return 3;
        }
        return 4; // unknown: worst of all
    };
    return rank(a) >= rank(b) ? a : b;
}

QString programVersion() {
    return QStringLiteral(V270_VERSION);
}

bool isHeadlessInvocation(int argc, char** argv) {
    const Scan s = scan(argc, argv);
    return s.subcommandIndex >= 0 || s.helpOrVersion;
}

int runHeadless(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("v270-aktarim"));
    QCoreApplication::setApplicationVersion(programVersion());
    QTextStream out(stdout);
    QTextStream err(stderr);

    const std::vector<Subcommand> subcommands = allSubcommands();
    const Scan found = scan(argc, argv);
    const QString name = found.subcommandIndex >= 0
                             ? QString::fromLocal8Bit(argv[found.subcommandIndex])
                             : QString();
    const Subcommand* command = nullptr;
    for (const Subcommand& s : subcommands) {
        if (s.name == name) command = &s;
    }

    QCommandLineParser parser;
    parser.setApplicationDescription(description(subcommands));
    parser.addHelpOption();
    parser.addVersionOption();
    const QCommandLineOption dir = dirOption();
    parser.addOption(dir);
    if (command) parser.addOptions(command->options);
    parser.addPositionalArgument(QStringLiteral("komut"),
                                 QStringLiteral("alt komut ve argümanları"),
                                 QStringLiteral("[komut]"));
    // Handles --help and --version itself, and ends the process on an
    // unknown option with the usage.
    parser.process(withoutQtOptions(QCoreApplication::arguments()));

    const QStringList positional = parser.positionalArguments();
    if (!command) {
        err << usage(subcommands);
        err.flush();
        return ExitFailed;
    }
    const QStringList arguments = positional.mid(1);
    if (arguments.size() < command->minArguments || arguments.size() > command->maxArguments) {
        err << usage({*command});
        err.flush();
        return ExitFailed;
    }
    ProgramDirectory chosen;
    try {
        chosen = programDirFrom(parser, dir);
    } catch (const AppError& e) {
        return failWith(err, e.text());
    }
    const QString& programDir = chosen.path;
    if (!chosen.notice.isEmpty()) {
        err << chosen.notice << Qt::endl;
    }
    if (!QFileInfo(programDir).isDir()) {
        err << "Program dizini yok: " << programDir << Qt::endl;
        return ExitFailed;
    }
    return command->run({programDir, arguments, parser, out, err});
}

ProgramDirectory windowProgramDir(const QCoreApplication& app) {
    QCommandLineParser parser;
    const QCommandLineOption dir = dirOption();
    parser.addOption(dir);
    parser.process(app);
    return programDirFrom(parser, dir);
}
