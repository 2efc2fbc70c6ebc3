#include "EnrollCommands.h"

#include "StoreMark.h"
#include "TemplateText.h"
#include "core/Operator.h"
#include "session/DeviceBracket.h"
#include "terminal/TFP_CLOCK.h"

#include <QDateTime>

#include <optional>
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

// What a download or an upload works with, for the helpers of its loop.
struct EnrollRun {
    TFP_CLOCK& clock;
    int32_t machine;
    EnrollValues& values;
    EnrollScreen& screen;
    Operator& op;
};

// One entry of the terminal's list, as GetAllUserID hands it out.
struct ListedEnrollment {
    int32_t enroll = 0;
    int32_t emachine = 0;
    int32_t backup = 0;
    int32_t privilege = 0;
    int32_t enabled = 0;
};

// Reads the data of the listed enrollment into writer, or counts it as
// skipped. False when the link broke: the download ends as interrupted.
bool storeListedEnrollment(const EnrollRun& run, EnrollWriter& writer, ListedEnrollment e,
                           const QString& line, DownloadResult& result, QString& lastFailure) {
    if (run.clock.GetEnrollData(run.machine, e.enroll, e.emachine, e.backup, e.privilege,
                                run.values.templateArray, run.values.password)) {
        run.screen.addLogLine(line);
        if (AddEnrollRecord(writer, run.values, e.enroll, e.emachine, e.backup, e.privilege,
                            run.screen, run.op))
            ++result.stored;
        else
            ++result.doubles;
        return true;
    }
    // The control cleared its outs: storing now would store zeros,
    // and an upload would put them over a good template.
    const int32_t code = lastErrorOf(run.clock);
    lastFailure = deviceErrorName(code);
    ++result.skipped;
    run.screen.addLogLine(line + QStringLiteral(" okunamadı (%1), saklanmadı").arg(lastFailure));
    run.op.setStatus(QStringLiteral("GetEnrollData :") + lastFailure);
    if (!isLinkFailure(code)) return true;
    result.outcome = DownloadResult::Outcome::Interrupted;
    result.errorName = lastFailure;
    return false;
}

// Reads the user's name into writer, empty when the terminal gives none.
// False when the link broke: the download ends as interrupted.
bool storeUserName(const EnrollRun& run, EnrollWriter& writer, int32_t enroll,
                   const QString& kartno, DownloadResult& result) {
    QString name; // the control clears it on failure: never the previous user's
    int32_t nameError = SUCCESS;
    if (run.clock.GetUserName(1, run.machine, enroll, run.machine, name)) {
        run.screen.setUserName(name);
        run.op.setStatus(QStringLiteral("GetUserName OK"));
    } else {
        nameError = lastErrorOf(run.clock);
        run.op.setStatus(deviceErrorName(nameError));
    }
    writer.addName(kartno, name);
    if (!isLinkFailure(nameError)) return true;
    result.outcome = DownloadResult::Outcome::Interrupted;
    result.errorName = deviceErrorName(nameError);
    return false;
}

// Reads the terminal's list into writer up to its end, a cancel or a broken
// link. total: how many the terminal said it holds, when it said so.
void readEnrollmentList(const EnrollRun& run, EnrollWriter& writer, std::optional<int> total,
                        DownloadResult& result, QString& lastFailure) {
    int done = 0;
    for (;;) {
        if (run.op.cancelRequested()) {
            result.outcome = DownloadResult::Outcome::Cancelled;
            return;
        }
        ListedEnrollment e;
        if (!run.clock.GetAllUserID(run.machine, e.enroll, e.emachine, e.backup, e.privilege,
                                    e.enabled)) {
            // The end of the list and a broken link look alike but for the code.
            const int32_t code = lastErrorOf(run.clock);
            if (code != ERR_LOG_END) {
                result.outcome = DownloadResult::Outcome::Interrupted;
                result.errorName = deviceErrorName(code);
            }
            return;
        }
        ++done;
        if (total) run.op.setProgress(std::min(done, *total));
        run.op.showCount(done);
        const QString kartno = kartnoOf(e.enroll);
        const QString line = kartno + QLatin1Char(' ') + QString::number(e.backup);
        if (!storeListedEnrollment(run, writer, e, line, result, lastFailure)) return;
        if (!storeUserName(run, writer, e.enroll, kartno, result)) return;
    }
}

// The status line at the end of a download that reached the terminal's list.
QString downloadEndText(const DownloadResult& result, const QString& lastFailure) {
    if (result.outcome == DownloadResult::Outcome::Interrupted)
        return interruptedDownloadText(result.errorName, result.stored);
    if (result.outcome == DownloadResult::Outcome::Cancelled)
        return cancelledDownloadText(result.stored);
    if (result.skipped == 0) return QStringLiteral("GetEnrollData OK");
    return QStringLiteral("GetEnrollData :%1 (%2 kayıt okunamadı; okunan %3 kayıt "
                          "saklanmadı, %4)")
        .arg(lastFailure)
        .arg(result.skipped)
        .arg(result.stored)
        .arg(keptStoreText());
}

