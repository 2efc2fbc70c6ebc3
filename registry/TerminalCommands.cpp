#include "TerminalCommands.h"

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

QString nameMissingText() {
    return QStringLiteral("Terminal Adını Giriniz.");
}

bool nameMissing(const TerminalFields& fields, Operator& op) {
    if (!fields.name.isEmpty()) return false;
    op.showMessage(nameMissingText(), QStringLiteral("UYARI"), Operator::Icon::Warning);
    return true;
}

// The conversion message of a typed number, or empty when it is whole.
QString notWholeNumber(const QString& typed) {
    try {
        if (!typed.trimmed().isEmpty()) toWholeNumber(typed);
    } catch (const AppError& e) {
        return e.text();
    }
    return {};
}

// A numeric column takes only what a connect can read back: a whole number in
// the 32-bit range. "1e3", "12.0" or "99999999999" throw the conversion error
// before anything is stored. An empty field leaves the column empty (NULL),
// as the old numeric fields did.
QVariant numeric(const QString& typed) {
    const QString t = typed.trimmed();
    return t.isEmpty() ? QVariant() : QVariant(toWholeNumber(t));
}

// The eight columns in the order they are set, each trimmed.
QVariantList columnValues(const TerminalFields& f) {
    if (const QString problem = terminalFieldsProblem(f); !problem.isEmpty())
        throw AppError(problem);
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

QString terminalFieldsProblem(const TerminalFields& f) {
    if (f.name.isEmpty()) return nameMissingText();
    if (tipForTypeIndex(f.typeIndex).isEmpty())
        return QStringLiteral("Bağlantı tipi com, ethernet ya da usb olmalı.");
    for (const QString* typed : {&f.machineNo, &f.netPort, &f.password}) {
        if (const QString problem = notWholeNumber(*typed); !problem.isEmpty()) return problem;
    }
    return {};
}

QString connectionProblem(const TerminalFields& f) {
    const auto number = [](const QString& typed) {
        bool ok = false;
        const qlonglong value = typed.trimmed().toLongLong(&ok);
        return ok ? value : -1;
    };
    if (f.typeIndex == 1) {
        if (f.ip.trimmed().isEmpty()) return QStringLiteral("TCP terminali bir adres ister.");
        const qlonglong port = number(f.netPort);
        if (port < 1 || port > 65535)
            return QStringLiteral("TCP portu 1-65535 arasında olmalı: '%1'").arg(f.netPort);
    }
    if (f.typeIndex == 0) {
        if (number(f.comPort) < 1 || number(f.comPort) > INT32_MAX)
            return QStringLiteral("Com port 1 ya da büyük bir tam sayı olmalı: '%1'")
                .arg(f.comPort);
        if (number(f.comBaud) < 1 || number(f.comBaud) > INT32_MAX)
            return QStringLiteral("Baud pozitif bir tam sayı olmalı: '%1'").arg(f.comBaud);
    }
    return {};
}

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
    if (nameMissing(fields, op)) return {};
    execSql(dm.ADOConnection1(),
            QStringLiteral("insert into Terminal (TerminalNo, Terminal, Tip, ComPort, ComBaud, "
                           "Ip, NetPort, Sifre) values (?, ?, ?, ?, ?, ?, ?, ?)"),
            columnValues(fields));
    reopenTerminalList(dm);
    return {true, dm.qrycihaz.rowCount() > 0 ? 0 : -1};
}

SaveResult updateTerminal(TfrmDM& dm, int selectedRow, const TerminalFields& fields, Operator& op) {
    if (nameMissing(fields, op)) return {};
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
    if (edited >= 0) return {true, edited};
    return {true, rows > 0 ? qBound(0, selectedRow, rows - 1) : -1};
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
