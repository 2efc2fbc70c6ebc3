#include "AllTerminalsTransfer.h"

#include "core/AppError.h"
#include "core/Operator.h"
#include "session/TerminalSession.h"
#include "terminal/TFP_CLOCK.h"

#include <QLocale>

#include <exception>
#include <utility>

// The operator of one terminal's transfer: progress and messages go to the
// terminal's job; there is no one to answer a question.
class AllTerminalsTransfer::JobOperator : public Operator {
  public:
    explicit JobOperator(TerminalJob& job) : job_(job) {}

    bool askYesNo(const QString& text, const QString&) override {
        showMessage(text, {}, Icon::Question);
        return false;
    }
    void showMessage(const QString& text, const QString&, Icon) override { job_.setMessage(text); }
    void setStatus(const QString&) override {}
    void setProgressRange(int, int maximum) override { job_.setTotal(maximum); }
    void setProgress(int position) override { job_.setDone(position); }
    void showCount(long long) override {}
    void beginBusy() override {}
    void endBusy() override {}
    bool cancelRequested() override { return job_.stopRequested(); }

  private:
    TerminalJob& job_;
};

AllTerminalsTransfer::AllTerminalsTransfer(std::vector<QSqlRecord> rows, QString programDir,
                                           QString settingsFile, bool secondFile, int jobs,
                                           QDate startDate)
    : records_(std::move(rows)), programDir_(std::move(programDir)),
      settingsFile_(std::move(settingsFile)), secondFile_(secondFile), startDate_(startDate),
      runner_({.atOnce = jobs, .showsProgress = true}) {}

void AllTerminalsTransfer::start() {
    if (std::exchange(started_, true)) return;
    for (const QSqlRecord& record : records_) {
        const int column = record.indexOf(QStringLiteral("terminal"));
        runner_.add(column >= 0 ? record.value(column).toString() : QString(),
                    [this, &record](TerminalJob& job) { transferOne(job, record); });
    }
}

std::vector<AllTerminalsTransfer::Row> AllTerminalsTransfer::snapshot() const {
    std::vector<Row> rows(records_.size());
    for (size_t i = 0; i < rows.size(); ++i) {
        Row& row = rows[i];
        const int column = records_[i].indexOf(QStringLiteral("terminal"));
        row.name = column >= 0 ? records_[i].value(column).toString() : QString();
        if (!started_) continue;
        const TerminalJob& job = runner_.job(int(i));
        row.done = job.done();
        row.total = job.total();
        row.message = job.message();
        switch (job.state()) {
        case TerminalJob::State::Waiting:
            break;
        case TerminalJob::State::Running:
            row.stage = Stage(job.stage());
            break;
        case TerminalJob::State::Skipped:
            row.stage = Stage::Skipped;
            break;
        case TerminalJob::State::Finished:
            row.stage = Stage::Done;
            if (const Outcome* outcome = job.result<Outcome>()) {
                row.connected = outcome->connected;
                row.result = outcome->result;
            }
            break;
        }
    }
    return rows;
}

void AllTerminalsTransfer::transferOne(TerminalJob& job, const QSqlRecord& record) {
    JobOperator op(job);
    Outcome outcome;
    try {
        job.setStage(int(Stage::Connecting));
        // The control is made here: its link belongs to this thread.
        TFP_CLOCK clock;
        clock.setCancelCheck(job.stopCheck());
        SessionState session;
        session.settingsFile = settingsFile_;
        outcome.connected = connectTerminal(clock, record, session);
        if (!outcome.connected) {
            int32_t code = ERR_COMPORT_ERROR;
            clock.GetLastError(code);
            op.showMessage(
                connectionFailedText(job.name(), rowAddress(record, settingsFile_), code), {},
                Operator::Icon::None);
        } else {
            job.setStage(int(Stage::Reading));
            outcome.result = transferNewRecordsInTurn(clock, session.machineNumber, programDir_,
                                                      secondFile_, turns_, true, op, startDate_);
            disconnectTerminal(clock, session);
        }
    } catch (const std::exception& e) {
        // A file error of this terminal's batch; the others go on.
        op.showMessage(errorText(e), {}, Operator::Icon::Critical);
        outcome.result.outcome = TransferOutcome::Interrupted;
    }
    job.setResult(outcome);
}

QString AllTerminalsTransfer::resultText(const Row& row) {
    const QLocale turkish(QLocale::Turkish);
    switch (row.stage) {
    case Stage::Waiting:
        return QStringLiteral("Sırada");
    case Stage::Connecting:
        return QStringLiteral("Bağlanıyor...");
    case Stage::Reading:
        return QStringLiteral("Okunuyor...");
    case Stage::Skipped:
        return QStringLiteral("Atlandı");
    case Stage::Done:
        break;
    }
    if (!row.connected) return QStringLiteral("Bağlanamadı");
    switch (row.result.outcome) {
    case TransferOutcome::Transferred:
        return QStringLiteral("%1 kayıt aktarıldı").arg(turkish.toString(row.result.records));
    case TransferOutcome::NoRecords:
        return QStringLiteral("Aktarılacak kayıt yok");
    case TransferOutcome::Cancelled:
        return QStringLiteral("İptal edildi; kayıtlar terminalde kaldı");
    case TransferOutcome::Busy:
        return QStringLiteral("Program dizini meşgul");
    case TransferOutcome::NoDevice:
        return QStringLiteral("Terminal kilitlenemedi");
    case TransferOutcome::ReadFailed:
        return QStringLiteral("Kayıtlar hazırlanamadı: %1").arg(row.result.errorName);
    case TransferOutcome::Interrupted:
        return QStringLiteral("Yarıda kaldı: %1 kayıt yazıldı")
            .arg(turkish.toString(row.result.records));
    case TransferOutcome::NotConfirmed:
        return QStringLiteral("%1 kayıt yazıldı, terminal onaylamadı")
            .arg(turkish.toString(row.result.records));
    case TransferOutcome::IdentityChanged:
        return QStringLiteral("Terminalin kimliği değişmiş; hiçbir kayıt yazılmadı");
    }
    return {};
}
