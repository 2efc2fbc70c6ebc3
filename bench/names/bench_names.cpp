// "PDKS Programından İsimleri Al (mysql)" for 5,000 users against a MariaDB
// server: the batched fill as the window runs it (Log.mdb on disk, names
// written), on a personel table without and with an index on kartno; then
// the same lookups one statement per row, as a reference for the figure and
// for the result, which must be the same.
//   bench_names [--users N] [--runs N]
// The server is V270_MYSQL_HOST and V270_MYSQL_PORT, user root.

#include "core/Database.h"
#include "core/TextCodec.h"
#include "core/TextHelpers.h"
#include "core/testing/SilentOperator.h"
#include "core/testing/TestFiles.h"
#include "enroll/EnrollStore.h"
#include "mysql/MyQuery.h"
#include "names/MySqlText.h"
#include "names/PersonnelNames.h"

#include <QCoreApplication>
#include <QSqlQuery>
#include <QTemporaryDir>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>

using v270::mysql::TMyConnection;
using v270::mysql::TMyQuery;

namespace {

const char kDatabase[] = "v270_names_bench";

double msSince(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start)
        .count();
}

void exec(TMyConnection& c, const QString& sql) {
    TMyQuery q;
    q.SetConnection(&c);
    q.SQL.Add(encodeCp1254(sql).toStdString());
    q.ExecSQL();
}

// personel with users rows of Turkish names, every tenth user twice (the
// second row comes first in the table's order and must win).
void makePersonnel(TMyConnection& root, int users, bool indexed) {
    exec(root, QStringLiteral("drop table if exists %1.personel").arg(kDatabase));
    exec(root, QStringLiteral("create table %1.personel (id int primary key, kartno varchar(10), "
                              "ad varchar(40), soyad varchar(40)%2)")
                   .arg(kDatabase, indexed ? QStringLiteral(", key (kartno)") : QString()));
    QStringList rows;
    for (int i = 1; i <= users; ++i) {
        const QString k = kartnoOf(i);
        rows
            << QStringLiteral("(%1, '%2', 'Şükrü%3', 'Öztürkoğlu')").arg(1000000 + i).arg(k).arg(i);
        if (i % 10 == 0)
            rows << QStringLiteral("(%1, '%2', 'Çağla%3', 'İnce')").arg(i).arg(k).arg(i);
        if (rows.size() >= 1000 || i == users) {
            exec(root, QStringLiteral("insert into %1.personel values ").arg(kDatabase) +
                           rows.join(u','));
            rows.clear();
        }
    }
}

std::map<QString, QString> tempNames(const EnrollStore& store) {
    std::map<QString, QString> names;
    QSqlQuery q = execSql(store.log(), QStringLiteral("select kartno, isim from temp"));
    while (q.next())
        names[q.value(0).toString()] = q.value(1).toString();
    return names;
}

} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    int users = 5000, runs = 3;
    for (int i = 1; i + 1 < argc; i += 2) {
        if (!std::strcmp(argv[i], "--users")) users = std::atoi(argv[i + 1]);
        if (!std::strcmp(argv[i], "--runs")) runs = std::max(1, std::atoi(argv[i + 1]));
    }
    const char* host = std::getenv("V270_MYSQL_HOST");
    const char* port = std::getenv("V270_MYSQL_PORT");
    if (!host || !port) {
        std::fprintf(stderr, "V270_MYSQL_HOST and V270_MYSQL_PORT must name a MariaDB server\n");
        return 2;
    }
    try {
        TMyConnection root;
        root.SetServer(host);
        root.SetPort(std::atoi(port));
        root.SetUsername("root");
        root.SetDatabase("");
        root.Options().SetCharset("latin5");
        exec(
            root,
            QStringLiteral("create database if not exists %1 character set latin5").arg(kDatabase));

        QTemporaryDir dir;
        const QString log = dir.filePath("Log.mdb"), data = dir.filePath("Data.mdb");
        createDatabaseFromSchema(log, QStringLiteral("Log.sql"));
        createDatabaseFromSchema(data, QStringLiteral("Data.sql"));
        EnrollStore store(openDatabaseFile(QStringLiteral("data"), data),
                          openDatabaseFile(QStringLiteral("log"), log));
        {
            EnrollWriter writer(store);
            for (int i = 1; i <= users; ++i)
                writer.addName(kartnoOf(i), QStringLiteral("TERMINAL"));
            writer.commit();
        }

        PersonnelSettings settings;
        settings.server = QString::fromLatin1(host);
        settings.port = QString::fromLatin1(port);
        settings.user = QStringLiteral("root");
        settings.database = QString::fromLatin1(kDatabase);
        SilentOperator op;
        TMyConnection connection;
        connection.Options().SetCharset("latin5");
        TMyQuery query;
        query.SetConnection(&connection);
        query.CommandTimeout = 30;

        std::map<QString, QString> filled;
        for (const bool indexed : {false, true}) {
            makePersonnel(root, users, indexed);
            double best = 1e300;
            FillResult r;
            for (int run = 0; run < runs; ++run) {
                execSql(store.log(), QStringLiteral("update temp set isim = 'TERMINAL'"));
                const auto start = std::chrono::steady_clock::now();
                r = fillNames(connection, query, settings, store, {}, op);
                best = std::min(best, msSince(start));
            }
            std::printf("names fill, %d users, personel %s: %.0f ms (best of %d), %d renamed\n",
                        users, indexed ? "with an index on kartno" : "without an index", best, runs,
                        r.renamedRows);
            filled = tempNames(store);
        }

        // The reference: one statement per row, lookups only.
        const auto start = std::chrono::steady_clock::now();
        std::map<QString, QString> oneByOne;
        TMyQuery one;
        one.SetConnection(&connection);
        if (!connection.Connected()) connection.Connect();
        for (const auto& [kartno, unused] : filled) {
            one.Close();
            one.SQL.Clear();
            one.SQL.Add("select * from personel where kartno=" +
                        quotedLiteral(connection, *toLatin5(kartno)));
            one.Open();
            oneByOne[kartno] = one.RecordCount() == 0
                                   ? QStringLiteral("TERMINAL")
                                   : personnelName(fromLatin5(one.FieldByName("ad").AsString()),
                                                   fromLatin5(one.FieldByName("soyad").AsString()));
        }
        std::printf("one statement per row (lookups only), personel with an index: %.0f ms\n",
                    msSince(start));
        std::printf("same names as one statement per row: %s\n", oneByOne == filled ? "yes" : "NO");
        exec(root, QStringLiteral("drop database %1").arg(kDatabase));
        return oneByOne == filled ? 0 : 1;
    } catch (const std::exception& e) {
        std::fprintf(stderr, "%s\n", e.what());
        return 1;
    }
}
