#pragma once

#include <QByteArray>
#include <QList>
#include <QString>
#include <QStringList>

#include <functional>
#include <vector>

// Whether every record a test or a benchmark put on its terminals reached
// the data files exactly once: the one check the delivery tests, the
// identity tests, the parallel runs and the kill benchmark share.

// Where a delivery writes, as streams that must each hold every record once:
// veri.txt together with the files the PDKS program took away meanwhile,
// the monthly backup files, and veri2.txt when the second file is on.
struct DeliveredFiles {
    QString programDir; // with its trailing slash
    QStringList veriFiles{QStringLiteral("veri.txt")};
    bool secondFile = true;
};

struct StreamCount {
    QString stream;
    long long lines = 0, missing = 0, repeated = 0, others = 0, partialFiles = 0;
    QString firstProblem; // what went wrong first, for a failure message
};

struct ExactlyOnceReport {
    std::vector<StreamCount> streams;
    bool ok() const;
    QString text() const; // the first problem, or empty
};

// Counts each expected record in each stream. A read line ("… \r\n") is
// turned into a record's key by keyOf (the whole line when none is given;
// a test whose terminal changed its machine number leaves that field out),
// and expected holds the keys.
ExactlyOnceReport
checkExactlyOnce(const DeliveredFiles& files, const QList<QByteArray>& expected,
                 const std::function<QByteArray(const QByteArray& line)>& keyOf = {});
