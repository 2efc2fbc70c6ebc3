#include "ExactlyOnce.h"

#include "TestFiles.h"

#include <QDir>
#include <QHash>

namespace {

StreamCount countStream(const QString& dir, const QStringList& names,
                        const QList<QByteArray>& expected,
                        const std::function<QByteArray(const QByteArray&)>& keyOf) {
    StreamCount c;
    c.stream = names.join(u',');
    QHash<QByteArray, int> seen;
    for (const QString& name : names) {
        const QByteArray content = readFile(dir + name);
        if (!content.isEmpty() && !content.endsWith("\r\n")) {
            ++c.partialFiles;
            if (c.firstProblem.isEmpty()) c.firstProblem = name + QStringLiteral(": partial line");
        }
        for (const QByteArray& piece : content.split('\n')) {
            if (piece.isEmpty()) continue;
            const QByteArray line = piece + '\n';
            ++seen[keyOf ? keyOf(line) : line];
            ++c.lines;
        }
    }
    for (const QByteArray& key : expected) {
        const int times = seen.take(key);
        if (times == 1) continue;
        if (times == 0)
            ++c.missing;
        else
            c.repeated += times - 1;
        if (c.firstProblem.isEmpty())
            c.firstProblem = QStringLiteral("%1: %2 %3 times")
                                 .arg(c.stream, QString::fromLatin1(key.trimmed()))
                                 .arg(times);
    }
    c.others = seen.size();
    if (c.others > 0 && c.firstProblem.isEmpty())
        c.firstProblem = QStringLiteral("%1: %2 other lines, e.g. %3")
                             .arg(c.stream)
                             .arg(c.others)
                             .arg(QString::fromLatin1(seen.begin().key().trimmed()));
    return c;
}

} // namespace

bool ExactlyOnceReport::ok() const {
    return text().isEmpty();
}

QString ExactlyOnceReport::text() const {
    for (const StreamCount& s : streams)
        if (!s.firstProblem.isEmpty()) return s.firstProblem;
    return {};
}

ExactlyOnceReport checkExactlyOnce(const DeliveredFiles& files, const QList<QByteArray>& expected,
                                   const std::function<QByteArray(const QByteArray&)>& keyOf) {
    QStringList backups;
    for (const QString& f :
         QDir(files.programDir + QStringLiteral("yedek_V270")).entryList(QDir::Files, QDir::Name))
        backups << QStringLiteral("yedek_V270/") + f;
    std::vector<QStringList> streams{files.veriFiles, backups};
    if (files.secondFile) streams.push_back({QStringLiteral("veri2.txt")});
    ExactlyOnceReport report;
    for (const QStringList& names : streams)
        report.streams.push_back(countStream(files.programDir, names, expected, keyOf));
    return report;
}
