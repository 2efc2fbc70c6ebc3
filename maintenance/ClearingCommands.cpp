#include "ClearingCommands.h"

#include "core/AppError.h"
#include "core/Database.h"
#include "core/Operator.h"
#include "core/TextHelpers.h"
#include "session/DeviceBracket.h"
#include "session/TerminalSession.h"
#include "terminal/TFP_CLOCK.h"

#include <QSqlError>
#include <QSqlQuery>
#include <QVariant>

#include <vector>

QString administratorsClearedText() {
    return QStringLiteral("Tüm Yöneticiler İptal Edildi....");
}

QString administratorsRemainText(int refused, const QString& errorName) {
    return QStringLiteral("%1 yönetici kaydını terminal silmedi (%2); bu kayıtların yetkisi "
                          "kaldırıldı (imtiyaz 0), kayıtlar terminalde duruyor. Bağlantıyı "
                          "denetleyip \"Admin Sil\" komutunu yeniden çalıştırın.")
        .arg(refused)
        .arg(errorName.isEmpty() ? QStringLiteral("bilinmeyen hata") : errorName);
}

QString clearFingerprintsQuestion() {
    return QStringLiteral("Seçili Terminaldeki Tüm Parmakizlerini Silmek İstiyor musunuz...?");
}

QString fingerprintsClearedText() {
    return QStringLiteral("tamamlandı");
}

namespace {

// Commits the fill of ENROLLINFO at the end, or rolls it back when an error
// ends the command: one transaction, not one disk sync per enrollment.
class FillTransaction {
  public:
    explicit FillTransaction(QSqlDatabase db) : db_(std::move(db)) { open_ = db_.transaction(); }
    ~FillTransaction() {
        if (open_) db_.rollback();
    }
    FillTransaction(const FillTransaction&) = delete;
    FillTransaction& operator=(const FillTransaction&) = delete;
    void commit() {
        if (!open_) return;
        open_ = false;
        if (!db_.commit())
            throw AppError(QStringLiteral("Veritabanı hatası: %1").arg(db_.lastError().text()));
    }

  private:
    QSqlDatabase db_;
    bool open_ = false;
};

struct AdministratorRow {
    int32_t enroll = 0, emachine = 0, backup = 0, privilege = 0;
};

// Copies the terminal's enrollment list into ENROLLINFO, every column as
// text, the numbers filled with zeros (never cut). Returns the row count.
int fillEnrollInfo(TFP_CLOCK& clock, int32_t machine, const QSqlDatabase& data) {
    if (!clock.ReadAllUserID(machine)) return 0;
    FillTransaction transaction(data);
    int counter = 0;
    int32_t enroll = 0, emachine = machine, backup = 0, privilege = 0, enable = 0;
    while (clock.GetAllUserID(machine, enroll, emachine, backup, privilege, enable)) {
        execSql(data,
                QStringLiteral("insert into ENROLLINFO (No, EnNo, EMNo, Fp, Priv, Enable) "
                               "values (?, ?, ?, ?, ?, ?)"),
                {ZeroPad(QString::number(counter), 3), ZeroPad(QString::number(enroll), 5),
                 ZeroPad(QString::number(emachine), 3), ZeroPad(QString::number(backup), 2),
                 QString::number(privilege), QString::number(enable)});
        ++counter;
    }
    transaction.commit();
    return counter;
}

std::vector<AdministratorRow> administratorRows(const QSqlDatabase& data) {
    QSqlQuery q = execSql(data, QStringLiteral("select EnNo, EMNo, Fp, Priv from ENROLLINFO "
                                               "where Priv='1' or Priv='2' order by rowid"));
    std::vector<AdministratorRow> rows;
    while (q.next()) {
        rows.push_back({toWholeNumber(q.value(0).toString()), toWholeNumber(q.value(1).toString()),
                        toWholeNumber(q.value(2).toString()),
                        toWholeNumber(q.value(3).toString())});
    }
    return rows;
}

} // namespace

AdminClearResult clearAdministrators(TFP_CLOCK& clock, int32_t machine, const QSqlDatabase& data,
                                     Operator& op) {
    BusyCursor busy(op);
    AdminClearResult result;
    execSql(data, QStringLiteral("delete from ENROLLINFO"));
    {
        DeviceBracket bracket(clock, machine, DeviceBracket::ReleaseAfterFailedLock::No, op,
                              FailureReport::None);
        if (!bracket.locked()) return result;
        result.reached = true;
        result.listed = fillEnrollInfo(clock, machine, data);
    }

    const std::vector<AdministratorRow> rows = administratorRows(data);
    result.administrators = static_cast<int>(rows.size());
    for (const AdministratorRow& row : rows) {
        // One lock per enrollment, released before the next, so a lock
        // refused halfway leaves nothing locked behind.
        DeviceBracket bracket(clock, machine, DeviceBracket::ReleaseAfterFailedLock::No, op,
                              FailureReport::None);
        if (!bracket.locked()) {
            result.lockLost = true;
            return result;
        }
        clock.ModifyPrivilege(machine, row.enroll, row.emachine, row.backup, 0);
        if (clock.DeleteEnrollData(machine, row.enroll, row.emachine, row.backup)) {
            ++result.deleted;
        } else {
            // Still on the terminal, but no longer an administrator: giving the
            // rights back would undo the half that worked.
            ++result.refused;
            result.errorName = bracket.lastErrorName();
        }
    }

    if (result.refused > 0) {
        result.text = administratorsRemainText(result.refused, result.errorName);
        op.showMessage(result.text, QStringLiteral("UYARI"), Operator::Icon::Warning);
    } else if (result.deleted > 0) {
        result.text = administratorsClearedText();
        op.showMessage(result.text, applicationTitle(), Operator::Icon::None);
    }
    return result;
}

FingerprintClearResult clearAllFingerprints(TFP_CLOCK& clock, int32_t machine, Operator& op) {
    FingerprintClearResult result;
    if (!op.askYesNo(clearFingerprintsQuestion(), QStringLiteral("UYARI"))) return result;
    DeviceBracket bracket(clock, machine, DeviceBracket::ReleaseAfterFailedLock::No, op,
                          FailureReport::None);
    if (!bracket.locked()) {
        result.outcome = FingerprintClearOutcome::NoDevice;
        return result;
    }
    if (!clock.EmptyEnrollData(machine)) {
        result.outcome = FingerprintClearOutcome::Refused;
        result.errorName = bracket.lastErrorName();
        return result;
    }
    clock.ClearKeeperData(machine);
    result.outcome = FingerprintClearOutcome::Cleared;
    op.showMessage(fingerprintsClearedText(), applicationTitle(), Operator::Icon::None);
    return result;
}
