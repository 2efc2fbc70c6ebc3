#include "StoreMark.h"

#include "core/AppError.h"
#include "core/Database.h"
#include "core/IniFile.h"

#include <QFileInfo>
#include <QSqlQuery>
#include <QVariant>

namespace {

const QString kSection = QStringLiteral("EnrollStore");
const QString kState = QStringLiteral("State");
const QString kTerminal = QStringLiteral("Terminal");
const QString kMachine = QStringLiteral("MachineNo");
const QString kTime = QStringLiteral("Time");
const QString kRows = QStringLiteral("Rows");
const QString kDigest = QStringLiteral("Digest");
const QString kComplete = QStringLiteral("complete");
const QString kIncomplete = QStringLiteral("incomplete");
constexpr auto kTimeFormat = "yyyy-MM-dd HH:mm:ss";

// One line of the file, whatever the terminal's name holds.
QString oneLine(QString text) {
    for (QChar& c : text) {
        if (c.category() == QChar::Other_Control || c == QChar::LineSeparator ||
            c == QChar::ParagraphSeparator)
            c = u' ';
    }
    return text;
}

QString source(const StoreMark& mark) {
    const QString time = mark.time.isValid()
                             ? mark.time.toString(QStringLiteral("dd.MM.yyyy HH:mm:ss"))
                             : QStringLiteral("?");
    return QStringLiteral("\"%1\" terminalinden (Cihaz No %2) %3 tarihinde")
        .arg(mark.terminal)
        .arg(mark.machine)
        .arg(time);
}

QString redo() {
    return QStringLiteral("\"Cihazdaki tüm prmizlerini sil\" ile yükleme yapılamaz; önce "
                          "\"Terminalden Parmakizi Datası Al\" (enroll download) ile kaynak "
                          "terminalden yeniden alın.");
}

QString notComplete(const StoreMark& mark, qint64 rows, bool sameRows) {
    switch (mark.state) {
    case StoreMark::State::None:
        if (rows == 0)
            return QStringLiteral("Parmakizi deposu boş: henüz terminalden alınmadı. ") + redo();
        return QStringLiteral("Parmakizi deposunun tam bir indirmeden geldiği bilinmiyor. ") +
               redo();
    case StoreMark::State::Incomplete:
        return QStringLiteral("Parmakizi deposu eksik: %1 başlayan indirme tamamlanmadı. ")
                   .arg(source(mark)) +
               redo();
    case StoreMark::State::Complete:
        if (sameRows) return {};
        return QStringLiteral("Parmakizi deposu %1 alındıktan sonra değişti (alınan %2 kayıt, "
                              "şimdi %3). ")
                   .arg(source(mark))
                   .arg(mark.rows)
                   .arg(rows) +
               redo();
    }
    return {};
}

} // namespace

QString storeMarkFile(const EnrollStore& store) {
    QSqlQuery q = execSql(store.data(), QStringLiteral("pragma database_list"));
    while (q.next()) {
        if (q.value(1).toString() == u"main" && !q.value(2).toString().isEmpty())
            return QFileInfo(q.value(2).toString()).absolutePath() +
                   QStringLiteral("/Settings.ini");
    }
    return {};
}

StoreMark readStoreMark(const EnrollStore& store) {
    StoreMark mark;
    const QString file = storeMarkFile(store);
    if (file.isEmpty()) return mark;
    const auto value = [&](const QString& key) {
        return readProfileString(file, kSection, key, QString());
    };
    const QString state = value(kState);
    if (state.isEmpty()) return mark;
    mark.state = state.compare(kComplete, Qt::CaseInsensitive) == 0 ? StoreMark::State::Complete
                                                                    : StoreMark::State::Incomplete;
    mark.terminal = value(kTerminal);
    mark.machine = value(kMachine).toInt();
    mark.time = QDateTime::fromString(value(kTime), QLatin1String(kTimeFormat));
    bool ok = false;
    mark.rows = value(kRows).toLongLong(&ok);
    if (!ok) mark.rows = -1;
    mark.digest = value(kDigest);
    return mark;
}

void markDownloadStarted(const EnrollStore& store, const QString& terminal, int32_t machine,
                         const QDateTime& time) {
    const QString file = storeMarkFile(store);
    if (file.isEmpty()) throw AppError(QStringLiteral("Parmakizi deposunun dosyası bilinmiyor."));
    writeProfileString(file, kSection, kState, kIncomplete); // first
    writeProfileString(file, kSection, kTerminal, oneLine(terminal));
    writeProfileString(file, kSection, kMachine, QString::number(machine));
    writeProfileString(file, kSection, kTime, time.toString(QLatin1String(kTimeFormat)));
    writeProfileString(file, kSection, kRows, QString());
    writeProfileString(file, kSection, kDigest, QString());
}

void markDownloadComplete(const EnrollStore& store, const StoreDigest& rows) {
    const QString file = storeMarkFile(store);
    if (file.isEmpty()) throw AppError(QStringLiteral("Parmakizi deposunun dosyası bilinmiyor."));
    writeProfileString(file, kSection, kRows, QString::number(rows.rows()));
    writeProfileString(file, kSection, kDigest, rows.value());
    writeProfileString(file, kSection, kState, kComplete); // last
}

QString storeNotCompleteText(const StoreMark& mark, const StoreDigest& rows) {
    return notComplete(mark, rows.rows(), mark.rows == rows.rows() && mark.digest == rows.value());
}

QString storeStateText(const StoreMark& mark, qint64 rows) {
    if (mark.state == StoreMark::State::None && rows == 0) return {};
    if (mark.state == StoreMark::State::Complete && mark.rows == rows)
        return QStringLiteral("Parmakizi deposu: %1 alınan %2 kayıt, tam.")
            .arg(source(mark))
            .arg(rows);
    return notComplete(mark, rows, false);
}
