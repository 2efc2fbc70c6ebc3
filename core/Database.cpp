#include "Database.h"

#include "AppError.h"
#include "RegularFile.h"

#include <QCollator>
#include <QFile>
#include <QFileInfo>
#include <QLocale>
#include <QScopeGuard>
#include <QSqlDriver>
#include <QSqlError>
#include <QSqlQuery>
#include <QUrl>
#include <QUuid>
#include <QVariant>

#include <fcntl.h>
#include <unistd.h>
#include <sqlite3.h>

namespace {

const QLocale& turkish() {
    static const QLocale locale(QLocale::Turkish, QLocale::Turkey);
    return locale;
}

int compareTurkish(void* arg, int lenA, const void* a, int lenB, const void* b) {
    const auto* collator = static_cast<const QCollator*>(arg);
    const QString sa = QString::fromUtf16(static_cast<const char16_t*>(a), lenA / 2);
    const QString sb = QString::fromUtf16(static_cast<const char16_t*>(b), lenB / 2);
    return collator->compare(sa, sb);
}

void destroyCollator(void* arg) {
    delete static_cast<QCollator*>(arg);
}

// LIKE with '%' and '_' on text folded the Turkish way (I -> ı, İ -> i).
bool likeMatch(QStringView pattern, QStringView text, QChar escape) {
    qsizetype p = 0, t = 0, starP = -1, starT = 0;
    while (t < text.size()) {
        if (p < pattern.size()) {
            QChar pc = pattern[p];
            if (!escape.isNull() && pc == escape && p + 1 < pattern.size()) {
                if (pattern[p + 1] == text[t]) {
                    p += 2;
                    ++t;
                    continue;
                }
            } else if (pc == u'%') {
                starP = p++;
                starT = t;
                continue;
            } else if (pc == u'_' || pc == text[t]) {
                ++p;
                ++t;
                continue;
            }
        }
        if (starP < 0) return false;
        p = starP + 1;
        t = ++starT;
    }
    while (p < pattern.size() && pattern[p] == u'%')
        ++p;
    return p == pattern.size();
}

QString argText(sqlite3_value* v) {
    const void* data = sqlite3_value_text16(v);
    if (!data) return {};
    return QString::fromUtf16(static_cast<const char16_t*>(data), sqlite3_value_bytes16(v) / 2);
}

void turkishLike(sqlite3_context* ctx, int argc, sqlite3_value** argv) {
    if (sqlite3_value_type(argv[0]) == SQLITE_NULL || sqlite3_value_type(argv[1]) == SQLITE_NULL) {
        sqlite3_result_null(ctx);
        return;
    }
    QChar escape;
    if (argc == 3) {
        const QString e = argText(argv[2]);
        if (e.size() != 1) {
            sqlite3_result_error(ctx, "ESCAPE expression must be a single character", -1);
            return;
        }
        escape = e[0];
    }
    const QString pattern = turkish().toLower(argText(argv[0]));
    const QString text = turkish().toLower(argText(argv[1]));
    sqlite3_result_int(ctx, likeMatch(pattern, text, escape) ? 1 : 0);
}

} // namespace

void registerTurkishText(QSqlDatabase& db) {
    auto* handle = *static_cast<sqlite3**>(db.driver()->handle().data());
    auto collator = std::make_unique<QCollator>(turkish());
    collator->setCaseSensitivity(Qt::CaseInsensitive);
    if (sqlite3_create_collation_v2(handle, "TURKISH", SQLITE_UTF16, collator.get(), compareTurkish,
                                    destroyCollator) == SQLITE_OK) {
        collator.release(); // sqlite owns it now
    }
    for (int args : {2, 3}) {
        if (sqlite3_create_function_v2(handle, "like", args, SQLITE_UTF8 | SQLITE_DETERMINISTIC,
                                       nullptr, turkishLike, nullptr, nullptr,
                                       nullptr) != SQLITE_OK)
            throw AppError(QStringLiteral("Veritabanı hatası: %1")
                               .arg(QString::fromUtf8(sqlite3_errmsg(handle))));
    }
}

