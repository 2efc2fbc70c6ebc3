#include "CentralExport.h"

#include "core/AppError.h"

using v270::mysql::EMySqlException;

QDate parseExportDate(const QString& text) {
    const QString t = text.trimmed();
    QDate d = QDate::fromString(t, QStringLiteral("yyyy-MM-dd"));
    if (!d.isValid()) d = QDate::fromString(t, QStringLiteral("dd.MM.yyyy"));
    return d;
}

long long exportCentralLines(CentralConnection& c, const QDate& from, const QDate& to,
                             const std::optional<QString>& site,
                             const std::function<void(const QByteArray&)>& line) {
    const auto day = [](const QDate& d) {
        return "'" + d.toString(QStringLiteral("yyyy-MM-dd")).toStdString() + "'";
    };
    std::string sql = "SELECT line FROM attendance WHERE punch_time >= " + day(from) +
                      " AND punch_time < " + day(to.addDays(1));
    if (site) sql += " AND site = " + sqlText(*site);
    sql += " ORDER BY punch_time, site, terminal_serial, position";
    long long n = 0;
    try {
        c.each(sql, [&](const SqlRow& row) {
            if (row.empty() || !row[0]) return;
            line(QByteArray::fromStdString(*row[0]));
            ++n;
        });
    } catch (const EMySqlException& e) {
        throw AppError(centralErrorText(c, e.Code(), e.what()));
    }
    return n;
}
