#pragma once

// A central database of its own on the test servers: the single MariaDB of
// scripts/mariadb-test-server (V270_MYSQL_HOST, V270_MYSQL_PORT) or the
// three nodes of scripts/galera-test-cluster (V270_GALERA_HOST,
// V270_GALERA_PORTS). Tests skip when theirs is not running.

#include "core/CentralOutbox.h"
#include "core/CentralSettings.h"
#include "core/DirectoryLock.h"
#include "core/IniFile.h"
#include "mysql/MySqlErrors.h"
#include "sink/CentralDatabase.h"
#include "sink/OutboxPush.h"

#include <QString>
#include <QStringList>
#include <QTemporaryDir>

#include <cstdlib>
#include <functional>
#include <string>
#include <gtest/gtest.h>

inline QString centralEnv(const char* name) {
    return QString::fromLocal8Bit(std::getenv(name));
}

// The hosts of a kind of server, in [Merkez] Hosts' form; empty when it is
// not running.
inline QString testHosts(bool cluster) {
    if (cluster) {
        const QString host = centralEnv("V270_GALERA_HOST");
        QStringList hosts;
        for (const QString& port : centralEnv("V270_GALERA_PORTS").split(u',', Qt::SkipEmptyParts))
            hosts << host + u':' + port;
        return hosts.join(u',');
    }
    if (centralEnv("V270_MYSQL_PORT").isEmpty()) return {};
    return centralEnv("V270_MYSQL_HOST") + u':' + centralEnv("V270_MYSQL_PORT");
}

inline const char* skipText(bool cluster) {
    return cluster ? "no Galera test cluster: eval \"$(scripts/galera-test-cluster start DIR)\" "
                     "first"
                   : "no test MariaDB: eval \"$(scripts/mariadb-test-server start DIR)\" first";
}

// Settings of a program directory that pushes to database through hosts;
// the first of hosts is tried first.
inline CentralSettings centralSettings(const QString& hosts, const QString& database,
                                       const QString& site) {
    CentralSettings s;
    s.hosts = parseCentralHosts(hosts);
    s.database = database;
    s.user = QStringLiteral("root");
    s.site = site;
    return s;
}

class CentralTestDatabase {
  public:
    CentralTestDatabase(const QString& hosts, const std::string& name)
        : name_("v270_sink_" + name),
          admin_(centralSettings(hosts, QStringLiteral("mysql"), QStringLiteral("test"))) {
        again([&] {
            admin_.execute("DROP DATABASE IF EXISTS " + name_);
            admin_.execute("CREATE DATABASE " + name_ + " CHARACTER SET utf8mb4");
            admin_.execute("USE " + name_);
            for (const std::string& statement : centralSchemaStatements())
                admin_.execute(statement);
        });
    }
    ~CentralTestDatabase() {
        try {
            again([&] { admin_.execute("DROP DATABASE IF EXISTS " + name_); });
        } catch (...) {
        }
    }
    QString name() const { return QString::fromStdString(name_); }

    long long count(const std::string& where = "1") {
        return std::stoll(
            *select("SELECT COUNT(*) FROM " + name_ + ".attendance WHERE " + where)[0][0]);
    }
    // Every key once is what the primary key promises; this checks the
    // rows are the records asked for: n per terminal, positions 0..n-1.
    ::testing::AssertionResult holds(const std::vector<std::pair<QByteArray, int>>& terminals) {
        long long total = 0;
        for (const auto& [terminal, n] : terminals) {
            const auto rows = select(
                "SELECT COUNT(*), COALESCE(MIN(position), -1), COALESCE(MAX(position), -1) FROM " +
                name_ + ".attendance WHERE terminal_serial = " + sqlBytes(terminal));
            const std::string got = *rows[0][0] + " " + *rows[0][1] + " " + *rows[0][2];
            const std::string want =
                n == 0 ? "0 -1 -1" : std::to_string(n) + " 0 " + std::to_string(n - 1);
            if (got != want)
                return ::testing::AssertionFailure()
                       << terminal.toStdString() << ": " << got << ", not " << want;
            total += n;
        }
        if (const long long all = count(); all != total)
            return ::testing::AssertionFailure() << all << " rows, not " << total;
        return ::testing::AssertionSuccess();
    }
    std::vector<SqlRow> select(const std::string& sql) {
        std::vector<SqlRow> rows;
        again([&] {
            // A Galera node applies what another committed a moment later:
            // the checks wait for it.
            admin_.execute("SET SESSION wsrep_sync_wait = 1");
            rows = admin_.select(sql);
        });
        return rows;
    }

  private:
    // A node the test killed hands the checks over to the next one.
    void again(const std::function<void()>& run) {
        for (int attempt = 1;; ++attempt) {
            try {
                return run();
            } catch (const v270::mysql::EMySqlException& e) {
                if (attempt == 3 || !hostGoneError(e.Code())) throw;
                admin_.drop(true);
            }
        }
    }

    std::string name_;
    CentralConnection admin_;
};

// A program directory whose outbox holds records of terminals.
class SiteDir {
  public:
    QString dir() const { return tmp_.path() + u'/'; }

    static QByteArray lineFor(int i) {
        return QStringLiteral("%1 05/03/2024 %2:%3:00 01 01\r\n")
            .arg(i + 1, 5, 10, QChar('0'))
            .arg(8 + (i / 60) % 10, 2, 10, QChar('0'))
            .arg(i % 60, 2, 10, QChar('0'))
            .toLatin1();
    }

    // Records from..from+count-1 of terminal, in batches of batch.
    void add(const QByteArray& terminal, int from, int count, int batch = 500) {
        const std::optional<DirectoryLock> lock = DirectoryLock::tryAcquire(dir());
        ASSERT_TRUE(lock);
        for (int at = from; at < from + count; at += batch) {
            const int n = std::min(batch, from + count - at);
            QByteArray lines;
            for (int i = at; i < at + n; ++i)
                lines += lineFor(i);
            addToOutbox(*lock, terminal, 1, at, lines, n, 1700000000 + at);
        }
    }

    void writeSettings(const QString& hosts, const QString& database, const QString& site) {
        const QString ini = dir() + "Settings.ini";
        writeProfileString(ini, "Merkez", "Hosts", hosts);
        writeProfileString(ini, "Merkez", "Database", database);
        writeProfileString(ini, "Merkez", "User", "root");
        writeProfileString(ini, "Merkez", "Site", site);
    }

  private:
    QTemporaryDir tmp_;
};
