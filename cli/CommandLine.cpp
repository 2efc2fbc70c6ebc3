#include "CommandLine.h"

#include "EnrollSubcommands.h"
#include "HistorySubcommands.h"
#include "MaintenanceSubcommands.h"
#include "NamesSubcommands.h"
#include "SinkSubcommands.h"
#include "Subcommand.h"
#include "TerminalSubcommands.h"
#include "TransferSubcommands.h"
#include "WatchSubcommands.h"
#include "core/AppError.h"
#include "core/ConsoleOperator.h"

#include <QFile>
#include <QFileInfo>
#include <QSet>

#include <cstdio>
#include <optional>

namespace {

// Every subcommand of the program, in the order --help lists them.
const std::vector<Subcommand>& allSubcommands() {
    static const std::vector<Subcommand> all = [] {
        std::vector<Subcommand> list;
        for (auto group :
             {terminalSubcommands, transferSubcommands, historySubcommands, maintenanceSubcommands,
              enrollSubcommands, namesSubcommands, sinkSubcommands, watchSubcommands}) {
            for (Subcommand& s : group())
                list.push_back(std::move(s));
        }
        return list;
    }();
    return all;
}

const Subcommand* findSubcommand(const QString& name) {
    for (const Subcommand& s : allSubcommands()) {
        if (s.name == name) return &s;
    }
    return nullptr;
}

const Option kDir{QStringLiteral("dir"), QStringLiteral("DİZİN"),
                  QStringLiteral("program dizini (sırası: v270-aktarim --help)")};
const Option kQuiet{QStringLiteral("quiet"),
                    {},
                    QStringLiteral("başarıda bilgi satırı yazmaz (cron yalnız hataları "
                                   "postalar); istenen veri yine yazılır"),
                    u'q'};
const Option kHelp{QStringLiteral("help"), {}, QStringLiteral("bu yardımı gösterir"), u'h'};
const Option kVersion{QStringLiteral("version"), {}, QStringLiteral("sürümü gösterir")};
// Hidden: writes the man page from a template, for the build.
const Option kMan{QStringLiteral("man"), QStringLiteral("SABLON"), {}};

QList<Option> globalOptions() {
    return {kDir, kQuiet, kHelp, kVersion};
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

QString spelled(const Option& o) {
    QString text = o.shortName.isNull() ? QString() : QStringLiteral("-%1, ").arg(o.shortName);
    text += QStringLiteral("--") + o.name;
    if (!o.valueName.isEmpty()) text += u' ' + o.valueName;
    return text;
}

// Every spelling of our options that take a value, whatever the subcommand.
QSet<QString> valueOptionSpellings() {
    QSet<QString> names;
    QList<Option> options = globalOptions() << kMan;
    for (const Subcommand& s : allSubcommands())
        options += s.options;
    for (const Option& o : options) {
        if (o.valueName.isEmpty()) continue;
        names.insert(QStringLiteral("--") + o.name);
        if (!o.shortName.isNull()) names.insert(QStringLiteral("-") + o.shortName);
    }
    return names;
}

bool isHelpWord(const QString& arg) {
    return arg == u"--help" || arg == u"-h" || arg == u"-?" || arg == u"--help-all";
}

struct Scan {
    int subcommandIndex = -1; // index in the arguments of the subcommand's name
    bool informational = false;
};

// Finds the subcommand's name: the first word that is neither an option nor
// an option's value.
Scan scan(const QStringList& args) {
    Scan result;
    const QSet<QString> takesValue = valueOptionSpellings();
    for (qsizetype i = 0; i < args.size(); ++i) {
        const QString& arg = args[i];
        if (isHelpWord(arg) || arg == u"--version" || arg == u"-v" || arg == u"--man" ||
            arg.startsWith(u"--man=")) {
            result.informational = true;
            if (arg == u"--man") ++i;
            continue;
        }
        if (arg == u"--") {
            if (i + 1 < args.size() && result.subcommandIndex < 0) result.subcommandIndex = i + 1;
            break;
        }
        if (takesValue.contains(arg) || qtValueOptions().contains(arg)) {
            ++i;
            continue;
        }
        if (arg.startsWith(u'-') && arg != u"-") continue;
        if (result.subcommandIndex < 0) result.subcommandIndex = int(i);
    }
    return result;
}

QStringList withoutQtOptions(const QStringList& arguments) {
    QStringList kept;
    for (qsizetype i = 0; i < arguments.size(); ++i) {
        if (qtValueOptions().contains(arguments[i])) {
            ++i;
            continue;
        }
        if (qtFlagOptions().contains(arguments[i])) continue;
        kept << arguments[i];
    }
    return kept;
}

QString programLine() {
    return QStringLiteral("v270-aktarim [--dir DİZİN] [-q] ");
}

QString usageLines(const Subcommand& s) {
    QString text;
    for (const QString& synopsis : s.synopses) {
        text += text.isEmpty() ? QStringLiteral("Kullanım: ") : QStringLiteral("          ");
        text += programLine() + s.name;
        if (!synopsis.isEmpty()) text += u' ' + synopsis;
        text += u'\n';
    }
    return text;
}

constexpr int kHelpWidth = 79;

// text broken into lines of at most kHelpWidth at blanks, the first line
// after first (as long as indent), the others after indent blanks.
QString wrapped(const QString& first, int indent, const QString& text) {
    QString out = first.leftJustified(indent);
    int column = int(out.size());
    bool lineStart = true;
    for (const QString& word : text.split(u' ', Qt::SkipEmptyParts)) {
        if (!lineStart && column + 1 + word.size() > kHelpWidth) {
            out += u'\n' + QString(indent, u' ');
            column = indent;
            lineStart = true;
        }
        if (!lineStart) {
            out += u' ';
            ++column;
        }
        out += word;
        column += int(word.size());
        lineStart = false;
    }
    return out + u'\n';
}

QString paragraphs(const QString& text) {
    QString out;
    for (const QString& paragraph : text.split(QStringLiteral("\n\n"))) {
        if (!out.isEmpty()) out += u'\n';
        out += wrapped({}, 0, paragraph);
    }
    return out;
}

QString optionLines(const QList<Option>& options) {
    qsizetype width = 0;
    for (const Option& o : options)
        width = std::max(width, spelled(o).size());
    QString text;
    for (const Option& o : options)
        text += wrapped(QStringLiteral("  ") + spelled(o), int(width) + 4, o.description);
    return text;
}

QString exitCodeLines() {
    QString text;
    for (const ExitCodeText& e : exitCodeTable())
        text += wrapped(QStringLiteral("  %1").arg(e.code), 7, e.text);
    return text + wrapped(QStringLiteral("  "), 2,
                          QStringLiteral("--all-terminals ile en kötüsü, bu sırayla: %1.")
                              .arg(worstOrderText()));
}

QString programDirectoryText() {
    return paragraphs(
        QStringLiteral(
            "Program dizini: --dir DİZİN; yoksa V270_AKTARIM_DIR; yoksa %1 dosyasının "
            "[Genel] bölümündeki ProgramDir=; yoksa programın dizini (yazılabilir ve kurulu "
            "değilse), en sonunda ~/.local/share/v270-aktarim.")
            .arg(systemSettingsPath()));
}

QString subcommandHelp(const Subcommand& s) {
    QString text = usageLines(s) + u'\n' + paragraphs(s.description);
    if (!s.options.isEmpty()) text += QStringLiteral("\nSeçenekler:\n") + optionLines(s.options);
    text += QStringLiteral("\nGenel seçenekler:\n") + optionLines(globalOptions());
    text += QStringLiteral("\nÇıkış kodları:\n") + exitCodeLines();
    return text;
}

QString programHelp() {
    QString text = QStringLiteral(
        "Kullanım: v270-aktarim [--dir DİZİN] [Qt seçenekleri]          pencereyi açar\n"
        "          v270-aktarim [--dir DİZİN] [-q] KOMUT [seçenekler]   pencere olmadan\n"
        "          v270-aktarim KOMUT --help\n\n");
    text += paragraphs(QStringLiteral("Parmakizi terminallerinden kayıt aktarımı. Pencere "
                                      "olmadan (cron, systemd zamanlayıcısı) çalışan "
                                      "komutlar:")) +
            u'\n';
    qsizetype width = 0;
    for (const Subcommand& s : allSubcommands())
        width = std::max(width, s.name.size());
    for (const Subcommand& s : allSubcommands())
        text += wrapped(QStringLiteral("  ") + s.name, int(width) + 4, s.summary);
    text += QStringLiteral("\nHer komutun ayrıntısı: v270-aktarim KOMUT --help\n");
    text += QStringLiteral("\nGenel seçenekler:\n") + optionLines(globalOptions());
    text += u'\n' + programDirectoryText();
    text +=
        u'\n' + paragraphs(QStringLiteral("Sonuçlar standart çıktıya, hatalar ve ilerleme standart "
                                          "hataya yazılır."));
    text += QStringLiteral("\nÇıkış kodları:\n") + exitCodeLines();
    return text;
}

// The outcome of parsing: the subcommand with its options and arguments, or
// what to say instead.
struct Parsed {
    const Subcommand* command = nullptr;
    GivenOptions options;
    QStringList arguments; // after the subcommand's name
    QString error;         // a usage error
};

const Option* optionNamed(const QList<Option>& options, const QString& name, bool shortName) {
    for (const Option& o : options) {
        if (shortName ? (name.size() == 1 && o.shortName == name[0]) : o.name == name) return &o;
    }
    return nullptr;
}

Parsed parse(const QStringList& args) {
    Parsed p;
    const Scan found = scan(args);
    QString name;
    if (found.subcommandIndex >= 0) {
        name = args[found.subcommandIndex];
        p.command = findSubcommand(name);
        if (!p.command) {
            p.error = QStringLiteral("Bilinmeyen komut: \"%1\".").arg(name);
            return p;
        }
    }
    QList<Option> known = globalOptions() << kMan;
    if (p.command) known += p.command->options;
    known << Option{QStringLiteral("help"), {}, {}, u'?'}; // -? as well as -h
    bool optionsEnded = false;
    for (qsizetype i = 0; i < args.size(); ++i) {
        const QString& arg = args[i];
        if (i == found.subcommandIndex) continue;
        if (optionsEnded || !arg.startsWith(u'-') || arg == u"-") {
            p.arguments << arg;
            continue;
        }
        if (arg == u"--") {
            optionsEnded = true;
            continue;
        }
        if (arg == u"--help-all" || arg == u"-v") {
            p.options.set(arg == u"-v" ? kVersion.name : kHelp.name, {});
            continue;
        }
        const bool isLong = arg.startsWith(u"--");
        QString key = arg.mid(isLong ? 2 : 1);
        std::optional<QString> inlineValue;
        if (isLong && key.contains(u'=')) {
            inlineValue = key.section(u'=', 1);
            key = key.section(u'=', 0, 0);
        }
        const Option* o = optionNamed(known, key, !isLong);
        if (!o) {
            if (p.error.isEmpty()) p.error = QStringLiteral("Bilinmeyen seçenek: %1").arg(arg);
            continue;
        }
        if (o->valueName.isEmpty()) {
            if (inlineValue && p.error.isEmpty())
                p.error = QStringLiteral("--%1 değer almaz.").arg(o->name);
            p.options.set(o->name, {});
        } else if (inlineValue) {
            p.options.set(o->name, *inlineValue);
        } else if (i + 1 < args.size()) {
            p.options.set(o->name, args[++i]);
        } else if (p.error.isEmpty()) {
            p.error = QStringLiteral("--%1 bir değer ister (%2).").arg(o->name, o->valueName);
        }
    }
    return p;
}

// --help, --version and --man answer alone, whatever else is given;
// nullopt when none of them is.
std::optional<int> answerInformational(const Parsed& p, QTextStream& out, QTextStream& err) {
    if (p.options.isSet(kHelp)) {
        out << (p.command ? subcommandHelp(*p.command) : programHelp());
        out.flush();
        return ExitDone;
    }
    if (p.options.isSet(kVersion)) {
        out << "v270-aktarim " << programVersion() << '\n';
        out.flush();
        return ExitDone;
    }
    if (!p.options.isSet(kMan)) return std::nullopt;
    QFile file(p.options.value(kMan));
    if (!file.open(QIODevice::ReadOnly))
        return failWith(err, QStringLiteral("%1: %2").arg(file.fileName(), file.errorString()));
    out << manPage(QString::fromUtf8(file.readAll()));
    out.flush();
    return ExitDone;
}

// The usage error of a command line that can't run, or nullopt when it can:
// then p.command is set and takes as many arguments as given.
std::optional<int> usageProblem(const Parsed& p, QTextStream& err) {
    const QString name = p.command ? p.command->name : QString();
    if (!p.error.isEmpty()) return usageError(err, p.error, name);
    if (!p.command) return usageError(err, QStringLiteral("Komut eksik."), {});
    if (p.arguments.size() < p.command->minArguments)
        return usageError(err, QStringLiteral("Eksik argüman."), name);
    if (p.arguments.size() > p.command->maxArguments)
        return usageError(err, QStringLiteral("Fazla argüman: %1").arg(p.arguments.last()), name);
    return std::nullopt;
}

// Runs command in the program directory chosen; what it says goes to said.
int runSubcommand(const Subcommand& command, const Parsed& p, QTextStream& out, QTextStream& said) {
    ProgramDirectory chosen;
    try {
        // --dir decides alone; the process is asked only without it.
        StartingPoint given;
        given.dirOption = p.options.value(kDir);
        chosen = chooseProgramDirectory(p.options.isSet(kDir) ? given : thisProcess(std::nullopt));
    } catch (const AppError& e) {
        return failWith(said, e.text());
    }
    if (!chosen.notice.isEmpty()) said << chosen.notice << Qt::endl;
    try {
        requireProgramDirectory(chosen.path);
        shareNewFilesWithGroup(chosen.path);
        const bool offersAll =
            std::any_of(command.options.begin(), command.options.end(),
                        [](const Option& o) { return o.name == u"all-terminals"; });
        return command.run(
            {chosen.path, p.arguments, p.options, {out, said, p.options.isSet(kQuiet)}, offersAll});
    } catch (const std::exception& e) {
        // Whatever a command lets escape ends it with its text and exit
        // code 1, never with an abort.
        said.flush();
        return failWith(said, errorText(e));
    }
}

} // namespace

const std::vector<ExitCodeText>& exitCodeTable() {
    static const std::vector<ExitCodeText> table{
        {ExitDone, QStringLiteral("tamam; aktarılacak kayıt yoksa da")},
        {ExitFailed, QStringLiteral("başarısız; nedeni standart hatada")},
        {ExitNotConnected, QStringLiteral("terminale bağlanılamadı")},
        {ExitNotConfirmed,
         QStringLiteral("kayıtlar dosyalarda, ama terminal onaylamadı; sonraki aktarım işi "
                        "kayıtları iki kez yazmadan bitirir")},
        {ExitBusy, QStringLiteral("terminali ya da program dizinini başka bir komut tutuyor; "
                                  "hiçbir şey değişmedi")},
        {ExitUsage, QStringLiteral("kullanım hatası: bilinmeyen komut ya da seçenek, geçersiz "
                                   "değer, terminal seçilemedi")},
        {ExitCancelled, QStringLiteral("Ctrl-C ile durduruldu; yazılanlar yerinde kalır")},
    };
    return table;
}

const std::vector<int>& exitCodesWorstFirst() {
    // A stop asked for ends the run; a usage error is the caller's to fix; a
    // terminal out of reach is the likeliest fault of a site and outranks
    // other failures; a busy terminal or directory clears by itself; records
    // waiting for a confirmation are safe in the files.
    static const std::vector<int> order{ExitCancelled, ExitUsage, ExitNotConnected,
                                        ExitFailed,    ExitBusy,  ExitNotConfirmed,
                                        ExitDone};
    return order;
}

QString worstOrderText() {
    QStringList codes;
    for (int code : exitCodesWorstFirst())
        codes << QString::number(code);
    return codes.join(QStringLiteral(", "));
}

int worseExitCode(int a, int b) {
    const auto rank = [](int code) {
        const std::vector<int>& order = exitCodesWorstFirst();
        const auto at = std::find(order.begin(), order.end(), code);
        return at == order.end() ? -1 : int(at - order.begin()); // unknown: worst of all
    };
    return rank(a) <= rank(b) ? a : b;
}

Option terminalOption() {
    return {QStringLiteral("terminal"), QStringLiteral("AD"),
            QStringLiteral("bu adlı terminal (büyük/küçük harf ayrımı yok); listede tek "
                           "terminal varsa gerekmez")};
}

Option allTerminalsOption() {
    return {QStringLiteral("all-terminals"),
            {},
            QStringLiteral("listedeki her terminalde (--jobs ile aynı anda birkaçında); biri "
                           "başarısız olsa da ötekiler yapılır")};
}

Option jobsOption() {
    return {QStringLiteral("jobs"), QStringLiteral("N"),
            QStringLiteral("--all-terminals ile aynı anda en çok N terminal (1-32; varsayılan "
                           "terminal sayısı, en çok 8); 1 terminalleri sırayla yapar")};
}

Option jsonOption() {
    return {QStringLiteral("json"), {}, QStringLiteral("sonucu JSON olarak yazar")};
}

Option yesOption(const QString& what) {
    return {QStringLiteral("yes"),
            {},
            QStringLiteral("%1; onay olmadan hiçbir şey gönderilmez").arg(what)};
}

QString noDeviceText(const QString& consequence) {
    QString text =
        QStringLiteral("Terminal yanıt vermiyor: kilitlenemedi (EnableDevice başarısız)");
    return text + (consequence.isEmpty() ? QStringLiteral(".")
                                         : QStringLiteral("; ") + consequence + u'.');
}

int failWith(QTextStream& err, const QString& text, int code) {
    err << text << '\n';
    err.flush();
    return code;
}

int usageError(QTextStream& err, const QString& text, const QString& subcommand) {
    err << text << '\n';
    if (const Subcommand* s = findSubcommand(subcommand)) err << usageLines(*s);
    err << "Ayrıntılar: v270-aktarim " << (subcommand.isEmpty() ? QString() : subcommand + u' ')
        << "--help\n";
    err.flush();
    return ExitUsage;
}

QString programVersion() {
    return QStringLiteral(V270_VERSION);
}

bool isHeadlessInvocation(int argc, char** argv) {
    QStringList args;
    for (int i = 1; i < argc; ++i)
        args << QString::fromLocal8Bit(argv[i]);
    const Scan s = scan(withoutQtOptions(args));
    return s.subcommandIndex >= 0 || s.informational;
}

int runCommandLine(const QStringList& arguments, QTextStream& out, QTextStream& err) {
    const Parsed p = parse(arguments);
    if (const std::optional<int> code = answerInformational(p, out, err)) return *code;
    if (const std::optional<int> code = usageProblem(p, err)) return *code;

    const bool quiet = p.options.isSet(kQuiet);
    // Quiet: what the command says is held, and shown only when it fails.
    QString held;
    QTextStream heldStream(&held);
    QTextStream& said = quiet ? heldStream : err;
    const auto finish = [&](int code) {
        if (quiet && code != ExitDone) {
            heldStream.flush();
            err << held;
            err.flush();
        }
        return code;
    };
    return finish(runSubcommand(*p.command, p, out, said));
}

int runHeadless(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("v270-aktarim"));
    QCoreApplication::setApplicationVersion(programVersion());
    ConsoleOperator::catchInterrupt();
    QTextStream out(stdout);
    QTextStream err(stderr);
    return runCommandLine(withoutQtOptions(QCoreApplication::arguments().mid(1)), out, err);
}

