#include "EnrollCommands.h"

#include "StoreMark.h"
#include "TemplateText.h"
#include "core/Operator.h"
#include "session/DeviceBracket.h"
#include "terminal/TFP_CLOCK.h"

#include <QDateTime>
#include <vector>

namespace {

// How a download that did not replace the store ends its text.
QString keptStoreText() {
    return QStringLiteral("önceki parmakizi deposu olduğu gibi duruyor");
}

int32_t lastErrorOf(TFP_CLOCK& clock) {
    int32_t code = SUCCESS;
    clock.GetLastError(code);
    return code;
}

// The link is gone, not just this one enrollment refused: going on would
// only wait out a reconnect per row.
bool isLinkFailure(int32_t code) {
    return code == ERR_COMPORT_ERROR || code == ERR_WRITE_FAIL || code == ERR_READ_FAIL;
}

void runDownload(TFP_CLOCK& clock, int32_t machine, EnrollStore& store, EnrollValues& values,
                 EnrollScreen& screen, Operator& op, const QString& terminalName,
                 DownloadResult& result) {
    const auto finish = [&](const QString& status) {
        op.setStatus(status);
        result.status = status;
    };
    // A cancel that came while the command waited (for the directory's lock,
    // for the link) stops it before the terminal or the store is touched.
    if (op.cancelRequested()) {
        result.outcome = DownloadResult::Outcome::Cancelled;
        finish(cancelledDownloadText(0));
        return;
    }
    const QDateTime began = QDateTime::currentDateTime();
    op.setStatus(QStringLiteral("Alınıyor....."));
    screen.clearLog();
    DeviceBracket bracket(clock, machine, DeviceBracket::ReleaseAfterFailedLock::No, op,
                          FailureReport::None);
    if (!bracket.locked()) {
        finish(QStringLiteral("Bağlanamadı..."));
        result.outcome = DownloadResult::Outcome::NoDevice;
        return;
    }
    // done/total when the terminal tells how many it holds; else activity only.
    DeviceCounts counts;
    const bool counted = clock.GetDeviceCounts(machine, counts);
    if (!clock.ReadAllUserID(machine)) {
        result.errorName = bracket.lastErrorName();
        finish(result.errorName);
        result.outcome = DownloadResult::Outcome::ReadFailed;
        return;
    }
    op.setStatus(QStringLiteral("ReadAllUserID OK"));
    op.setProgressRange(0, counted ? counts.enrollments : 0);
    op.setProgress(0);
    int done = 0;

    BusyCursor busy(op);
    // The new store is built beside the old one, in the writer's
    // transaction: until the commit below, the old one is what everybody
    // (and a killed process) sees, and any other end rolls back to it.
    EnrollWriter writer(store);
    writer.clearStore();
    QString lastFailure; // the error name of the last enrollment not read
    for (;;) {
        if (op.cancelRequested()) {
            result.outcome = DownloadResult::Outcome::Cancelled;
            break;
        }
        int32_t enroll = 0, emachine = 0, backup = 0, privilege = 0, enabled = 0;
        if (!clock.GetAllUserID(machine, enroll, emachine, backup, privilege, enabled)) {
            // The end of the list and a broken link look alike but for the code.
            const int32_t code = lastErrorOf(clock);
            if (code != ERR_LOG_END) {
                result.outcome = DownloadResult::Outcome::Interrupted;
                result.errorName = deviceErrorName(code);
            }
            break;
        }
        if (counted) op.setProgress(std::min(++done, counts.enrollments));
        op.showCount(done);
        const QString kartno = kartnoOf(enroll);
        const QString line = kartno + QLatin1Char(' ') + QString::number(backup);
        if (clock.GetEnrollData(machine, enroll, emachine, backup, privilege, values.templateArray,
                                values.password)) {
            screen.addLogLine(line);
            if (AddEnrollRecord(writer, values, enroll, emachine, backup, privilege, screen, op))
                ++result.stored;
            else
                ++result.doubles;
        } else {
            // The control cleared its outs: storing now would store zeros,
            // and an upload would put them over a good template.
            const int32_t code = lastErrorOf(clock);
            lastFailure = deviceErrorName(code);
            ++result.skipped;
            screen.addLogLine(line +
                              QStringLiteral(" okunamadı (%1), saklanmadı").arg(lastFailure));
            op.setStatus(QStringLiteral("GetEnrollData :") + lastFailure);
            if (isLinkFailure(code)) {
                result.outcome = DownloadResult::Outcome::Interrupted;
                result.errorName = lastFailure;
                break;
            }
        }
        QString name; // the control clears it on failure: never the previous user's
        int32_t nameError = SUCCESS;
        if (clock.GetUserName(1, machine, enroll, machine, name)) {
            screen.setUserName(name);
            op.setStatus(QStringLiteral("GetUserName OK"));
        } else {
            nameError = lastErrorOf(clock);
            op.setStatus(deviceErrorName(nameError));
        }
        writer.addName(kartno, name);
        if (isLinkFailure(nameError)) {
            result.outcome = DownloadResult::Outcome::Interrupted;
            result.errorName = deviceErrorName(nameError);
            break;
        }
    }
    if (result.outcome == DownloadResult::Outcome::Done && result.skipped == 0) {
        // Incomplete while the two files take the new store, one after the other.
        markDownloadStarted(store, terminalName, machine, began);
        writer.commit();
        markDownloadComplete(store, writer.digest());
        result.complete = true;
    }

    if (result.outcome == DownloadResult::Outcome::Interrupted)
        finish(interruptedDownloadText(result.errorName, result.stored));
    else if (result.outcome == DownloadResult::Outcome::Cancelled)
        finish(cancelledDownloadText(result.stored));
    else if (result.skipped == 0)
        finish(QStringLiteral("GetEnrollData OK"));
    else
        finish(QStringLiteral("GetEnrollData :%1 (%2 kayıt okunamadı; okunan %3 kayıt "
                              "saklanmadı, %4)")
                   .arg(lastFailure)
                   .arg(result.skipped)
                   .arg(result.stored)
                   .arg(keptStoreText()));
}

// A row of the store as it would go to the terminal, or why it can't.
struct OutgoingRow {
    EnrollRow row;          // its FPdata text dropped once read
    EnrollTemplate templ{}; // the template backups' template
    QString problem;        // empty when the terminal can take the row
};

struct Selection {
    std::vector<OutgoingRow> rows;
    StoreDigest digest; // of the rows that can go
    int unfit = 0;
    QString firstUnfit; // names the first row that can't go, and why
};

// Every row of tblEnroll, read and checked before anything is sent: a
// database error, a damaged file or an unfit row is known while the
// terminal is still as it was.
Selection readSelection(const EnrollStore& store) {
    Selection s;
    EnrollReader reader(store);
    OutgoingRow out;
    int position = 0;
    while (reader.next(out.row, out.problem)) {
        ++position;
        const EnrollRow& row = out.row;
        if (out.problem.isEmpty() && row.key.enroll < 0)
            out.problem = QStringLiteral("EnrollNumber sıfırdan küçük: %1").arg(row.key.enroll);
        if (out.problem.isEmpty() && !carriesPassword(row.key.backup) &&
            !parseTemplateText(row.fpdata, out.templ))
            out.problem = QStringLiteral("FPdata okunabilir bir parmakizi şablonu değil");
        if (out.problem.isEmpty()) {
            s.digest.add(row);
        } else if (s.unfit++ == 0) {
            s.firstUnfit = QStringLiteral("tblEnroll %1. satır (%2): %3")
                               .arg(position)
                               .arg(reader.keyText(), out.problem);
        }
        out.row.fpdata = QString(); // the template holds it now: 1.4 KB a row, not 6
        s.rows.push_back(out);
    }
    return s;
}

} // namespace

