// The program's command line, run as a child process without a display.

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QProcessEnvironment>
#include <QTemporaryDir>

#include <sys/stat.h>
#include <unistd.h>
#include <gtest/gtest.h>

namespace {

struct ProgramRun {
    int code;
    QString out;
    QString err;
};

ProgramRun runProgram(const QStringList& args, const QString& program = V270_PROGRAM,
                      const QString& xdgDataHome = {},
                      const QList<std::pair<QString, QString>>& extraEnv = {}) {
    QProcess p;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    if (!xdgDataHome.isEmpty()) env.insert(QStringLiteral("XDG_DATA_HOME"), xdgDataHome);
    env.remove(QStringLiteral("V270_AKTARIM_DIR"));
    for (const auto& [name, value] : extraEnv)
        env.insert(name, value);
    env.remove(QStringLiteral("DISPLAY"));
    env.remove(QStringLiteral("WAYLAND_DISPLAY"));
    env.remove(QStringLiteral("QT_QPA_PLATFORM"));
    p.setProcessEnvironment(env);
    p.start(program, args);
    EXPECT_TRUE(p.waitForFinished(20000)) << args.join(' ').toStdString();
    return {p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1,
            QString::fromUtf8(p.readAllStandardOutput()),
            QString::fromUtf8(p.readAllStandardError())};
}

TEST(CommandLine, HelpAndVersionNeedNoDisplay) {
    const ProgramRun help = runProgram({"--help"});
    EXPECT_EQ(help.code, 0) << help.err.toStdString();
    for (const char* subcommand : {"terminals", "transfer", "sdcard", "clock", "admin-clear",
                                   "clear-fingerprints", "bells", "enroll", "names"})
        EXPECT_TRUE(help.out.contains(QStringLiteral("  %1 ").arg(subcommand))) << subcommand;
    EXPECT_TRUE(help.out.contains("130  Ctrl-C")) << help.out.toStdString();

    const ProgramRun version = runProgram({"--version"});
    EXPECT_EQ(version.code, 0) << version.err.toStdString();
    EXPECT_EQ(version.out.trimmed(), QStringLiteral("v270-aktarim " V270_VERSION));
}

TEST(CommandLine, UnknownSubcommandOrArgumentsPrintTheUsage) {
    QTemporaryDir dir;
    for (const QStringList& args :
         {QStringList{"--dir", dir.path(), "yok"}, QStringList{"--dir", dir.path(), "sdcard"},
          QStringList{"--dir", dir.path(), "transfer", "fazla"}}) {
        const ProgramRun r = runProgram(args);
        EXPECT_EQ(r.code, 64) << args.join(' ').toStdString();
        EXPECT_TRUE(r.err.contains("v270-aktarim")) << r.err.toStdString();
        EXPECT_EQ(r.out, "");
    }
    const ProgramRun option = runProgram({"--dir", dir.path(), "transfer", "--bilinmeyen"});
    EXPECT_EQ(option.code, 64);
    EXPECT_TRUE(option.err.contains("bilinmeyen")) << option.err.toStdString();
}

TEST(CommandLine, QtOptionsReachQt) {
    // The window's way: Qt takes -platform and its value, and the program
    // goes on to look at --dir (missing here, so it stops right there).
    QTemporaryDir dir;
    const QString missing = dir.filePath("yok");
    const ProgramRun window = runProgram({"--dir", missing, "-platform", "offscreen"});
    EXPECT_EQ(window.code, 1);
    EXPECT_TRUE(window.err.contains("Program dizini yok: " + missing)) << window.err.toStdString();

    // A headless command ignores Qt's window options.
    const ProgramRun headless =
        runProgram({"-platform", "offscreen", "--dir", missing, "transfer"});
    EXPECT_EQ(headless.code, 1);
    EXPECT_TRUE(headless.err.contains("Program dizini yok: ")) << headless.err.toStdString();
}

TEST(CommandLine, MaintenanceCommandsAreListedAndBellsSetReadsStandardInput) {
    for (const auto& [subcommand, synopsis] :
         {std::pair{"clock", "clock set [--terminal AD | --all-terminals [--jobs N]]"},
          {"admin-clear", "admin-clear --yes [--terminal AD]"},
          {"clear-fingerprints", "clear-fingerprints --yes [--terminal AD]"},
          {"bells", "bells set DOSYA|- [--terminal AD]"},
          {"transfer", "transfer [--all] [--terminal AD | --all-terminals [--jobs N]] [--json]"}}) {
        const ProgramRun help = runProgram({subcommand, "--help"});
        EXPECT_EQ(help.code, 0) << subcommand;
        EXPECT_TRUE(help.out.contains(synopsis)) << help.out.toStdString();
    }

    // Refused input is refused before any terminal is asked for.
    QTemporaryDir dir;
    QProcess p;
    p.start(QStringLiteral(V270_PROGRAM), {"--dir", dir.path(), "bells", "set", "-"});
    ASSERT_TRUE(p.waitForStarted(20000));
    p.write(R"({"ring_duration": 5, "bells": []})");
    p.closeWriteChannel();
    ASSERT_TRUE(p.waitForFinished(20000));
    EXPECT_EQ(p.exitCode(), 1);
    EXPECT_EQ(p.readAllStandardOutput(), "");
    const QByteArray err = p.readAllStandardError();
    EXPECT_TRUE(err.startsWith("Invalid Value.\n")) << err.toStdString();
    EXPECT_TRUE(err.contains("bells")) << "names what was wrong";
}

TEST(CommandLine, InstalledCopyPreparesTheUserDataDirectoryOnFirstStart) {
    // An installed layout: bin/ with share/v270-aktarim/ beside it.
    QTemporaryDir root;
    QDir().mkpath(root.filePath("bin"));
    QDir().mkpath(root.filePath("share/v270-aktarim"));
    const QString program = root.filePath("bin/v270-aktarim");
    ASSERT_TRUE(QFile::copy(QStringLiteral(V270_PROGRAM), program));
    for (const char* schema : {"Data.sql", "Log.sql"}) {
        ASSERT_TRUE(QFile::copy(QStringLiteral(V270_SCHEMA_DIR "/") + schema,
                                root.filePath("share/v270-aktarim/") + schema));
    }
    const QString data = root.filePath("xdg/v270-aktarim/");

    // An empty terminal list: nothing to connect to, after the directory is made.
    const ProgramRun first = runProgram({"transfer"}, program, root.filePath("xdg"));
    EXPECT_EQ(first.code, 1);
    EXPECT_TRUE(first.err.contains("Terminal listesi boş.")) << first.err.toStdString();
    EXPECT_TRUE(first.err.startsWith("Program dizini " + data +
                                     " hazırlandı: boş Data.mdb ve Log.mdb oluşturuldu.\n"))
        << first.err.toStdString();
    EXPECT_TRUE(QFile::exists(data + "Data.mdb") && QFile::exists(data + "Log.mdb"));
    EXPECT_FALSE(QFile::exists(root.filePath("bin/Data.mdb")));

    const ProgramRun second = runProgram({"transfer"}, program, root.filePath("xdg"));
    EXPECT_EQ(second.code, 1);
    EXPECT_FALSE(second.err.contains("hazırlandı")) << second.err.toStdString();
}

TEST(CommandLine, SiteDirectoryComesFromTheEnvironmentThenTheSystemSetting) {
    QTemporaryDir tmp;
    const QString site = tmp.filePath("site"), other = tmp.filePath("other");
    const QString conf = tmp.filePath("v270-aktarim.conf");
    const QList<std::pair<QString, QString>> confEnv{{"V270_AKTARIM_CONF", conf}};

    // The administrator shares the site's directory with a group and makes
    // it the site's own; root only, as chown to another group needs it.
    const bool root = geteuid() == 0;
    QStringList initArgs{"--system", site};
    if (root) initArgs = QStringList{"--group", "daemon"} + initArgs;
    const ProgramRun init = runProgram(initArgs, V270_INIT_PROGRAM, {}, confEnv);
    ASSERT_EQ(init.code, 0) << init.err.toStdString();
    EXPECT_TRUE(QFile(conf).open(QIODevice::ReadOnly));
    if (root) {
        struct stat dirStat {
        }, dataStat{};
        ASSERT_EQ(stat(QFile::encodeName(site).constData(), &dirStat), 0);
        ASSERT_EQ(stat(QFile::encodeName(site + "/Data.mdb").constData(), &dataStat), 0);
        EXPECT_EQ(dirStat.st_mode & 07777, 03770u);
        EXPECT_EQ(dataStat.st_mode & 07777, 0660u);
        EXPECT_EQ(dirStat.st_gid, dataStat.st_gid);
        EXPECT_NE(dataStat.st_gid, 0u);
    }
    EXPECT_EQ(runProgram({"--group"}, V270_INIT_PROGRAM).code, 64);

    // A headless command without --dir works on the site's directory: it
    // names the database it misses there.
    ASSERT_TRUE(QFile::remove(site + "/Data.mdb"));
    const auto usedDirectory = [&](const QList<std::pair<QString, QString>>& env) {
        return runProgram({"transfer"}, V270_PROGRAM, tmp.filePath("xdg"), env).err;
    };
    EXPECT_TRUE(usedDirectory(confEnv).contains(site + "/Data.mdb"))
        << usedDirectory(confEnv).toStdString();
    QDir().mkpath(other);
    const auto both = confEnv + QList<std::pair<QString, QString>>{{"V270_AKTARIM_DIR", other}};
    EXPECT_TRUE(usedDirectory(both).contains(other + "/Data.mdb"))
        << usedDirectory(both).toStdString();
}

} // namespace