QSqlDatabase openDatabaseFile(const QString& connectionName, const QString& path) {
    QSqlDatabase db = QSqlDatabase::contains(connectionName)
                          ? QSqlDatabase::database(connectionName, false)
                          : QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), connectionName);
    db.close();
    const QString fileName = QFileInfo(path).fileName();
    requireTrustedLink(path);
    requireRegularFileOrMissing(path);
    if (!QFileInfo(path).isFile()) {
        throw AppError(QStringLiteral("%1 dosyası bulunamadı: %2").arg(fileName, path));
    }
    db.setConnectOptions(QStringLiteral("QSQLITE_OPEN_URI"));
    db.setDatabaseName(
        QUrl::fromLocalFile(QFileInfo(path).absoluteFilePath()).toString(QUrl::FullyEncoded) +
        QStringLiteral("?mode=rw"));
    if (!db.open()) {
        throw AppError(QStringLiteral("%1 açılamadı: %2").arg(path, db.lastError().text()));
    }
    // open() does not look inside the file; the first statement does.
    QSqlQuery probe(db);
    if (!probe.exec(QStringLiteral("select count(*) from sqlite_schema"))) {
        const QString reason = probe.lastError().databaseText();
        probe.finish();
        db.close();
        throw AppError(QStringLiteral("%1 bir SQLite veritabanı değil ya da okunamıyor (%2).\n"
                                      "Dosya: %3")
                           .arg(fileName, reason, path));
    }
    // SQLite refuses to replace a function (LIKE) while a statement is active.
    probe.finish();
    registerTurkishText(db);
    return db;
}

void throwDatabaseError(const QSqlError& error) {
    // The database's own words say what was refused; the driver's add nothing.
    const QString text = error.databaseText().isEmpty() ? error.text() : error.databaseText();
    throw AppError(QStringLiteral("Veritabanı hatası: %1").arg(text));
}

QSqlQuery execSql(const QSqlDatabase& db, const QString& sql, const QVariantList& values) {
    QSqlQuery query(db);
    if (!query.prepare(sql)) throwDatabaseError(query.lastError());
    for (const QVariant& v : values)
        query.addBindValue(v);
    if (!query.exec()) throwDatabaseError(query.lastError());
    return query;
}

void createDatabaseFile(const QString& path, const QString& schemaPath) {
    QFile schema(schemaPath);
    if (!schema.open(QIODevice::ReadOnly)) {
        throw AppError(QStringLiteral("Şema dosyası okunamadı: %1").arg(schemaPath));
    }
    const QByteArray script = schema.readAll();
    if (QFileInfo::exists(path)) {
        throw AppError(QStringLiteral("Dosya zaten var: %1").arg(path));
    }

    // Built under a name of its own and renamed at the end, so an interrupted
    // start never leaves a half-made database that later starts would keep.
    const QString partial =
        path + QStringLiteral(".yeni-") + QUuid::createUuid().toString(QUuid::Id128);
    auto removePartial = qScopeGuard([&] { QFile::remove(partial); });
    // Made before SQLite opens it, which would make it readable by everyone:
    // Data.mdb holds the terminal password. 0660 less the umask keeps it
    // writable for the group of a shared program directory.
    const int fd = ::open(QFile::encodeName(partial).constData(),
                          O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0660);
    if (fd < 0) throw AppError(QStringLiteral("%1 oluşturulamadı.").arg(path));
    ::close(fd);
    const QString connection = QStringLiteral("create-") + partial;
    QString failure;
    {
        QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), connection);
        db.setDatabaseName(partial);
        if (!db.open()) {
            failure = db.lastError().text();
        } else {
            auto* handle = *static_cast<sqlite3**>(db.driver()->handle().data());
            char* message = nullptr;
            if (sqlite3_exec(handle, script.constData(), nullptr, nullptr, &message) != SQLITE_OK) {
                failure = QString::fromUtf8(message ? message : sqlite3_errmsg(handle));
            }
            sqlite3_free(message);
            db.close();
        }
    }
    QSqlDatabase::removeDatabase(connection);
    if (!failure.isEmpty()) {
        throw AppError(QStringLiteral("%1 oluşturulamadı: %2").arg(path, failure));
    }
    // rename() refuses an existing target, so a file made meanwhile is kept.
    if (!QFile::rename(partial, path)) {
        throw AppError(QStringLiteral("%1 oluşturulamadı.").arg(path));
    }
}