QString uploadQuestion() {
    return QStringLiteral("Seçili terminale parmakizi datası yüklensin mi...?");
}

QString interruptedDownloadText(const QString& errorName, int read) {
    return QStringLiteral("Bağlantı kesildi (%1): liste yarıda kaldı, okunan %2 kayıt "
                          "saklanmadı; %3. Yeniden bağlanıp tekrar alın.")
        .arg(errorName)
        .arg(read)
        .arg(keptStoreText());
}

QString cancelledDownloadText(int read) {
    if (read == 0) return QStringLiteral("İptal edildi: %1.").arg(keptStoreText());
    return QStringLiteral("İptal edildi: liste yarıda kaldı, okunan %1 kayıt saklanmadı; %2.")
        .arg(read)
        .arg(keptStoreText());
}

QString cancelledUploadText(int sent) {
    return QStringLiteral("İptal edildi: yükleme yarıda kaldı, %1 kayıt yazıldı.").arg(sent);
}

QString unfitRowsText(int unfit, const QString& first) {
    return QStringLiteral("%1 satır terminalin alamayacağı değerler taşıdığı için gönderilmedi. "
                          "İlki: %2")
        .arg(unfit)
        .arg(first);
}

QString interruptedUploadText(const QString& errorName, int sent) {
    return QStringLiteral("Bağlantı kesildi (%1): yükleme yarıda kaldı, %2 kayıt yazıldı. "
                          "Yeniden bağlanıp tekrar yükleyin.")
        .arg(errorName)
        .arg(sent);
}

