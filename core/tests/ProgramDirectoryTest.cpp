#include "core/ProgramDirectory.h"

#include "core/AppError.h"
#include "core/Database.h"
#include "core/testing/TestFiles.h"

#include <QDir>
#include <QFileInfo>
#include <QSqlDatabase>
#include <QTemporaryDir>

#include <functional>
#include <sys/stat.h>
#include <gtest/gtest.h>

namespace {

class ProgramDirectoryTest : public ::testing::Test {
  protected:
    QTemporaryDir tmp;
    QString at(const QString& relative) const { return tmp.filePath(relative) + u'/'; }

    // A program in a bin directory of its own, with no data beside it.
    StartingPoint from(bool writable) const {
        QDir().mkpath(tmp.filePath("bin"));
        StartingPoint p;
        p.executableDir = tmp.filePath("bin");
        p.executableDirWritable = writable;
        p.xdgDataHome = tmp.filePath("xdg");
        p.homeDir = tmp.filePath("home");
        return p;
    }

    // The table names of an SQLite file, opened the way the program opens it.
    static QStringList tablesOf(const QString& path) {
        QStringList names;
        {
            QSqlDatabase db = openDatabaseFile(QStringLiteral("probe"), path);
            names = db.tables();
            db.close();
        }
        QSqlDatabase::removeDatabase(QStringLiteral("probe"));
        names.sort();
        return names;
    }
};

TEST_F(ProgramDirectoryTest, ChoosesDirOptionThenExecutableDirThenUserDataDir) {
    struct Case {
        const char* name;
        std::optional<QString> dirOption;
        bool writable;
        const char* xdgDataHome; // null: as the fixture sets it
        QString expected;
        QString envDir = {};
        QString systemDir = {};
    };
    const QString site = tmp.filePath("site"), shared = tmp.filePath("shared");
    const Case cases[] = {
        {"--dir wins", tmp.filePath("pdks"), false, nullptr, at("pdks"), site, shared},
        {"then the environment", std::nullopt, true, nullptr, at("site"), site, shared},
        {"then the system setting", std::nullopt, true, nullptr, at("shared"), "", shared},
        {"a blank setting counts as none", std::nullopt, true, nullptr, at("bin"), " ", " "},
        {"writable executable dir", std::nullopt, true, nullptr, at("bin")},
        {"read-only executable dir", std::nullopt, false, nullptr, at("xdg/v270-aktarim")},
        {"XDG_DATA_HOME unset", std::nullopt, false, "", at("home/.local/share/v270-aktarim")},
        {"relative XDG_DATA_HOME is ignored", std::nullopt, false, "veri",
         at("home/.local/share/v270-aktarim")},
    };
    for (const Case& c : cases) {
        StartingPoint p = from(c.writable);
        p.dirOption = c.dirOption;
        p.envDir = c.envDir;
        p.systemDir = c.systemDir;
        if (c.xdgDataHome) p.xdgDataHome = QString::fromUtf8(c.xdgDataHome);
        EXPECT_EQ(chooseProgramDirectory(p).path, c.expected) << c.name;
    }
    // Only the user data directory is ever made.
    EXPECT_FALSE(QFileInfo::exists(tmp.filePath("pdks")));
    EXPECT_FALSE(QFileInfo::exists(site));

    // The system setting: [Genel] ProgramDir=, under the settings file's rules.
    writeFile(tmp.filePath("v270-aktarim.conf"), "[genel]\r\n ProgramDir = /srv/pdks \r\n");
    EXPECT_EQ(systemProgramDir(tmp.filePath("v270-aktarim.conf")), "/srv/pdks");
    EXPECT_EQ(systemProgramDir(tmp.filePath("missing.conf")), "");
    EXPECT_FALSE(QFileInfo::exists(tmp.filePath("bin/Data.mdb")));
}

TEST_F(ProgramDirectoryTest, FirstStartMakesEmptyDatabasesAndSaysSoOnce) {
    const StartingPoint p = from(false);
    const ProgramDirectory first = chooseProgramDirectory(p);
    EXPECT_EQ(first.notice, "Program dizini " + at("xdg/v270-aktarim") +
                                " hazırlandı: boş Data.mdb ve Log.mdb oluşturuldu.");
    EXPECT_EQ(tablesOf(first.path + "Data.mdb"),
              (QStringList{"ENROLLINFO", "Terminal", "sqlite_sequence", "tblEnroll"}));
    EXPECT_EQ(tablesOf(first.path + "Log.mdb"), QStringList{"temp"});
    // No scratch file is left beside them.
    EXPECT_EQ(QDir(first.path).entryList(QDir::Files), (QStringList{"Data.mdb", "Log.mdb"}));

    writeFile(first.path + "Settings.ini", "[Options]\r\nveriDosya2=1\r\n");
    const QByteArray data = readFile(first.path + "Data.mdb");
    const ProgramDirectory second = chooseProgramDirectory(p);
    EXPECT_EQ(second.path, first.path);
    EXPECT_EQ(second.notice, "");
    EXPECT_EQ(readFile(first.path + "Data.mdb"), data);

    // A lost database is made again; the other is left as it is.
    QFile::remove(first.path + "Log.mdb");
    EXPECT_TRUE(chooseProgramDirectory(p).notice.endsWith("boş Log.mdb oluşturuldu."));
    EXPECT_EQ(readFile(first.path + "Data.mdb"), data);
    EXPECT_EQ(readFile(first.path + "Settings.ini"), "[Options]\r\nveriDosya2=1\r\n");
}

TEST_F(ProgramDirectoryTest, InstalledCopyUsesUserDataDirAndItsOwnSchemaEvenWhenWritable) {
    // root can write /usr/bin; the share directory beside bin marks an install.
    const QString share = tmp.filePath("share/v270-aktarim");
    QDir().mkpath(share);
    writeFile(share + "/Data.sql", "CREATE TABLE Terminal (id INTEGER);\n"
                                   "CREATE TABLE FromInstall (x TEXT);\n");
    writeFile(share + "/Log.sql", "CREATE TABLE temp (y TEXT);\n");

    const ProgramDirectory chosen = chooseProgramDirectory(from(true));
    EXPECT_EQ(chosen.path, at("xdg/v270-aktarim"));
    EXPECT_EQ(tablesOf(chosen.path + "Data.mdb"), (QStringList{"FromInstall", "Terminal"}));
}

TEST_F(ProgramDirectoryTest, FailuresAreReportedAndLeaveNothingHalfMade) {
    // The user data directory's place is taken by a file.
    writeFile(tmp.filePath("xdg"), "x");
    try {
        chooseProgramDirectory(from(false));
        ADD_FAILURE() << "no error";
    } catch (const AppError& e) {
        EXPECT_EQ(e.text(), "Program dizini oluşturulamadı: " + at("xdg/v270-aktarim"));
    }

    // A schema that fails half-way leaves no database behind.
    writeFile(tmp.filePath("bad.sql"), "CREATE TABLE a (x);\nCREATE TABLE broken (;\n");
    const QString path = tmp.filePath("Data.mdb");
    EXPECT_THROW(createDatabaseFile(path, tmp.filePath("bad.sql")), AppError);
    EXPECT_EQ(QDir(tmp.path()).entryList(QDir::Files), (QStringList{"bad.sql", "xdg"}));

    // An existing file is never replaced.
    writeFile(path, "old");
    EXPECT_THROW(createDatabaseFile(path, QStringLiteral(V270_SCHEMA_DIR "/Data.sql")), AppError);
    EXPECT_EQ(readFile(path), "old");
}

} // namespace

