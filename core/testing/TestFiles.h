#pragma once

#include <QString>

// Creates an SQLite file at path from one of the repository's schema files
// ("Data.sql" or "Log.sql"), as the set-up scripts do.
void createDatabaseFromSchema(const QString& path, const QString& schemaFile);

// Writes bytes to a file, creating or replacing it.
void writeFile(const QString& path, const QByteArray& bytes);
QByteArray readFile(const QString& path);
