#pragma once

#include <QSqlDatabase>
#include <QSqlQuery>
#include <QString>
#include <QVariant>

// Opens an existing SQLite file read-write under the given connection name.
// It never creates a file: a missing file, or one that is not an SQLite
// database (a file copied from the old Windows program, say), throws an
// AppError in Turkish that names the file. The connection gets the TURKISH
// collation and a Turkish-aware LIKE.
QSqlDatabase openDatabaseFile(const QString& connectionName, const QString& path);

// Makes a new SQLite file at path by running a schema script (core/schema/).
// The file appears complete or not at all, and an existing file is never
// replaced: both a failure and an existing file throw AppError.
void createDatabaseFile(const QString& path, const QString& schemaPath);

// Adds the TURKISH collation and LIKE to an open SQLite connection that runs
// no statement (SQLite won't replace LIKE meanwhile); AppError if refused.
void registerTurkishText(QSqlDatabase& db);

// Throws AppError "Veritabanı hatası: " with the database's own text.
class QSqlError;
[[noreturn]] void throwDatabaseError(const QSqlError& error);

// Runs a statement with bound values; throws AppError with the database's own
// text on failure. Returns the active query.
class QSqlQuery;
QSqlQuery execSql(const QSqlDatabase& db, const QString& sql, const QVariantList& values = {});