namespace {

TEST_F(ProgramDirectoryTest, DatabasesAreNeverReadableByOthersAndFifosAreRefused) {
    // Data.mdb holds the terminal password; in a shared directory the group writes.
    for (const auto& [mask, expected] : {std::pair{mode_t(022), 0640u}, {mode_t(002), 0660u}}) {
        SCOPED_TRACE(expected);
        const QString path = tmp.filePath(QStringLiteral("Data-%1.mdb").arg(expected, 0, 8));
        const mode_t oldMask = umask(mask);
        createDatabaseFile(path, QStringLiteral(V270_SCHEMA_DIR "/Data.sql"));
        umask(oldMask);
        struct stat st {};
        ASSERT_EQ(stat(QFile::encodeName(path).constData(), &st), 0);
        EXPECT_EQ(st.st_mode & 07777, expected);
    }
    const QString fifo = tmp.filePath("Log.mdb");
    ASSERT_EQ(mkfifo(QFile::encodeName(fifo).constData(), 0600), 0);
    try {
        openDatabaseFile(QStringLiteral("fifo"), fifo);
        ADD_FAILURE() << "no error";
    } catch (const AppError& e) {
        EXPECT_TRUE(e.text().contains(QStringLiteral("FIFO"))) << e.text().toStdString();
    }
    QSqlDatabase::removeDatabase(QStringLiteral("fifo"));
}

} // namespace

