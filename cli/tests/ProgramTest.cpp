// The built programs as a user, a script or a site administrator runs them:
// help and usage errors, the man pages, the terminal list in a Data.mdb the
// programs make themselves, where the program directory comes from, and a
// directory shared by two users through a group.

#include "cli/Subcommand.h"
#include "core/Database.h"
#include "core/IniFile.h"
#include "core/testing/TestFiles.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QTemporaryDir>

#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>
#include <gtest/gtest.h>

namespace {

const QStringList kSubcommands{"terminals",          "transfer", "sdcard", "clock", "admin-clear",
                               "clear-fingerprints", "bells",    "enroll", "names", "sink"};

// Words of the toolkit's own help and errors, which must never show.
const QStringList kToolkitWords{
    "Usage:", "Options:", "Arguments:", "Displays", "Unknown option", "Missing value"};

struct Finished {
    int code = -1; // -1: did not end normally
    QString out, err;
};

Finished runTool(const QString& program, const QStringList& args,
                 const QProcessEnvironment& env = QProcessEnvironment::systemEnvironment()) {
    QProcess p;
    p.setProgram(program);
    p.setArguments(args);
    QProcessEnvironment e = env;
    e.insert("ASAN_OPTIONS", "detect_leaks=0");
    e.insert("QT_QPA_PLATFORM", "offscreen");
    p.setProcessEnvironment(e);
    p.start();
    if (!p.waitForFinished(60000)) return {};
    return {p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1,
            QString::fromUtf8(p.readAllStandardOutput()),
            QString::fromUtf8(p.readAllStandardError())};
}

Finished program(const QStringList& args,
                 const QProcessEnvironment& env = QProcessEnvironment::systemEnvironment()) {
    return runTool(QStringLiteral(V270_PROGRAM), args, env);
}

::testing::AssertionResult noToolkitText(const QString& text) {
    for (const QString& word : kToolkitWords)
        if (text.contains(word))
            return ::testing::AssertionFailure() << "\"" << word.toStdString() << "\" in\n"
                                                 << text.toStdString();
    return ::testing::AssertionSuccess();
}

TEST(Program, EverySubcommandHasItsOwnTurkishHelp) {
    const Finished all = program({"--help"});
    EXPECT_EQ(all.code, 0);
    EXPECT_TRUE(noToolkitText(all.out));
    for (const QString& name : kSubcommands) {
        SCOPED_TRACE(name.toStdString());
        EXPECT_TRUE(all.out.contains("\n  " + name + ' ')) << "listed in --help";
        const Finished help = program({name, "--help"});
        EXPECT_EQ(help.code, 0);
        EXPECT_EQ(help.err, "");
        EXPECT_TRUE(help.out.startsWith("Kullanım: v270-aktarim [--dir DİZİN] [-q] " + name))
            << help.out.toStdString();
        EXPECT_TRUE(noToolkitText(help.out));
        // The one exit-code table, whole, in every help.
        for (const ExitCodeText& e : exitCodeTable())
            EXPECT_TRUE(help.out.contains(QStringLiteral("\n  %1 ").arg(e.code))) << e.code;
        EXPECT_TRUE(help.out.contains("en kötüsü, bu sırayla: " + worstOrderText()));
    }
    const Finished version = program({"--version"});
    EXPECT_EQ(version.code, 0);
    EXPECT_TRUE(version.out.startsWith("v270-aktarim ")) << version.out.toStdString();
}

TEST(Program, UsageErrorsAreTurkishAndExit64) {
    QTemporaryDir dir;
    const QStringList cases[] = {
        {"transfer", "--bogus"},    {"bogus"},
        {"transfer", "--terminal"}, {"clock"},
        {"clock", "get", "fazla"},  {"--quiet=1", "transfer"},
        {"admin-clear", "--json"},  {"--bogus"}, // no subcommand: the window's own line
    };
    for (const QStringList& args : cases) {
        const Finished r = program(QStringList{"--dir", dir.path()} + args);
        SCOPED_TRACE(args.join(' ').toStdString());
        EXPECT_EQ(r.code, 64);
        EXPECT_EQ(r.out, "");
        EXPECT_FALSE(r.err.isEmpty());
        EXPECT_TRUE(noToolkitText(r.err));
        EXPECT_TRUE(r.err.contains("--help")) << "says where to read more";
    }
}

TEST(Program, ManPagesCarryWhatTheProgramsSay) {
    const Finished man = program({"--man", QStringLiteral(V270_MAN_TEMPLATE)});
    ASSERT_EQ(man.code, 0) << man.err.toStdString();
    EXPECT_FALSE(QRegularExpression("@[A-Z_]+@").match(man.out).hasMatch()) << "a marker left";
    for (const QString& name : kSubcommands)
        EXPECT_TRUE(man.out.contains(".SS " + QString(name).replace('-', "\\-") + '\n'))
            << name.toStdString();
    for (const ExitCodeText& e : exitCodeTable())
        EXPECT_TRUE(man.out.contains(QStringLiteral(".TP\n.B %1\n").arg(e.code))) << e.code;
    const QString groff = QStandardPaths::findExecutable("groff");
    if (!groff.isEmpty()) {
        QTemporaryDir dir;
        writeFile(dir.filePath("v270-aktarim.1"), man.out.toUtf8());
        const Finished check =
            runTool(groff, {"-man", "-Tutf8", "-ww", "-z", dir.filePath("v270-aktarim.1")});
        EXPECT_EQ(check.code, 0);
        EXPECT_EQ(check.err, "") << "groff's warnings";
    }

    // v270-mysql keeps its page by hand: every option its help names is there.
    const Finished mysqlHelp = runTool(QStringLiteral(V270_MYSQL_TOOL), {"--help"});
    const QString page = QString::fromUtf8(readFile(V270_MYSQL_MAN)).replace("\\-", "-");
    QRegularExpressionMatchIterator options =
        QRegularExpression("(?<![\\w-])(--?[a-zA-Z][a-z-]*)").globalMatch(mysqlHelp.out);
    int seen = 0;
    while (options.hasNext()) {
        const QString option = options.next().captured(1);
        ++seen;
        EXPECT_TRUE(page.contains(
            QRegularExpression("\\.B[IR]? " + QRegularExpression::escape(option) + "\\b")))
            << option.toStdString() << " missing from v270-mysql.1";
    }
    EXPECT_GT(seen, 10) << mysqlHelp.out.toStdString();
}

// scripts/package writes build/package/v270-aktarim_VERSION_ARCH.deb (cpack's
// Debian name) and prints that path; the README installs that very file.
TEST(Program, ReadmeInstallsThePackageThatScriptsPackageMakes) {
    const QString version = program({"--version"}).out.trimmed().section(' ', 1);
    const Finished arch = runTool(QStandardPaths::findExecutable("dpkg"), {"--print-architecture"});
    if (arch.code != 0) GTEST_SKIP() << "no dpkg";
    const QString deb =
        QStringLiteral("./build/package/v270-aktarim_%1_%2.deb").arg(version, arch.out.trimmed());
    const QString readme = QString::fromUtf8(readFile(V270_SOURCE_DIR "/README.md"));
    EXPECT_TRUE(readme.contains("sudo apt install " + deb)) << deb.toStdString();
}

// A program directory made by v270-init-program-dir, as a site makes it.
struct MadeProgramDir {
    MadeProgramDir() {
        const Finished made = runTool(QStringLiteral(V270_INIT_TOOL), {path(), V270_SCHEMA_DIR});
        EXPECT_EQ(made.code, 0) << made.err.toStdString();
    }
    QString path() const { return tmp.filePath("site"); }
    Finished run(const QStringList& args) const {
        return program(QStringList{"--dir", path()} + args);
    }
    QString listJson() const { return run({"terminals", "list", "--json"}).out; }
    QTemporaryDir tmp;
};

TEST(Program, TerminalsInARealDataMdb) {
    MadeProgramDir site;
    const Finished empty = site.run({"terminals", "list"});
    EXPECT_EQ(empty.code, 0);
    EXPECT_EQ(empty.err, "Terminal listesi boş.\n");

    EXPECT_EQ(site.run({"terminals", "add", "--name", "Giriş Kapısı", "--tcp", "10.0.0.9:5005",
                        "--password", "846213", "--machine", "7"})
                  .code,
              0);
    const Finished serial = site.run({"terminals", "add", "--name", "Yemekhane", "--com", "2"});
    EXPECT_EQ(serial.code, 0) << serial.err.toStdString();
    EXPECT_EQ(serial.out, "Eklendi: Yemekhane (com, COM2, 9600 baud)\n");
    EXPECT_EQ(site.run({"terminals", "add", "--name", "Depo", "--usb"}).code, 0);

    const Finished list = site.run({"terminals", "list"});
    EXPECT_EQ(list.out, "Ad            No  Tip       Bağlantı\n"
                        "Depo          1   usb       USB\n"
                        "Giriş Kapısı  7   ethernet  10.0.0.9:5005\n"
                        "Yemekhane     1   com       COM2, 9600 baud\n");
    EXPECT_FALSE(list.out.contains("846213")) << "the password stays in Data.mdb";
    const QJsonArray json = QJsonDocument::fromJson(site.listJson().toUtf8()).array();
    ASSERT_EQ(json.size(), 3);
    EXPECT_EQ(json[1].toObject(), (QJsonObject{{"name", "Giriş Kapısı"},
                                               {"machine", 7},
                                               {"type", "ethernet"},
                                               {"address", "10.0.0.9"},
                                               {"port", 5005}}));

    // Refused values change nothing and exit 64 with the reason.
    const QString before = site.listJson();
    const struct {
        QStringList args;
        const char* reason;
    } refused[] = {
        {{"add", "--name", "X"}, "--tcp, --com ya da --usb"},
        {{"add", "--tcp", "h:1"}, "Terminal Adını Giriniz."},
        {{"add", "--name", "X", "--tcp", "h"}, "ADRES:PORT"},
        {{"add", "--name", "X", "--tcp", "h:70000"}, "1-65535"},
        {{"add", "--name", "X", "--tcp", ":5005"}, "ADRES:PORT"},
        {{"add", "--name", "X", "--usb", "--machine", "1e3"}, "'1e3' geçerli bir tam sayı değil."},
        {{"add", "--name", "X", "--tcp", "h:1", "--password", "99999999999"}, "99999999999"},
        {{"add", "--name", "X", "--com", "0"}, "Com port"},
        {{"add", "--name", "X", "--com", "1", "--baud", "hızlı"}, "Baud"},
        {{"add", "--name", "X", "--usb", "--tcp", "h:1"}, "yalnız biri"},
        {{"add", "--name", "X", "--usb", "--password", "5"}, "--password yalnız TCP"},
        {{"add", "--name", "GİRİŞ KAPISI", "--usb"}, "zaten var"},
        {{"edit", "depo", "--name", "yemekhane"}, "zaten var"},
        {{"edit", "Yok", "--usb"}, "listede yok"},
        {{"remove", "Yok"}, "listede yok"},
        {{"list", "--usb"}, "Kullanım:"},
    };
    for (const auto& r : refused) {
        const Finished got = site.run(QStringList{"terminals"} + r.args);
        SCOPED_TRACE(r.args.join(' ').toStdString());
        EXPECT_EQ(got.code, 64);
        EXPECT_TRUE(got.err.contains(QString::fromUtf8(r.reason))) << got.err.toStdString();
    }
    EXPECT_EQ(site.listJson(), before);

    // edit changes only what it is given; the type change sets the password
    // to 0 as the editor does, which a TCP row then reads back.
    EXPECT_EQ(site.run({"terminals", "edit", "giriş kapısı", "--machine", "8"}).code, 0);
    EXPECT_EQ(
        site.run({"terminals", "edit", "DEPO", "--tcp", "[::1]:4370", "--name", "Ambar"}).code, 0);
    {
        QSqlDatabase db = openDatabaseFile("program-test", site.path() + "/Data.mdb");
        QSqlQuery q = execSql(db, "select Terminal, TerminalNo, Tip, Ip, NetPort, Sifre from "
                                  "Terminal order by Terminal");
        QStringList rows;
        while (q.next()) {
            QStringList row;
            for (int i = 0; i < 6; ++i)
                row << q.value(i).toString();
            rows << row.join('|');
        }
        q.finish();
        db.close();
        EXPECT_EQ(rows, (QStringList{"Ambar|1|ethernet|::1|4370|0",
                                     "Giriş Kapısı|8|ethernet|10.0.0.9|5005|846213",
                                     "Yemekhane|1|com|||"}));
    }
    QSqlDatabase::removeDatabase("program-test");
    EXPECT_EQ(site.run({"terminals", "remove", "yemekhane"}).out, "Silindi: Yemekhane\n");
    EXPECT_EQ(QJsonDocument::fromJson(site.listJson().toUtf8()).array().size(), 2);
}

TEST(Program, ProgramDirectoryComesFromOptionEnvironmentSiteOrDefault) {
    // Three directories, each with a terminal named after it.
    MadeProgramDir option, environment, siteDir;
    for (const auto* d : {&option, &environment, &siteDir})
        ASSERT_EQ(
            d->run({"terminals", "add", "--name", QFileInfo(d->tmp.path()).fileName(), "--usb"})
                .code,
            0);
    const auto nameIn = [](const MadeProgramDir& d) { return QFileInfo(d.tmp.path()).fileName(); };
    QTemporaryDir etc;
    const QString conf = etc.filePath("v270-aktarim.conf");
    writeProfileString(conf, "Genel", "ProgramDir", siteDir.path());
    const QString executableDir = QFileInfo(QStringLiteral(V270_PROGRAM)).absolutePath();

    const struct {
        const char* name;
        bool dirOption, env, siteSetting;
        QString expected; // the terminal listed, or the directory an error names
    } cases[] = {
        {"--dir first", true, true, true, nameIn(option)},
        {"then the environment", false, true, true, nameIn(environment)},
        {"then the site's setting", false, false, true, nameIn(siteDir)},
        {"else the executable's directory", false, false, false, executableDir + "/Data.mdb"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.remove("V270_AKTARIM_DIR");
        env.insert("V270_AKTARIM_CONF", c.siteSetting ? conf : etc.filePath("yok.conf"));
        if (c.env) env.insert("V270_AKTARIM_DIR", environment.path());
        QStringList args{"terminals", "list"};
        if (c.dirOption) args = QStringList{"--dir", option.path()} + args;
        const Finished r = program(args, env);
        if (c.siteSetting || c.env || c.dirOption) {
            EXPECT_EQ(r.code, 0) << r.err.toStdString();
            EXPECT_TRUE(r.out.contains('\n' + c.expected + ' ')) << r.out.toStdString();
        } else {
            EXPECT_EQ(r.code, 1);
            EXPECT_TRUE(r.err.contains(c.expected)) << r.err.toStdString();
        }
    }
}

TEST(Program, InitToolRefusesADirectoryThatIsNotAnAbsolutePath) {
    QTemporaryDir cwd;
    for (const QString& dir :
         {QString(""), QString("pdks"), QString("./pdks"), QString("/srv/a\nb")}) {
        SCOPED_TRACE(dir.toStdString());
        QProcess p;
        p.setWorkingDirectory(cwd.path());
        p.start(QStringLiteral(V270_INIT_TOOL), {dir, V270_SCHEMA_DIR});
        ASSERT_TRUE(p.waitForFinished(60000));
        EXPECT_EQ(p.exitCode(), 64);
        EXPECT_FALSE(QString::fromUtf8(p.readAllStandardError()).isEmpty());
        EXPECT_EQ(QDir(cwd.path()).entryList(QDir::NoDotAndDotDot | QDir::AllEntries),
                  QStringList{});
    }
}

// Runs the program as another user, with the usual umask of 022.
Finished runAs(const passwd& user, const QStringList& args) {
    return runTool(QStandardPaths::findExecutable("setpriv"),
                   QStringList{"--reuid", QString::number(user.pw_uid), "--regid",
                               QString::number(user.pw_gid), "--init-groups", "--", "/bin/sh", "-c",
                               "umask 022; exec \"$0\" \"$@\"", V270_PROGRAM} +
                       args);
}

TEST(Program, ASharedGroupDirectoryServesTwoUsers) {
    if (::geteuid() != 0) GTEST_SKIP() << "needs root to make a group and two users";
    const QString groupadd = QStandardPaths::findExecutable("groupadd", {"/usr/sbin", "/sbin"});
    const QString useradd = QStandardPaths::findExecutable("useradd", {"/usr/sbin", "/sbin"});
    if (groupadd.isEmpty() || useradd.isEmpty() ||
        QStandardPaths::findExecutable("setpriv").isEmpty())
        GTEST_SKIP() << "no groupadd, useradd or setpriv";
    const QString tag = QString::number(::getpid());
    const QString group = "v270g" + tag, operatorUser = "v270o" + tag, jobUser = "v270j" + tag;
    struct Cleanup {
        QStringList users;
        QString group;
        ~Cleanup() {
            for (const QString& u : users)
                QProcess::execute(QStandardPaths::findExecutable("userdel", {"/usr/sbin", "/sbin"}),
                                  {u});
            QProcess::execute(QStandardPaths::findExecutable("groupdel", {"/usr/sbin", "/sbin"}),
                              {group});
        }
    } cleanup{{operatorUser, jobUser}, group};
    ASSERT_EQ(QProcess::execute(groupadd, {group}), 0);
    for (const QString& u : {operatorUser, jobUser})
        ASSERT_EQ(QProcess::execute(useradd, {"-M", "-N", "-g", "nogroup", "-G", group, "-s",
                                              "/usr/sbin/nologin", u}),
                  0);

    QTemporaryDir tmp;
    ASSERT_EQ(::chmod(QFile::encodeName(tmp.path()).constData(), 0755), 0); // others may pass
    const QString site = tmp.filePath("pdks");
    const Finished made =
        runTool(QStringLiteral(V270_INIT_TOOL), {"--group", group, site, V270_SCHEMA_DIR});
    ASSERT_EQ(made.code, 0) << made.err.toStdString();
    // Sticky too: no member replaces another's files with links of their own.
    struct stat dirStat {};
    ASSERT_EQ(::stat(QFile::encodeName(site).constData(), &dirStat), 0);
    EXPECT_EQ(dirStat.st_mode & 07777, 03770u);
    const QString card = tmp.filePath("kart.txt");
    writeFile(card, "h\n1\t1\t123\t0\t0\t0\t2011/06/08 12:34:56\n");
    ::chmod(QFile::encodeName(card).constData(), 0644);

    const passwd* op = ::getpwnam(operatorUser.toLocal8Bit().constData());
    ASSERT_NE(op, nullptr);
    const passwd operatorEntry = *op;
    const passwd* job = ::getpwnam(jobUser.toLocal8Bit().constData());
    ASSERT_NE(job, nullptr);
    const passwd jobEntry = *job;

    // Each writes the databases, and appends to the data file the other made.
    const std::pair<const passwd*, QStringList> steps[] = {
        {&operatorEntry, {"terminals", "add", "--name", "Giriş", "--usb"}},
        {&jobEntry, {"terminals", "add", "--name", "Çıkış", "--usb"}},
        {&jobEntry, {"sdcard", card}},
        {&operatorEntry, {"sdcard", card}},
        {&operatorEntry, {"terminals", "remove", "çıkış"}},
    };
    for (const auto& [user, args] : steps) {
        const Finished r = runAs(*user, QStringList{"--dir", site} + args);
        EXPECT_EQ(r.code, 0) << user->pw_name << " " << args.join(' ').toStdString() << ": "
                             << r.err.toStdString();
    }
    EXPECT_EQ(readFile(site + "/veri.txt"),
              QByteArray("00123 08/06/2011 12:34:56 01\r\n").repeated(2));
    const Finished list = runAs(jobEntry, {"--dir", site, "terminals", "list"});
    EXPECT_TRUE(list.out.contains("\nGiriş ") && !list.out.contains("Çıkış"))
        << list.out.toStdString();

    // Everything in it belongs to the group, which may write it; others may not read the databases.
    const struct group* g = ::getgrnam(group.toLocal8Bit().constData());
    ASSERT_NE(g, nullptr);
    for (const QString& name : QDir(site).entryList(QDir::Files | QDir::Hidden)) {
        struct stat st {};
        ASSERT_EQ(::stat(QFile::encodeName(site + '/' + name).constData(), &st), 0);
        EXPECT_EQ(st.st_gid, g->gr_gid) << name.toStdString();
        EXPECT_TRUE(st.st_mode & S_IWGRP) << name.toStdString();
        if (name.endsWith(".mdb")) {
            EXPECT_FALSE(st.st_mode & S_IROTH) << name.toStdString();
        }
    }
}

} // namespace
