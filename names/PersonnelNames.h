#pragma once

// The users' names from the personnel table of the PDKS program's MySQL
// database (personel: kartno, ad, soyad) into the names list (temp).

#include "enroll/EnrollStore.h"
#include "enroll/PersonnelSettings.h"

#include <QString>

#include <functional>

namespace v270::mysql {
class TMyConnection;
class TMyQuery;
} // namespace v270::mysql
class Operator;

// Closes the connection and puts the settings into it. A value that can't be
// set (a port that is not a whole number) is reported with
// "Veritabanına bağlanamadı...." and left as it was; the rest are set and
// the caller goes on. False when something was left.
bool ApplyMySqlSettings(v270::mysql::TMyConnection& connection, const PersonnelSettings& settings,
                        Operator& op);

// The name a personnel row gives: ad and soyad with one blank between them,
// without blanks around the whole (a missing ad gives just the surname).
QString personnelName(const QString& ad, const QString& soyad);

struct FillResult {
    int listRows = 0;       // rows of the names list looked up
    int renamedRows = 0;    // temp rows that got a name
    int unmatchedRows = 0;  // list rows whose kartno has no personnel row
    int emptyNameRows = 0;  // list rows whose personnel row has neither ad nor soyad
    bool cancelled = false; // the operator stopped it; no name was written
};

// "PDKS Programından İsimleri Al (mysql)": for every row of the names list
// under the search text, the first personel row that the server returns
// for the row's kartno names every temp row of that kartno, as it stands when
// the name is written; a kartno without one, or whose row has an empty name,
// keeps its names. The lookups go in batches of a few hundred kartno values,
// each row still compared by the server exactly as on its own. The status
// line tells how many rows got a name, how many found no personnel row, and
// how many found one with an empty name.
// The names are written together once every lookup went through: a cancel
// or an error leaves the names list as it was. The connection is closed on
// every way out. Server and database errors throw AppError with their text.
FillResult fillNames(v270::mysql::TMyConnection& connection, v270::mysql::TMyQuery& query,
                     const PersonnelSettings& settings, EnrollStore& store, const QString& search,
                     Operator& op);

// What a fill did, one line each: rows named, rows without a personnel row,
// and, when there are any, rows whose personnel row has an empty name.
QStringList fillResultLines(const FillResult& result);
