#include "TerminalCommands.h"

#include "TerminalCheck.h"
#include "TerminalList.h"
#include "core/AppError.h"
#include "core/Database.h"
#include "core/Operator.h"
#include "core/TfrmDM.h"
#include "session/TerminalSession.h"

#include <QVariant>

namespace {

QString columnText(const QSqlRecord& row, const char* column) {
    const int i = row.indexOf(QLatin1String(column));
    if (i < 0 || row.isNull(i)) return {};
    return row.value(i).toString();
}

// Tells the operator why the fields are refused, as the editor tells of a
// missing name; nothing is written then.
std::optional<TerminalField> refused(const TerminalFields& fields, Operator& op) {
    const std::optional<FieldProblem> problem = checkTerminalFields(fields);
    if (!problem) return std::nullopt;
    op.showMessage(problem->text, QStringLiteral("UYARI"), Operator::Icon::Warning);
    return problem->field;
}

// A numeric column takes a whole number in the 32-bit range, which the check
// has made sure of. An empty field leaves the column empty (NULL), as the old
// numeric fields did.
QVariant numeric(const QString& typed) {
    const QString t = typed.trimmed();
    return t.isEmpty() ? QVariant() : QVariant(toWholeNumber(t));
}

// The eight columns in the order they are set, each trimmed.
QVariantList columnValues(const TerminalFields& f) {
    return {numeric(f.machineNo), f.name.trimmed(),    tipForTypeIndex(f.typeIndex),
            f.comPort.trimmed(),  f.comBaud.trimmed(), f.ip.trimmed(),
            numeric(f.netPort),   numeric(f.password)};
}

int rowOfId(const TfrmDM& dm, const QVariant& id) {
    for (int r = 0; r < dm.qrycihaz.rowCount(); ++r) {
        if (dm.qrycihaz.record(r).value(QStringLiteral("id")) == id) return r;
    }
    return -1;
}

} // namespace

QString tipForTypeIndex(int index) {
    switch (index) {
    case 0:
        return QStringLiteral("com");
    case 1:
        return QStringLiteral("ethernet");
    case 2:
        return QStringLiteral("usb");
    default:
        return {};
    }
}

int typeIndexForTip(const QString& tip) {
    if (tip == u"com") return 0;
    if (tip == u"ethernet") return 1;
    if (tip == u"usb") return 2;
    return -1;
}

QSqlRecord terminalRow(const TfrmDM& dm, int row) {
    if (row < 0 || row >= dm.qrycihaz.rowCount()) return {};
    return dm.qrycihaz.record(row);
}

TerminalFields fieldsFromRow(const QSqlRecord& row) {
    TerminalFields f;
    f.name = columnText(row, "terminal");
    f.machineNo = columnText(row, "terminalno");
    f.comPort = columnText(row, "comport");
    f.comBaud = columnText(row, "combaud");
    f.ip = columnText(row, "ip");
    f.netPort = columnText(row, "netport");
    f.password = columnText(row, "sifre");
    f.typeIndex = typeIndexForTip(columnText(row, "tip"));
    return f;
}

EditStart startEdit(const TfrmDM& dm, int selectedRow) {
    const QSqlRecord row = terminalRow(dm, selectedRow);
    if (row.isEmpty()) return {};
    QSqlQuery lookUp =
        execSql(dm.ADOConnection1(), QStringLiteral("select * from Terminal where id = ?"),
                {row.value(QStringLiteral("id"))});
    if (!lookUp.next()) return {true, std::nullopt};
    // The editor shows the list's row, as the operator sees it.
    return {true, fieldsFromRow(row)};
}

SaveResult addTerminal(TfrmDM& dm, const TerminalFields& fields, Operator& op) {
    if (const auto bad = refused(fields, op)) return {false, -1, bad};
    execSql(dm.ADOConnection1(),
            QStringLiteral("insert into Terminal (TerminalNo, Terminal, Tip, ComPort, ComBaud, "
                           "Ip, NetPort, Sifre) values (?, ?, ?, ?, ?, ?, ?, ?)"),
            columnValues(fields));
    reopenTerminalList(dm);
    return {true, dm.qrycihaz.rowCount() > 0 ? 0 : -1, std::nullopt};
}

SaveResult updateTerminal(TfrmDM& dm, int selectedRow, const TerminalFields& fields, Operator& op) {
    if (const auto bad = refused(fields, op)) return {false, -1, bad};
    const QSqlRecord row = terminalRow(dm, selectedRow);
    int changed = 0;
    if (!row.isEmpty()) {
        QVariantList values = columnValues(fields);
        values << row.value(QStringLiteral("id"));
        changed = execSql(dm.ADOConnection1(),
                          QStringLiteral("update Terminal set TerminalNo = ?, Terminal = ?, "
                                         "Tip = ?, ComPort = ?, ComBaud = ?, Ip = ?, "
                                         "NetPort = ?, Sifre = ? where id = ?"),
                          values)
                      .numRowsAffected();
    }
    if (changed == 0) {
        // The row went away while the editor was open (another copy of the
        // program deleted it). The fields stay, so "Ekle" can add it again.
        op.showMessage(QStringLiteral("Bu terminal kaydı artık yok; başka bir yerden silinmiş. "
                                      "Değişiklikler kaydedilmedi. Yeniden eklemek için "
                                      "pencereyi kapatıp \"Ekle\" düğmesine basın."),
                       QStringLiteral("UYARI"), Operator::Icon::Warning);
        return {};
    }
    reopenTerminalList(dm);
    // Back to the edited row, even when a new name moved it in the order.
    const int rows = dm.qrycihaz.rowCount();
    const int edited = rowOfId(dm, row.value(QStringLiteral("id")));
    if (edited >= 0) return {true, edited, std::nullopt};
    return {true, rows > 0 ? qBound(0, selectedRow, rows - 1) : -1, std::nullopt};
}

std::optional<int> deleteTerminal(TfrmDM& dm, int selectedRow, Operator& op) {
    const QSqlRecord row = terminalRow(dm, selectedRow);
    if (row.isEmpty()) return std::nullopt;
    if (!op.askYesNo(QStringLiteral("Seçili kaydı Silmek İstiyor musunuz...?"),
                     QStringLiteral("UYARI"))) {
        return std::nullopt;
    }
    execSql(dm.ADOConnection1(), QStringLiteral("delete from Terminal where id = ?"),
            {row.value(QStringLiteral("id"))});
    reopenTerminalList(dm);
    return dm.qrycihaz.rowCount() > 0 ? 0 : -1;
}
