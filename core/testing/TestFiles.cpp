#include "TestFiles.h"

#include <QFile>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QUuid>
#include <stdexcept>

void createDatabaseFromSchema(const QString& path, const QString& schemaFile) {
    QFile schema(QStringLiteral(V270_SCHEMA_DIR "/") + schemaFile);
    if (!schema.open(QIODevice::ReadOnly)) throw std::runtime_error("schema file missing");
    const QString sql = QString::fromUtf8(schema.readAll());
    const QString name = QUuid::createUuid().toString();
    {
        QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), name);
        db.setDatabaseName(path);
        if (!db.open()) throw std::runtime_error("cannot create test database");
        for (QString statement : sql.split(u';')) {
            // Drop comment lines; what is left of a chunk is one statement.
            QStringList kept;
            for (const QString& line : statement.split(u'\n')) {
                if (!line.trimmed().startsWith(QStringLiteral("--"))) kept << line;
            }
            statement = kept.join(u'\n').trimmed();
            if (statement.isEmpty()) continue;
            QSqlQuery q(db);
            if (!q.exec(statement)) {
                throw std::runtime_error(q.lastError().text().toStdString());
            }
        }
        db.close();
    }
    QSqlDatabase::removeDatabase(name);
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
