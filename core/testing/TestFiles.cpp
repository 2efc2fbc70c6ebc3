#include "TestFiles.h"

#include "core/Database.h"

#include <QFile>

#include <stdexcept>

void createDatabaseFromSchema(const QString& path, const QString& schemaFile) {
    createDatabaseFile(path, QStringLiteral(V270_SCHEMA_DIR "/") + schemaFile);
}

void writeFile(const QString& path, const QByteArray& bytes) {
    QFile f(path);
    if (!f.open(QIODevice::WriteOnly | QIODevice::Truncate) || f.write(bytes) != bytes.size()) {
        throw std::runtime_error("cannot write test file");
    }
}

QByteArray readFile(const QString& path) {
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly)) return {};
    return f.readAll();
}
