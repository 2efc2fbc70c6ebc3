#include "core/IniFile.h"

#include "core/AppError.h"
#include "core/testing/TestFiles.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <functional>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <gtest/gtest.h>

namespace {

struct ReadCase {
    const char* name;
    QByteArray file;
    const char* section;
    const char* key;
    QString expected;
};

class IniFileTest : public ::testing::Test {
  protected:
    QTemporaryDir dir;
    QString path() const { return dir.filePath(QStringLiteral("Settings.ini")); }
};

TEST_F(IniFileTest, ReadsUnderTheProfileRules) {
    const ReadCase cases[] = {
        {"plain", "[Options]\r\nveriDosya2=1\r\n", "Options", "veriDosya2", "1"},
        {"names ignore case", "[OPTIONS]\nVERIDOSYA2=1\n", "options", "veridosya2", "1"},
        {"blanks around value and key", "[Options]\n  veriDosya2 =  1   \n", "Options",
         "veriDosya2", "1"},
        {"blanks in section line", "  [ Options ]  \nveriDosya2=1\n", "Options", "veriDosya2", "1"},
        {"01 is kept as written", "[Options]\nveriDosya2=01\n", "Options", "veriDosya2", "01"},
        {"key in another section", "[Login]\nveriDosya2=1\n[Options]\n", "Options", "veriDosya2",
         "dflt"},
        {"missing key", "[Options]\nother=1\n", "Options", "veriDosya2", "dflt"},
        {"comment line is no key", "[Options]\n;veriDosya2=1\n", "Options", "veriDosya2", "dflt"},
        {"first of two keys wins", "[MySql]\nPort=1\nPort=2\n", "MySql", "Port", "1"},
        {"value with equals sign", "[MySql]\nPassword=a=b\n", "MySql", "Password", "a=b"},
        {"empty value", "[MySql]\nUser=\n", "MySql", "User", ""},
        {"Windows-1254 bytes", "[Login]\nDatabase=\xfeirket\n", "Login", "Database",
         QStringLiteral("şirket")},
        {"UTF-8 bytes",
         "[Login]\nDatabase=\xc5\x9f"
         "irket\n",
         "Login", "Database", QStringLiteral("şirket")},
        {"no line break at end", "[MySql]\nPort=3307", "MySql", "Port", "3307"},
        // Matching quotes go, once, and keep the blanks inside them.
        {"double quotes", "[MySql]\nPassword= \"  gizli 1 \" \n", "MySql", "Password",
         "  gizli 1 "},
        {"single quotes", "[MySql]\nPassword='x'\n", "MySql", "Password", "x"},
        {"quotes inside quotes", "[MySql]\nPassword=\"'a\"b'\"\n", "MySql", "Password", "'a\"b'"},
        {"empty quotes", "[MySql]\nPassword=\"\"\n", "MySql", "Password", ""},
        {"quotes that don't match", "[MySql]\nPassword=\"x'\n", "MySql", "Password", "\"x'"},
        {"a lone quote", "[MySql]\nPassword=\"\n", "MySql", "Password", "\""},
        {"quote on one side", "[MySql]\nPassword=x\"\n", "MySql", "Password", "x\""},
    };
    for (const ReadCase& c : cases) {
        writeFile(path(), c.file);
        EXPECT_EQ(readProfileString(path(), c.section, c.key, QStringLiteral("dflt")), c.expected)
            << c.name;
    }
}

TEST_F(IniFileTest, MissingFileGivesDefault) {
    EXPECT_EQ(readProfileString(path(), "MySql", "Port", "3306"), QStringLiteral("3306"));
}

TEST_F(IniFileTest, LongValueIsCut) {
    writeFile(path(), "[Login]\nServer=" + QByteArray(5000, 'x') + "\n");
    EXPECT_EQ(readProfileString(path(), "Login", "Server", {}).size(), 2047);
}

TEST_F(IniFileTest, WriteTouchesOnlyItsOwnLine) {
    const QByteArray before = "; PDKS ayarlari\r\n"
                              "[Login]\r\n"
                              "Server=10.0.0.5\r\n"
                              "\r\n"
                              "[options]\r\n"
                              "VeriDosya2 = 0\r\n"
                              "Other=x\r\n"
                              "\r\n"
                              "[MySql]\r\n"
                              "User=root\r\n";
    writeFile(path(), before);
    writeProfileString(path(), "Options", "veriDosya2", "1");
    QByteArray expected = before;
    expected.replace("VeriDosya2 = 0", "veriDosya2=1");
    EXPECT_EQ(readFile(path()), expected);

    // A new key goes at the end of its section, before the blank line.
    writeProfileString(path(), "Login", "Database", "pdks");
    expected.replace("Server=10.0.0.5\r\n", "Server=10.0.0.5\r\nDatabase=pdks\r\n");
    EXPECT_EQ(readFile(path()), expected);

    // A new section goes at the end of the file.
    writeProfileString(path(), "Ports", "COM1", "/dev/ttyUSB0");
    expected += "[Ports]\r\nCOM1=/dev/ttyUSB0\r\n";
    EXPECT_EQ(readFile(path()), expected);
}

TEST_F(IniFileTest, SeveralKeysInOneWriteAsWrittenOneByOne) {
    const QByteArray before = "[Login]\r\nServer=a\r\n\r\n[MySql]\r\nUser=root\r\n";
    const QList<ProfileEntry> entries = {{"Login", "Server", "b"},
                                         {"MySql", "Password", "gizli"},
                                         {"MySql", "user", "pdks"},
                                         {"MySql", "Port", "3307"}};
    writeFile(path(), before);
    for (const ProfileEntry& e : entries)
        writeProfileString(path(), e.section, e.key, e.value);
    const QByteArray oneByOne = readFile(path());
    writeFile(path(), before);
    writeProfileStrings(path(), entries);
    EXPECT_EQ(readFile(path()), oneByOne);
}

TEST_F(IniFileTest, WriteCreatesMissingFile) {
    writeProfileString(path(), "Options", "veriDosya2", "0");
    EXPECT_EQ(readFile(path()), QByteArray("[Options]\r\nveriDosya2=0\r\n"));
}

TEST_F(IniFileTest, RefusedWriteRaisesAndKeepsFile) {
    if (geteuid() == 0) {
        // Permission bits don't stop root; /proc takes no new files from anybody.
        const QString missing = QStringLiteral("/proc/Settings.ini");
        try {
            writeProfileString(missing, "Options", "veriDosya2", "1");
            FAIL() << "no error";
        } catch (const AppError& e) {
            EXPECT_EQ(e.text(), QStringLiteral("Unable to write to ") + missing);
        }
        return;
    }
    writeFile(path(), "[Options]\nveriDosya2=0\n");
    ASSERT_EQ(chmod(QFile::encodeName(dir.path()).constData(), 0500), 0);
    ASSERT_EQ(chmod(QFile::encodeName(path()).constData(), 0400), 0);
    EXPECT_THROW(writeProfileString(path(), "Options", "veriDosya2", "1"), AppError);
    chmod(QFile::encodeName(dir.path()).constData(), 0700);
    EXPECT_EQ(readFile(path()), QByteArray("[Options]\nveriDosya2=0\n"));
}

// Runs check as a user that permission bits stop: this process, or when it is
// root a child that has given up root. True when check returned true.
bool asUnprivilegedUser(const std::function<bool()>& check) {
    if (geteuid() != 0) return check();
    const pid_t child = fork();
    if (child == 0) {
        if (setgid(65534) != 0 || setuid(65534) != 0) _exit(2);
        _exit(check() ? 0 : 1);
    }
    int status = 0;
    return child > 0 && waitpid(child, &status, 0) == child && WIFEXITED(status) &&
           WEXITSTATUS(status) == 0;
}

TEST_F(IniFileTest, WriteRefusesAFileItCannotRead) {
    const QByteArray before = "[Login]\r\nServer=10.0.0.5\r\n[Options]\r\nveriDosya2=0\r\n";
    writeFile(path(), before);
    // Anybody may replace the file, but nobody may read it.
    ASSERT_EQ(chmod(QFile::encodeName(dir.path()).constData(), 0777), 0);
    ASSERT_EQ(chmod(QFile::encodeName(path()).constData(), 0222), 0);
    const QString expected = QStringLiteral("Unable to write to ") + path();
    EXPECT_TRUE(asUnprivilegedUser([&] {
        try {
            writeProfileString(path(), "Options", "veriDosya2", "1");
        } catch (const AppError& e) {
            return e.text() == expected;
        }
        return false;
    }));
    chmod(QFile::encodeName(path()).constData(), 0600);
    EXPECT_EQ(readFile(path()), before);
}

TEST_F(IniFileTest, OnlyRegularFilesAreReadOrWritten) {
    // Each would block or never end; each is refused at once and kept.
    ASSERT_EQ(mkfifo(QFile::encodeName(dir.filePath("fifo")).constData(), 0600), 0);
    ASSERT_TRUE(QDir(dir.path()).mkdir(QStringLiteral("folder")));
    ASSERT_TRUE(QFile::link(QStringLiteral("/dev/zero"), dir.filePath("zero")));
    for (const char* name : {"fifo", "folder", "zero"}) {
        SCOPED_TRACE(name);
        const QString special = dir.filePath(QLatin1String(name));
        try {
            readProfileString(special, "Options", "veriDosya2", "0");
            ADD_FAILURE() << "read: no error";
        } catch (const AppError& e) {
            EXPECT_TRUE(e.text().contains(special)) << e.text().toStdString();
        }
        EXPECT_THROW(writeProfileString(special, "Options", "veriDosya2", "1"), AppError);
    }
    // Too big to be a settings file.
    writeFile(path(), QByteArray(2 << 20, ';'));
    EXPECT_THROW(readProfileString(path(), "Options", "veriDosya2", "0"), AppError);
    EXPECT_THROW(writeProfileString(path(), "Options", "veriDosya2", "1"), AppError);
    // A symbolic link to a regular file is a regular file.
    writeFile(path(), "[Options]\r\nveriDosya2=1\r\n");
    ASSERT_TRUE(QFile::link(path(), dir.filePath("link.ini")));
    EXPECT_EQ(readProfileString(dir.filePath("link.ini"), "Options", "veriDosya2", "0"), "1");
}

mode_t modeOf(const QString& path) {
    struct stat st {};
    EXPECT_EQ(stat(QFile::encodeName(path).constData(), &st), 0);
    return st.st_mode & 07777;
}

TEST_F(IniFileTest, NewFileIsNeverReadableByOthersAndARewriteKeepsModeAndOwner) {
    const mode_t oldMask = umask(002); // a shared group directory
    writeProfileString(path(), "MySql", "Password", "gizli");
    EXPECT_EQ(modeOf(path()), 0660u);
    QFile::remove(path());
    umask(022);
    writeProfileString(path(), "MySql", "Password", "gizli");
    EXPECT_EQ(modeOf(path()), 0640u);
    umask(oldMask);

    ASSERT_EQ(chmod(QFile::encodeName(path()).constData(), 0604), 0);
    writeProfileString(path(), "MySql", "User", "pdks");
    EXPECT_EQ(modeOf(path()), 0604u);

    if (geteuid() != 0) return; // the owner part needs a second user
    const QByteArray native = QFile::encodeName(path());
    ASSERT_EQ(chown(native.constData(), 1, 1), 0);
    ASSERT_EQ(chmod(native.constData(), 0666), 0);
    ASSERT_EQ(chmod(QFile::encodeName(dir.path()).constData(), 0777), 0);
    EXPECT_TRUE(asUnprivilegedUser([&] {
        writeProfileString(path(), "Options", "veriDosya2", "1");
        return true;
    }));
    struct stat st {};
    ASSERT_EQ(stat(native.constData(), &st), 0);
    EXPECT_EQ(st.st_uid, 1u);
    EXPECT_EQ(st.st_gid, 1u);
    EXPECT_EQ(st.st_mode & 07777, 0666u);
    EXPECT_EQ(readProfileString(path(), "Options", "veriDosya2", "0"), "1");
    EXPECT_EQ(readProfileString(path(), "MySql", "User", ""), "pdks");
}

} // namespace
