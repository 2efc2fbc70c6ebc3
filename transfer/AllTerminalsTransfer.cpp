#include "AllTerminalsTransfer.h"

#include "TransferHistory.h"
#include "core/AppError.h"
#include "core/Operator.h"
#include "session/TerminalSession.h"
#include "terminal/TFP_CLOCK.h"

#include <QDateTime>
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
      runner_({.atOnce = jobs, .showsProgress = true}) {
    for (const QSqlRecord& record : records_)
        addresses_.push_back(rowAddress(record, settingsFile_));
}

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
        row.address = addresses_[i];
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
        const QDateTime started = QDateTime::currentDateTime();
        outcome.connected = connectTerminal(clock, record, session);
        if (!outcome.connected) {
            int32_t code = ERR_COMPORT_ERROR;
            clock.GetLastError(code);
            const QString address = rowAddress(record, settingsFile_);
            const QString text = connectionFailedText(job.name(), address, code);
            op.showMessage(text, {}, Operator::Icon::None);
            recordInTurn(turns_, programDir_,
                         failedHistoryEntry(QLatin1String(kHistoryTransfer), job.name(),
                                            {{}, session.machineNumber, address.toUtf8()},
                                            notConnectedText(text, job.name(), address), 2,
                                            started),
                         op);
        } else {
            job.setStage(int(Stage::Reading));
            outcome.result =
                transferNewRecordsInTurn(clock, session.machineNumber, programDir_, secondFile_,
                                         turns_, true, op, startDate_, job.name());
            disconnectTerminal(clock, session);
        }
    } catch (const std::exception& e) {
        // A file error of this terminal's batch, or a row it can't connect
        // with; the others go on.
        op.showMessage(errorText(e), {}, Operator::Icon::Critical);
        outcome.result.outcome = TransferOutcome::Interrupted;
        if (!outcome.connected) // a batch notes its own failure
            recordInTurn(turns_, programDir_,
                         failedHistoryEntry(QLatin1String(kHistoryTransfer), job.name(),
                                            {{}, 0, rowAddress(record, settingsFile_).toUtf8()},
                                            errorText(e), 2, QDateTime::currentDateTime()),
                         op);
    }
    job.setResult(outcome);
}

bool AllTerminalsTransfer::failed(const Row& row) {
    return row.stage == Stage::Done &&
           (!row.connected || (row.result.outcome != TransferOutcome::Transferred &&
                               row.result.outcome != TransferOutcome::NoRecords));
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