namespace {

// What a command would be told, or "" when it went through.
template <typename F> QString errorOf(F f) {
    try {
        f();
    } catch (const AppError& e) {
        return e.text();
    }
    return {};
}

TEST_F(ProgramDirectoryTest, TheSiteSettingIsAbsoluteAndReadableOrReported) {
    const QString conf = tmp.filePath("v270-aktarim.conf");
    const struct {
        const char* name;
        QByteArray content; // null: made by make below
        std::function<void(const QString&)> make;
        QString expected; // a piece of the error
    } cases[] = {
        {"a relative directory", "[Genel]\n\nProgramDir=pdks\n", {}, "satır 3"},
        {"a control character",
         QByteArray("[Genel]\nProgramDir=/srv/a") + '\0' + "b\n",
         {},
         "denetim karakteri"},
        {"too big",
         QByteArray("[Genel]\nProgramDir=/srv/pdks\n") + QByteArray(1 << 20, ';'),
         {},
         "çok büyük"},
        {"a FIFO",
         {},
         [](const QString& p) { mkfifo(QFile::encodeName(p).constData(), 0600); },
         "FIFO"},
        {"a directory", {}, [](const QString& p) { QDir().mkdir(p); }, "bir dizin"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        if (c.make)
            c.make(conf);
        else
            writeFile(conf, c.content);
        const QString text = errorOf([&] { systemProgramDir(conf); });
        EXPECT_TRUE(text.contains(conf) && text.contains(c.expected)) << text.toStdString();

        // Reported when the site's setting decides, never read when the
        // environment or --dir does.
        qputenv("V270_AKTARIM_CONF", QFile::encodeName(conf));
        const StartingPoint site = thisProcess(std::nullopt);
        StartingPoint p = from(true);
        p.systemProblem = site.systemProblem;
        EXPECT_EQ(errorOf([&] { chooseProgramDirectory(p); }), text);
        qputenv("V270_AKTARIM_DIR", QFile::encodeName(tmp.filePath("env")));
        EXPECT_EQ(thisProcess(std::nullopt).systemProblem, "");
        qunsetenv("V270_AKTARIM_DIR");
        EXPECT_EQ(thisProcess(tmp.filePath("option")).systemProblem, "");
        qunsetenv("V270_AKTARIM_CONF");
        if (!QFile::remove(conf)) QDir().rmdir(conf);
    }
    // A missing file is no setting.
    EXPECT_EQ(systemProgramDir(conf), "");
}

TEST_F(ProgramDirectoryTest, ADirectoryNameOrPlaceThatCantBeOneIsRefused) {
    StartingPoint p = from(true);
    for (const QString& bad : {QString(""), QString("/srv/a\nb"), QString("/srv/a") + QChar(0)}) {
        p.dirOption = bad;
        EXPECT_FALSE(errorOf([&] { chooseProgramDirectory(p); }).isEmpty()) << bad.toStdString();
    }
    writeFile(tmp.filePath("file"), "x");
    EXPECT_EQ(errorOf([&] { requireProgramDirectory(tmp.filePath("file") + '/'); }),
              "Program dizini \"" + tmp.filePath("file") + "\" bir dizin değil.");
    EXPECT_EQ(errorOf([&] { requireProgramDirectory(at("yok")); }),
              "Program dizini yok: " + at("yok"));
    EXPECT_EQ(errorOf([&] { requireProgramDirectory(at("")); }), "");
}

} // namespace
