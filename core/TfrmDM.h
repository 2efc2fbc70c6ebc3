#pragma once

#include "mysql/MyConnection.h"
#include "mysql/MyQuery.h"

#include <QSqlDatabase>
#include <QSqlQueryModel>
#include <QString>

// The data module: the database connections and the queries that more than
// one window uses. Connections are opened by the main window's creation
// handler; until then they are closed.
class TfrmDM {
  public:
    TfrmDM();
    ~TfrmDM();
    TfrmDM(const TfrmDM&) = delete;
    TfrmDM& operator=(const TfrmDM&) = delete;

    // Each instance has its own connection names, so tests can make several.
    // A Qt connection belongs to the thread that opened it: on the thread
    // that made the data module these are its own connections; any other
    // thread gets connections of its own to the same files, opened on first
    // use and closed when that thread ends.
    QSqlDatabase ADOConnection1() const; // Data.mdb
    QSqlDatabase ADOConnection2() const; // Log.mdb
    QString connection1Name() const { return name1_; }
    QString connection2Name() const { return name2_; }

    // The program directory the connections were opened in: commands that
    // write its stores hold its lock (DirectoryLock.h).
    QString programDir;

    // The terminal list shown in the main grid.
    QSqlQueryModel qrycihaz;

    // The personnel database of the PDKS program. The fingerprint-data window
    // puts the server, database, user, password and port from Settings.ini
    // into it before every use; the values here only stand until then.
    v270::mysql::TMyConnection MyConnection1;
    v270::mysql::TMyQuery MyQuery1; // scratch query on MyConnection1

    // How long one statement may wait for the personnel database's server.
    static constexpr int kMySqlCommandTimeout = 30;

  private:
    QSqlDatabase connectionOnThisThread(const QString& name) const;

    QString name1_;
    QString name2_;
    const void* ownerThread_;
};