ProgramDirectory windowProgramDir(const QCoreApplication& app) {
    const QStringList args = QCoreApplication::arguments().mid(1);
    Q_UNUSED(app);
    std::optional<QString> dir;
    QString error;
    for (qsizetype i = 0; i < args.size() && error.isEmpty(); ++i) {
        if (args[i] == u"--dir" && i + 1 < args.size()) {
            dir = args[++i];
        } else if (args[i].startsWith(u"--dir=")) {
            dir = args[i].mid(6);
        } else if (args[i] == u"--dir") {
            error = QStringLiteral("--dir bir değer ister (DİZİN).");
        } else {
            error = QStringLiteral("Bilinmeyen seçenek: %1").arg(args[i]);
        }
    }
    if (!error.isEmpty()) {
        std::fprintf(stderr,
                     "%s\nKullanım: v270-aktarim [--dir DİZİN] [Qt seçenekleri]\n"
                     "Ayrıntılar: v270-aktarim --help\n",
                     qPrintable(error));
        std::exit(ExitUsage);
    }
    ProgramDirectory chosen = chooseProgramDirectory(thisProcess(dir));
    shareNewFilesWithGroup(chosen.path);
    return chosen;
}

namespace {

// Roff text: backslashes and hyphens as roff wants them; letters outside
// ASCII are escaped for the whole page at the end.
QString roff(const QString& text) {
    QString out;
    for (QChar c : text) {
        if (c == u'\\')
            out += QStringLiteral("\\e");
        else if (c == u'-')
            out += QStringLiteral("\\-");
        else
            out += c;
    }
    return out;
}

QString roffLines(const QString& text) {
    QString out;
    for (const QString& line : text.split(u'\n')) {
        QString l = roff(line);
        if (l.startsWith(u'.') || l.startsWith(u'\'')) l.prepend(QStringLiteral("\\&"));
        out += l + u'\n';
    }
    return out;
}

QString manSynopsis() {
    QString text;
    text += QStringLiteral(".B v270\\-aktarim\n.RB [ \\-\\-dir\n.IR DİZİN ]\n.RI [ \"Qt "
                           "se\\[u00E7]enekleri\" ]\n.br\n");
    for (const Subcommand& s : allSubcommands()) {
        for (const QString& synopsis : s.synopses) {
            text +=
                QStringLiteral(".B v270\\-aktarim\n.RB [ \\-\\-dir\n.IR DİZİN ]\n.RB [ \\-q ]\n");
            text += QStringLiteral(".B %1\n").arg(roff(s.name));
            if (!synopsis.isEmpty()) text += roffLines(synopsis);
            text += QStringLiteral(".br\n");
        }
    }
    text += QStringLiteral(".B v270\\-aktarim\n.RI [ KOMUT ]\n.BR \\-\\-help \" | \" "
                           "\\-\\-version\n");
    return text;
}

QString manOptions(const QList<Option>& options) {
    QString text;
    for (const Option& o : options)
        text += QStringLiteral(".TP\n.B %1\n%2").arg(roff(spelled(o)), roffLines(o.description));
    return text;
}

QString manSubcommands() {
    QString text;
    for (const Subcommand& s : allSubcommands()) {
        text += QStringLiteral(".SS %1\n").arg(roff(s.name));
        for (const QString& synopsis : s.synopses)
            text +=
                QStringLiteral(".B v270\\-aktarim %1 %2\n.br\n").arg(roff(s.name), roff(synopsis));
        text += QStringLiteral(".PP\n");
        for (const QString& paragraph : s.description.split(QStringLiteral("\n\n")))
            text += roffLines(paragraph) + QStringLiteral(".PP\n");
        text += manOptions(s.options);
    }
    text += QStringLiteral(".SS Genel se\\[u00E7]enekler\n") + manOptions(globalOptions());
    return text;
}

QString manExitStatus() {
    QString text;
    for (const ExitCodeText& e : exitCodeTable())
        text += QStringLiteral(".TP\n.B %1\n%2").arg(e.code).arg(roffLines(e.text));
    text +=
        QStringLiteral(".PP\n") +
        roffLines(
            QStringLiteral("--all-terminals ile en kötüsü, bu sırayla: %1.").arg(worstOrderText()));
    return text;
}

} // namespace

QString manPage(const QString& templateText) {
    QString page = templateText;
    page.replace(QStringLiteral("@SYNOPSIS@\n"), manSynopsis());
    page.replace(QStringLiteral("@SUBCOMMANDS@\n"), manSubcommands());
    page.replace(QStringLiteral("@EXIT_STATUS@\n"), manExitStatus());
    // The template's own Turkish letters, as the generated ones.
    QString escaped;
    for (QChar c : page) {
        if (c.unicode() > 127)
            escaped += QStringLiteral("\\[u%1]").arg(
                QString::number(c.unicode(), 16).toUpper().rightJustified(4, u'0'));
        else
            escaped += c;
    }
    return escaped;
}
