#pragma once

#include "cli/CommandLine.h"

#include <QString>
#include <QStringList>
#include <QTextStream>

// What a run of the command line printed and returned.
struct Outcome {
    int code;
    QString out;
    QString err;
};

// v270-aktarim --dir programDir args..., in this process.
inline Outcome runProgram(const QString& programDir, const QStringList& args) {
    QString out, err;
    QTextStream o(&out), e(&err);
    const int code = runCommandLine(QStringList{"--dir", programDir} + args, o, e);
    o.flush();
    e.flush();
    return {code, out, err};
}
