#include "NameSending.h"

#include "core/Operator.h"
#include "core/TextHelpers.h"
#include "session/TerminalSession.h"
#include "terminal/TFP_CLOCK.h"

#include <QAbstractItemModel>
#include <QSqlQuery>
#include <QVariant>

namespace {

void sendOne(TFP_CLOCK& clock, int32_t machine, const NameRow& row, Operator& op,
             SendResult& result) {
    switch (SendUserName(clock, machine, row, op, &result.refusal)) {
    case NameSent::Sent:
        ++result.sent;
        break;
    case NameSent::Refused:
        ++result.refused;
        break;
    case NameSent::Skipped:
        ++result.skipped;
        break;
    }
}

// The terminal shows one line of plain characters: a control character (NUL,
// a line break, TAB, ...) or a line separator from the personnel database
// would reach its display as it is.
QString printable(QString name) {
    for (QChar& c : name) {
        const QChar::Category category = c.category();
        if (category == QChar::Other_Control || category == QChar::Separator_Line ||
            category == QChar::Separator_Paragraph)
            c = u' ';
    }
    return name;
}

} // namespace

std::optional<NameRow> nameRowOf(const QAbstractItemModel& list, int row, int kartnoColumn,
                                 int isimColumn) {
    if (row < 0 || row >= list.rowCount()) return std::nullopt;
    return NameRow{list.index(row, kartnoColumn).data().toString(),
                   list.index(row, isimColumn).data().toString()};
}

std::vector<NameRow> nameRowsOf(const QAbstractItemModel& list, int kartnoColumn, int isimColumn) {
    std::vector<NameRow> rows;
    rows.reserve(list.rowCount());
    for (int row = 0; row < list.rowCount(); ++row)
        rows.push_back(*nameRowOf(list, row, kartnoColumn, isimColumn));
    return rows;
}

std::vector<NameRow> nameRowsOf(const EnrollStore& store, const QString& search) {
    std::vector<NameRow> rows;
    QSqlQuery list = store.nameList(search);
    while (list.next())
        rows.push_back({list.value(1).toString(), list.value(2).toString()});
    return rows;
}

NameSent SendUserName(TFP_CLOCK& clock, int32_t machine, const NameRow& row, Operator& op,
                      QString* refusal) {
    if (row.isim.isEmpty()) return NameSent::Skipped;
    const QString name = FoldTurkish(printable(row.isim));
    const int32_t enroll = toWholeNumber(row.kartno);
    if (clock.SetUserName(0, machine, enroll, machine, name)) {
        op.setStatus(QStringLiteral("SetUserName OK"));
        return NameSent::Sent;
    }
    int32_t code = 0;
    clock.GetLastError(code);
    const QString error = deviceErrorName(code);
    op.setStatus(error);
    if (refusal) *refusal = error;
    return NameSent::Refused;
}

QString refusedNamesText(const SendResult& result) {
    if (result.refused == 1)
        return QStringLiteral("Terminal 1 ismi almadı (%1).").arg(result.refusal);
    return QStringLiteral("Terminal %1 ismi almadı (son hata: %2).")
        .arg(result.refused)
        .arg(result.refusal);
}

SendResult sendSelectedName(TFP_CLOCK& clock, int32_t machine, const std::optional<NameRow>& row,
                            Operator& op) {
    BusyCursor busy(op);
    SendResult result;
    if (row) sendOne(clock, machine, *row, op, result);
    return result;
}

SendResult sendAllNames(TFP_CLOCK& clock, int32_t machine, const std::vector<NameRow>& rows,
                        Operator& op) {
    BusyCursor busy(op);
    SendResult result;
    op.setProgressRange(0, static_cast<int>(rows.size()));
    int done = 0;
    for (const NameRow& row : rows) {
        op.setProgress(done++);
        if (op.cancelRequested()) {
            result.cancelled = true;
            op.setStatus(QStringLiteral("İptal edildi: %1 isim gönderildi.").arg(result.sent));
            break;
        }
        try {
            sendOne(clock, machine, row, op, result);
        } catch (const AppError& e) {
            throw NameSendStopped(e.text(), result);
        }
    }
    if (!result.cancelled) op.setProgress(done);
    return result;
}
