#pragma once

// Whether the enrollment store holds one whole download. A download builds
// its store in a transaction that only a whole download commits; it marks
// the store incomplete just before that commit and complete right after it,
// with the terminal, machine number and time it came from and the number and
// digest of its rows. A download that ends otherwise leaves the mark alone.
// An upload that first clears the terminal sends only a store marked
// complete whose rows are still the ones the download wrote.
//
// The mark lives in the [EnrollStore] section of the Settings.ini beside
// Data.mdb: the program never creates a table, and the Data.mdb files in use
// have none for it. Settings.ini is not written together with the tables,
// so the order of the writes keeps it safe: State=incomplete is the first
// key a download writes and State=complete the last, and the digest ties a
// complete mark to the rows it describes. A kill between the commits of
// Data.mdb and Log.mdb, or a Data.mdb put in by hand, reads as not complete.

#include "EnrollStore.h"

#include <QDateTime>
#include <QString>

#include <cstdint>

struct StoreMark {
    enum class State {
        None,       // no download has marked this store
        Incomplete, // a download began and did not end with its last row
        Complete,
    };
    State state = State::None;
    QString terminal; // the terminal row's name
    int32_t machine = 0;
    QDateTime time; // when the download began
    qint64 rows = -1;
    QString digest;
};

// The Settings.ini beside the store's Data.mdb.
QString storeMarkFile(const EnrollStore& store);

StoreMark readStoreMark(const EnrollStore& store);
// Before a whole download's rows are committed.
void markDownloadStarted(const EnrollStore& store, const QString& terminal, int32_t machine,
                         const QDateTime& time);
// After they are.
void markDownloadComplete(const EnrollStore& store, const StoreDigest& rows);

// Why the store must not go to a terminal that is cleared first, for the
// operator: which download was cut and how to redo it. Empty when the store
// is marked complete and rows is what that download wrote.
QString storeNotCompleteText(const StoreMark& mark, const StoreDigest& rows);

// The store's state in one line for the window, from the mark and the
// number of rows alone (no digest); empty for an empty store never marked.
QString storeStateText(const StoreMark& mark, qint64 rows);
