#pragma once

// Fixtures for the enrollment tests: store files from the schema, a screen
// and an operator that remember what they were shown, and terminals.

#include "core/Database.h"
#include "core/testing/RecordingOperator.h"
#include "core/testing/TestProgramDir.h"
#include "enroll/EnrollCommands.h"
#include "terminal/DeviceModel.h"

#include <QSqlDatabase>
#include <QSqlQuery>
#include <QSqlRecord>
#include <QUuid>

#include <functional>
#include <ostream>
#include <vector>

// Texts in test failures as text.
inline void PrintTo(const QString& text, std::ostream* os) {
    *os << '"' << text.toStdString() << '"';
}

// Data.mdb and Log.mdb made from the schema in a directory of their own,
// open under connection names of their own.
class StoreFiles {
  public:
    StoreFiles() {
        openDatabaseFile(dataName_, path("Data.mdb"));
        openDatabaseFile(logName_, path("Log.mdb"));
    }
    ~StoreFiles() {
        for (const QString& name : {dataName_, logName_}) {
            QSqlDatabase::database(name, false).close();
            QSqlDatabase::removeDatabase(name);
        }
    }
    QString dir() const { return files_.dir(); }
    QString path(const char* file) const { return files_.path(QLatin1String(file)); }
    EnrollStore store() const {
        return EnrollStore(QSqlDatabase::database(dataName_, false),
                           QSqlDatabase::database(logName_, false));
    }
    // The rows of a table, each as its values joined by '|', in natural order.
    QStringList rows(const char* sql, bool log = false) const {
        QSqlQuery q =
            execSql(QSqlDatabase::database(log ? logName_ : dataName_, false), QLatin1String(sql));
        QStringList out;
        while (q.next()) {
            QStringList values;
            for (int i = 0; i < q.record().count(); ++i)
                values << (q.isNull(i) ? QStringLiteral("NULL") : q.value(i).toString());
            out << values.join(u'|');
        }
        return out;
    }

  private:
    TestProgramDir files_;
    QString dataName_ = QUuid::createUuid().toString();
    QString logName_ = QUuid::createUuid().toString();
};

class RecordingScreen : public EnrollScreen {
  public:
    QStringList log;
    QString position;
    QString userName;
    int nameListRuns = 0;
    void clearLog() override { log.clear(); }
    void addLogLine(const QString& line) override { log << line; }
    void setPosition(const QString& text) override { position = text; }
    void setUserName(const QString& name) override { userName = name; }
    void showNameList() override { ++nameListRuns; }
};

// A recording operator that runs a hook at each status line (once per
// enrollment in the bulk commands) with the number of lines so far, and
// another at each progress step (once per batch of a name fill).
class HookedOperator : public RecordingOperator {
  public:
    std::function<void(int statusCount)> hook;
    std::function<void(int steps)> progressHook;
    void setStatus(const QString& text) override {
        RecordingOperator::setStatus(text);
        if (hook) hook(int(statuses.size()));
    }
    void setProgress(int position) override {
        RecordingOperator::setProgress(position);
        if (progressHook) progressHook(int(progressHistory.size()));
    }
};

// A template whose every element, element 355 too, tells seed and index apart.
inline EnrollTemplate templateOf(int32_t seed) {
    EnrollTemplate t{};
    for (size_t i = 0; i < t.size(); ++i)
        t[i] = static_cast<int32_t>(uint32_t(seed) * 2654435761u + uint32_t(i) * 40503u);
    return t;
}

inline Enrollment fingerOf(int32_t enroll, int32_t backup, int32_t emachine = 1,
                           int32_t privilege = 0) {
    Enrollment e;
    e.enroll = enroll, e.emachine = emachine, e.backup = backup, e.privilege = privilege;
    e.fingerprint = templateOf(enroll * 100 + backup);
    return e;
}

inline Enrollment passwordOf(int32_t enroll, int32_t backup, int32_t value, int32_t emachine = 1) {
    Enrollment e;
    e.enroll = enroll, e.emachine = emachine, e.backup = backup, e.password = value;
    return e;
}
