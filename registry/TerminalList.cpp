#include "TerminalList.h"

#include "core/AppError.h"
#include "core/TfrmDM.h"

#include <QSqlError>
#include <QSqlQuery>

void reopenTerminalList(TfrmDM& dm) {
    QSqlDatabase db = dm.ADOConnection1();
    dm.qrycihaz.clear();
    if (!db.isOpen()) {
        throw AppError(QStringLiteral("Terminal listesi okunamadı: Data.mdb açık değil."));
    }
    // Adres is what the grid shows: terminals on one address differ by port.
    dm.qrycihaz.setQuery(
        QStringLiteral("select *, case when lower(Tip) = 'ethernet' then ifnull(Ip, '') || ':' || "
                       "ifnull(NetPort, '') else Ip end as Adres from Terminal order by Terminal "
                       "collate TURKISH"),
        db);
    if (dm.qrycihaz.lastError().isValid()) {
        const QString text = dm.qrycihaz.lastError().text();
        dm.qrycihaz.clear();
        throw AppError(QStringLiteral("Terminal listesi okunamadı: %1").arg(text));
    }
    // Fetch all rows so the grid and the row count agree.
    while (dm.qrycihaz.canFetchMore())
        dm.qrycihaz.fetchMore();
}