void runDownload(const EnrollRun& run, EnrollStore& store, const QString& terminalName,
                 DownloadResult& result) {
    Operator& op = run.op;
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
    run.screen.clearLog();
    DeviceBracket bracket(run.clock, run.machine, DeviceBracket::ReleaseAfterFailedLock::No, op,
                          FailureReport::None);
    if (!bracket.locked()) {
        finish(QStringLiteral("Bağlanamadı..."));
        result.outcome = DownloadResult::Outcome::NoDevice;
        return;
    }
    // done/total when the terminal tells how many it holds; else activity only.
    DeviceCounts counts;
    const bool counted = run.clock.GetDeviceCounts(run.machine, counts);
    if (!run.clock.ReadAllUserID(run.machine)) {
        result.errorName = bracket.lastErrorName();
        finish(result.errorName);
        result.outcome = DownloadResult::Outcome::ReadFailed;
        return;
    }
    op.setStatus(QStringLiteral("ReadAllUserID OK"));
    op.setProgressRange(0, counted ? counts.enrollments : 0);
    op.setProgress(0);

    BusyCursor busy(op);
    // The new store is built beside the old one, in the writer's
    // transaction: until the commit below, the old one is what everybody
    // (and a killed process) sees, and any other end rolls back to it.
    EnrollWriter writer(store);
    writer.clearStore();
    QString lastFailure; // the error name of the last enrollment not read
    readEnrollmentList(run, writer, counted ? std::optional(counts.enrollments) : std::nullopt,
                       result, lastFailure);
    if (result.outcome == DownloadResult::Outcome::Done && result.skipped == 0) {
        // Incomplete while the two files take the new store, one after the other.
        markDownloadStarted(store, terminalName, run.machine, began);
        writer.commit();
        markDownloadComplete(store, writer.digest());
        result.complete = true;
    }
    finish(downloadEndText(result, lastFailure));
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

// Why the terminal must not be cleared for this store, or empty: a terminal
// cleared for a store that can't be sent whole loses users.
QString refusalToClear(const EnrollStore& store, const Selection& selection) {
    if (selection.unfit > 0)
        return QStringLiteral("%1. Terminal silinmedi, hiçbir satır gönderilmedi; satırı "
                              "düzeltin ya da terminalden yeniden alın.")
            .arg(selection.firstUnfit);
    return storeNotCompleteText(readStoreMark(store), selection.digest);
}

enum class RowSent { Skipped, Taken, Refused, LinkLost };

// Sends one row, the position-th, and says so in Memo1 and the status line.
RowSent sendRow(const EnrollRun& run, const OutgoingRow& out, int position, UploadResult& result) {
    const EnrollRow& row = out.row;
    QString line = kartnoOf(row.key.enroll);
    if (!out.problem.isEmpty()) {
        // Never sent with zeros or the row before's values in its place.
        run.screen.addLogLine(
            line + QStringLiteral(" %1 gönderilmedi: %2").arg(row.key.backup).arg(out.problem));
        return RowSent::Skipped;
    }
    // As ReadEnrollRecord leaves the values: a password row sends the
    // template of the row before.
    EnrollValues& values = run.values;
    values.password = row.password.value_or(0);
    if (!carriesPassword(row.key.backup)) values.templateArray = out.templ;
    RowSent sent = RowSent::Taken;
    // The row keeps the machine number its source terminal gave it.
    if (run.clock.SetEnrollData(run.machine, row.key.enroll, row.key.emachine, row.key.backup,
                                row.privilege, values.templateArray, values.password)) {
        ++result.sent;
        result.sentEnrolls.insert(row.key.enroll);
    } else {
        sent = RowSent::Refused;
        const int32_t code = lastErrorOf(run.clock);
        result.errorName = deviceErrorName(code);
        ++result.refused;
        // The status line tells only of the last row; Memo1 keeps the others.
        line += QStringLiteral(" yazılamadı (%1)").arg(result.errorName);
        if (isLinkFailure(code)) {
            run.screen.addLogLine(line);
            result.outcome = UploadResult::Outcome::Interrupted;
            run.op.setStatus(interruptedUploadText(result.errorName, result.sent));
            return RowSent::LinkLost;
        }
    }
    run.op.setStatus(QStringLiteral("EMachine = 00%1, ID = 00%2, FpNo = %3, Count = %4")
                         .arg(row.key.emachine)
                         .arg(row.key.enroll)
                         .arg(row.key.backup)
                         .arg(position));
    run.screen.setPosition(QString::number(position));
    run.screen.addLogLine(line);
    return sent;
}

// Sends the selection's rows in order until the end, a cancel or a broken
// link, and at the end tells of the last refusal and of the unfit rows.
void sendSelection(const EnrollRun& run, const Selection& selection, UploadResult& result) {
    Operator& op = run.op;
    int position = 0;
    bool success = true; // the last row sent was taken
    op.setProgressRange(0, static_cast<int>(selection.rows.size()));
    op.setProgress(0);
    for (const OutgoingRow& out : selection.rows) {
        op.setProgress(position);
        if (op.cancelRequested()) {
            result.outcome = UploadResult::Outcome::Cancelled;
            op.setStatus(cancelledUploadText(result.sent));
            return;
        }
        ++position;
        const RowSent sent = sendRow(run, out, position, result);
        if (sent == RowSent::LinkLost) return;
        if (sent != RowSent::Skipped) success = sent == RowSent::Taken;
    }
    if (!success) op.setStatus(QStringLiteral("SetAllEnrollData Error : ") + result.errorName);
    if (result.unfit > 0) {
        result.unfitText = unfitRowsText(result.unfit, selection.firstUnfit);
        op.showMessage(result.unfitText, QStringLiteral("UYARI"), Operator::Icon::Warning);
    }
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
        runDownload({clock, machine, values, screen, op}, store, terminalName, result);
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
        result.unfitText = refusalToClear(store, selection);
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
    screen.clearLog();
    if (clearFirst) {
        if (clock.ClearKeeperData(machine)) {
            op.setStatus(QStringLiteral("ClearKeeperData OK"));
        } else {
            result.clearFailed = true;
            bracket.reportFailure();
        }
    }
    sendSelection({clock, machine, values, screen, op}, selection, result);
    return result;
}
