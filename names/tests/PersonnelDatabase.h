#pragma once

// A personel table of its own on the test MariaDB (scripts/mariadb-test-server
// exports V270_MYSQL_HOST, V270_MYSQL_PORT and V270_MYSQL_SOCKET).

#include "core/IniFile.h"
#include "core/TextCodec.h"
#include "enroll/PersonnelSettings.h"
#include "mysql/MyQuery.h"

#include <QByteArray>
#include <QString>

#include <cstdlib>
#include <optional>
#include <string>

inline QString mySqlEnv(const char* name) {
    return QString::fromLocal8Bit(std::getenv(name));
}

inline bool testServerRunning() {
    return !mySqlEnv("V270_MYSQL_PORT").isEmpty();
}

#define SKIP_WITHOUT_TEST_SERVER()                                                                 \
    if (!testServerRunning())                                                                      \
    GTEST_SKIP() << "no test MariaDB: eval \"$(scripts/mariadb-test-server start DIR)\" first"

// A database named after the test, made afresh, holding personel (kartno,
// ad, soyad) in latin5. Rows go in as hex literals, so setting up needs no
// escaping of ours. ctest may run tests side by side: each has its own name.
class PersonnelDatabase {
  public:
    explicit PersonnelDatabase(const std::string& name, bool indexed = false)
        : name_("v270_names_" + name) {
        root_.SetServer(mySqlEnv("V270_MYSQL_HOST").toStdString());
        root_.SetPort(mySqlEnv("V270_MYSQL_PORT").toInt());
        root_.SetUsername("root");
        root_.SetDatabase("");
        root_.Options().SetCharset("latin5");
        run("drop database if exists " + name_);
        run("create database " + name_ + " character set latin5");
        run("create table " + name_ +
            ".personel (id int auto_increment primary key, kartno varchar(20), "
            "ad varchar(40), soyad varchar(40)" +
            (indexed ? ", key (kartno)" : "") + ")");
    }
    ~PersonnelDatabase() {
        try {
            run("drop database if exists " + name_);
        } catch (...) {
        }
    }

    // A statement as latin5 bytes, on one line.
    void run(const std::string& sql) {
        v270::mysql::TMyQuery q;
        q.SetConnection(&root_);
        q.SQL.Add(sql);
        q.ExecSQL();
    }
    void run(const QString& sql) { run(encodeCp1254(sql).toStdString()); }

    // A personel row; nullopt stands for NULL.
    void add(const QString& kartno, const std::optional<QString>& ad,
             const std::optional<QString>& soyad) {
        run("insert into " + name_ + ".personel (kartno, ad, soyad) values (" + hex(kartno) + "," +
            hex(ad) + "," + hex(soyad) + ")");
    }

    // What the window would read from Settings.ini for this database.
    PersonnelSettings settings() const {
        PersonnelSettings s;
        s.server = mySqlEnv("V270_MYSQL_HOST");
        s.database = QString::fromStdString(name_);
        s.user = QStringLiteral("root");
        s.port = mySqlEnv("V270_MYSQL_PORT");
        return s;
    }
    void writeSettings(const QString& settingsFile) const {
        const PersonnelSettings s = settings();
        writeProfileString(settingsFile, "Login", "Server", s.server);
        writeProfileString(settingsFile, "Login", "Database", s.database);
        writeProfileString(settingsFile, "MySql", "User", s.user);
        writeProfileString(settingsFile, "MySql", "Port", s.port);
    }

    const std::string& name() const { return name_; }
    v270::mysql::TMyConnection& root() { return root_; }

  private:
    static std::string hex(const std::optional<QString>& text) {
        if (!text) return "NULL";
        if (text->isEmpty()) return "''";
        return "X'" + encodeCp1254(*text).toHex().toStdString() + "'";
    }

    std::string name_;
    v270::mysql::TMyConnection root_;
};