bool AddEnrollRecord(EnrollWriter& writer, const EnrollValues& values, int32_t enroll,
                     int32_t emachine, int32_t backup, int32_t privilege, EnrollScreen& screen,
                     Operator& op) {
    const EnrollKey key{enroll, emachine, backup};
    if (writer.contains(key)) {
        op.setStatus(QStringLiteral("Double ID"));
        return false;
    }
    EnrollRow row;
    row.key = key;
    row.privilege = privilege;
    if (carriesPassword(backup))
        row.password = values.password;
    else
        row.fpdata = TemplateToText(values.templateArray);
    writer.add(row);
    op.setStatus(QStringLiteral("00%1-00%2-%3").arg(emachine).arg(enroll).arg(backup));
    screen.setPosition(QString::number(enroll).rightJustified(4));
    return true;
}

bool ReadEnrollRecord(EnrollReader& reader, EnrollRow& row, EnrollValues& values) {
    if (!reader.next(row)) return false;
    values.password = row.password.value_or(0);
    if (!carriesPassword(row.key.backup)) {
        // A row never sends the last element of the row before it.
        values.templateArray.back() = 0;
        TextToTemplate(row.fpdata, values.templateArray);
    }
    return true;
}

DownloadResult downloadEnrollments(TFP_CLOCK& clock, int32_t machine, EnrollStore& store,
                                   EnrollValues& values, EnrollScreen& screen, Operator& op,
                                   const QString& terminalName) {
    screen.setPosition(QString());
    DownloadResult result;
    try {
        runDownload(clock, machine, store, values, screen, op, terminalName, result);
    } catch (...) {
        // The window let go of the list for the download: it shows the store again.
        try {
            screen.showNameList();
        } catch (...) {
        }
        throw;
    }
    screen.showNameList();
    return result;
}

