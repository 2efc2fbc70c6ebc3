#pragma once

#include "cli/CommandLine.h"
#include "session/TerminalSession.h"
#include "terminal/TFP_CLOCK.h"

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

// What a command says of a listed terminal nothing listens for (port 1 on
// loopback); with several terminals each line carries the name in front.
inline QString refusedText(const QString& name, bool named = false) {
    const QString text = connectionFailedText(name, "127.0.0.1:1", ERR_COMPORT_ERROR) + "\n";
    if (!named) return text;
    QString out;
    for (const QString& line : text.split(u'\n', Qt::SkipEmptyParts))
        out += (line.startsWith(name + " (") ? QString() : name + ": ") + line + "\n";
    return out;
}

// The summary line of a listed terminal nothing listens for.
inline QString refusedSummary(const QString& name) {
    const QString where = name + " (127.0.0.1:1)";
    const QString last =
        connectionFailedText(name, "127.0.0.1:1", ERR_COMPORT_ERROR).section(u'\n', -1);
    return where + ": HATA: bağlanamadı: " + last.mid(where.size() + 2) + "\n";
}
