// The connection settings of the personnel database: checks, "Dene" against
// the test MariaDB, and saving into Settings.ini.

#include "names/PersonnelConnection.h"

#include "PersonnelDatabase.h"
#include "core/IniFile.h"
#include "core/testing/TestFiles.h"

#include <QFile>
#include <QTemporaryDir>

#include <sys/stat.h>
#include <gtest/gtest.h>

namespace {

PersonnelSettings valid() {
    PersonnelSettings s;
    s.server = "pdks";
    s.database = "pdks";
    s.user = "ik";
    s.port = "3306";
    return s;
}

TEST(PersonnelConnection, SettingsProblemsAreNamedBeforeConnecting) {
    QTemporaryDir tmp;
    const QString ca = tmp.filePath("ca.pem");
    writeFile(ca, "-----BEGIN CERTIFICATE-----\n");
    const struct {
        const char* name;
        void (*change)(PersonnelSettings&, const QString& ca);
        const char* problem; // a part of it; null for none
    } cases[] = {
        {"valid", [](PersonnelSettings&, const QString&) {}, nullptr},
        {"no server", [](PersonnelSettings& s, const QString&) { s.server = " "; }, "Sunucu adı"},
        {"no database", [](PersonnelSettings& s, const QString&) { s.database.clear(); },
         "Veritabanı adı"},
        {"port text", [](PersonnelSettings& s, const QString&) { s.port = "abc"; }, "Port"},
        {"port 0", [](PersonnelSettings& s, const QString&) { s.port = "0"; }, "Port"},
        {"port too big", [](PersonnelSettings& s, const QString&) { s.port = "65536"; }, "Port"},
        {"CA readable", [](PersonnelSettings& s, const QString& ca) { s.sslCACert = ca; }, nullptr},
        {"CA missing", [](PersonnelSettings& s, const QString& ca) { s.sslCACert = ca + ".yok"; },
         "CA sertifikası dosyası okunamıyor"},
        {"cert without key", [](PersonnelSettings& s, const QString& ca) { s.sslCert = ca; },
         "birlikte"},
        {"line break", [](PersonnelSettings& s, const QString&) { s.password = "a\nb"; },
         "satır sonu"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        PersonnelSettings s = valid();
        c.change(s, ca);
        const QString problem = personnelSettingsProblem(s);
        if (c.problem)
            EXPECT_TRUE(problem.contains(QString::fromUtf8(c.problem))) << problem.toStdString();
        else
            EXPECT_TRUE(problem.isEmpty()) << problem.toStdString();
    }
}

TEST(PersonnelConnection, SwitchKeepsTheStoredTextWhileItMeansTheSame) {
    EXPECT_EQ(switchSetting(true, "evet", false), "evet");
    EXPECT_EQ(switchSetting(false, "", false), "");
    EXPECT_EQ(switchSetting(true, "", false), "1");
    EXPECT_EQ(switchSetting(false, "", true), "0");
    EXPECT_EQ(switchSetting(false, "1", false), "0");
}

class SavedSettings : public ::testing::Test {
  protected:
    QTemporaryDir tmp;
    QString file() const { return tmp.filePath("Settings.ini"); }
};

TEST_F(SavedSettings, OnlyChangedKeysAreWrittenAndEveryValueReadsBack) {
    const QByteArray before = "[Login]\r\nServer=eski\r\nDatabase=pdks\r\n\r\n"
                              "[MySql]\r\nUser=ik\r\nPort=3306\r\nSSLCACert=ca.pem\r\n"
                              "; not\r\n";
    writeFile(file(), before);
    ::chmod(QFile::encodeName(file()).constData(), 0600);
    PersonnelSettings s = ReadMySqlSettings(file());
    ASSERT_EQ(s.sslCACert, tmp.filePath("ca.pem"));
    s.server = "10.0.0.5";
    s.password = " boşluklu şifre ";
    s.sslCipherList = "'tırnaklı'";
    savePersonnelSettings(file(), s);

    // The relative CA name and the comment stay as they were.
    const QByteArray after = readFile(file());
    EXPECT_TRUE(after.contains("SSLCACert=ca.pem\r\n")) << after.toStdString();
    EXPECT_TRUE(after.endsWith("; not\r\n")) << after.toStdString();
    EXPECT_TRUE(after.contains("Server=10.0.0.5\r\nDatabase=pdks")) << after.toStdString();
    const PersonnelSettings back = ReadMySqlSettings(file());
    EXPECT_EQ(back.server, s.server);
    EXPECT_EQ(back.password, s.password);
    EXPECT_EQ(back.sslCipherList, s.sslCipherList);
    EXPECT_EQ(back.sslCACert, s.sslCACert);
    struct stat st {};
    ASSERT_EQ(::stat(QFile::encodeName(file()).constData(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u) << "the password stays private";

    // Nothing changed: nothing written.
    const QByteArray again = readFile(file());
    savePersonnelSettings(file(), back);
    EXPECT_EQ(readFile(file()), again);
}

// "Dene" against the test server, with an account of its own that has a
// password, so that a wrong one is refused.
class TryConnection : public ::testing::Test {
  protected:
    void SetUp() override {
        SKIP_WITHOUT_TEST_SERVER();
        // Database and account named after the test: ctest runs tests side by side.
        const std::string name = ::testing::UnitTest::GetInstance()->current_test_info()->name();
        user = "v270_" + name.substr(0, 40);
        db.emplace(name);
        db->run("create or replace user '" + user + "'@'%' identified by 'dogru123'");
        db->run("grant select on " + db->name() + ".* to '" + user + "'@'%'");
    }
    void TearDown() override {
        if (db) db->run("drop user if exists '" + user + "'@'%'");
    }
    PersonnelSettings settings() const {
        PersonnelSettings s = db->settings();
        s.user = QString::fromStdString(user);
        s.password = "dogru123";
        return s;
    }
    std::string user;
    std::optional<PersonnelDatabase> db;
};

TEST_F(TryConnection, SaysInTurkishWhatFailedAndWhatToCheck) {
    const QString sslDir = mySqlEnv("V270_MYSQL_SSL_DIR");
    const struct {
        const char* name;
        void (*change)(PersonnelSettings&, const QString& sslDir);
        const char* says; // a part of the first line
    } cases[] = {
        {"right password", [](PersonnelSettings&, const QString&) {}, "Bağlantı başarılı"},
        {"wrong password", [](PersonnelSettings& s, const QString&) { s.password = "yanlis"; },
         "kullanıcı adını ve şifreyi"},
        {"unknown database", [](PersonnelSettings& s, const QString&) { s.database = "yok_db"; },
         "veritabanı adını"},
        {"nothing listens", [](PersonnelSettings& s, const QString&) { s.port = "1"; },
         "adresini ve portu"},
        {"certificate of another CA",
         [](PersonnelSettings& s, const QString& dir) {
             s.ssl = "1";
             s.sslCACert = dir + "/other-ca.pem";
         },
         "sertifika"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        PersonnelSettings s = settings();
        c.change(s, sslDir);
        const ConnectionTry result = tryPersonnelConnection(s, 5);
        EXPECT_EQ(result.ok, std::string(c.name) == "right password");
        EXPECT_TRUE(result.text.contains(QString::fromUtf8(c.says))) << result.text.toStdString();
        // A failure keeps the server's own words apart from the Turkish line.
        EXPECT_EQ(result.details.isEmpty(), result.ok) << result.details.toStdString();
    }
}

TEST_F(TryConnection, WrongDatabaseWithoutThePersonnelTableIsFound) {
    db->run("drop table " + db->name() + ".personel");
    const ConnectionTry result = tryPersonnelConnection(settings(), 5);
    EXPECT_FALSE(result.ok);
    EXPECT_TRUE(result.text.startsWith("Veritabanında personel tablosu yok"))
        << result.text.toStdString();
}

} // namespace