UploadResult uploadEnrollments(TFP_CLOCK& clock, int32_t machine, EnrollStore& store,
                               EnrollValues& values, bool clearFirst, EnrollScreen& screen,
                               Operator& op) {
    UploadResult result;
    if (!op.askYesNo(uploadQuestion(), QStringLiteral("UYARI"))) {
        result.outcome = UploadResult::Outcome::Declined;
        return result;
    }
    op.setStatus(QStringLiteral("Working..."));
    const Selection selection = [&] {
        BusyCursor busy(op);
        return readSelection(store);
    }();
    result.unfit = selection.unfit;
    if (clearFirst) {
        // A terminal cleared for a store that can't be sent whole loses users.
        if (selection.unfit > 0)
            result.unfitText = QStringLiteral("%1. Terminal silinmedi, hiçbir satır "
                                              "gönderilmedi; satırı düzeltin ya da "
                                              "terminalden yeniden alın.")
                                   .arg(selection.firstUnfit);
        else
            result.unfitText = storeNotCompleteText(readStoreMark(store), selection.digest);
        if (!result.unfitText.isEmpty()) {
            result.outcome = UploadResult::Outcome::StoreUnfit;
            op.setStatus(result.unfitText);
            op.showMessage(result.unfitText, QStringLiteral("UYARI"), Operator::Icon::Warning);
            return result;
        }
    }

    DeviceBracket bracket(clock, machine, DeviceBracket::ReleaseAfterFailedLock::No, op,
                          FailureReport::StatusLine);
    if (!bracket.locked()) {
        result.outcome = UploadResult::Outcome::NoDevice;
        return result;
    }
    BusyCursor busy(op);
    bool success = true;
    screen.clearLog();
    if (clearFirst) {
        if (clock.ClearKeeperData(machine)) {
            op.setStatus(QStringLiteral("ClearKeeperData OK"));
        } else {
            result.clearFailed = true;
            bracket.reportFailure();
        }
    }

    int position = 0;
    op.setProgressRange(0, static_cast<int>(selection.rows.size()));
    op.setProgress(0);
    for (const OutgoingRow& out : selection.rows) {
        op.setProgress(position);
        if (op.cancelRequested()) {
            result.outcome = UploadResult::Outcome::Cancelled;
            op.setStatus(cancelledUploadText(result.sent));
            return result;
        }
        const EnrollRow& row = out.row;
        ++position;
        QString line = kartnoOf(row.key.enroll);
        if (!out.problem.isEmpty()) {
            // Never sent with zeros or the row before's values in its place.
            screen.addLogLine(
                line + QStringLiteral(" %1 gönderilmedi: %2").arg(row.key.backup).arg(out.problem));
            continue;
        }
        // As ReadEnrollRecord leaves the values: a password row sends the
        // template of the row before.
        values.password = row.password.value_or(0);
        if (!carriesPassword(row.key.backup)) values.templateArray = out.templ;
        success = true;
        // The row keeps the machine number its source terminal gave it.
        if (clock.SetEnrollData(machine, row.key.enroll, row.key.emachine, row.key.backup,
                                row.privilege, values.templateArray, values.password)) {
            ++result.sent;
            result.sentEnrolls.insert(row.key.enroll);
        } else {
            success = false;
            const int32_t code = lastErrorOf(clock);
            result.errorName = deviceErrorName(code);
            ++result.refused;
            // The status line tells only of the last row; Memo1 keeps the others.
            line += QStringLiteral(" yazılamadı (%1)").arg(result.errorName);
            if (isLinkFailure(code)) {
                screen.addLogLine(line);
                result.outcome = UploadResult::Outcome::Interrupted;
                op.setStatus(interruptedUploadText(result.errorName, result.sent));
                return result;
            }
        }
        op.setStatus(QStringLiteral("EMachine = 00%1, ID = 00%2, FpNo = %3, Count = %4")
                         .arg(row.key.emachine)
                         .arg(row.key.enroll)
                         .arg(row.key.backup)
                         .arg(position));
        screen.setPosition(QString::number(position));
        screen.addLogLine(line);
    }
    if (!success) op.setStatus(QStringLiteral("SetAllEnrollData Error : ") + result.errorName);
    if (result.unfit > 0) {
        result.unfitText = unfitRowsText(result.unfit, selection.firstUnfit);
        op.showMessage(result.unfitText, QStringLiteral("UYARI"), Operator::Icon::Warning);
    }
    return result;
}
