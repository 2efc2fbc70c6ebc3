#include "AllTerminalsTransfer.h"

#include "core/AppError.h"
#include "core/Operator.h"
#include "session/TerminalSession.h"
#include "terminal/TFP_CLOCK.h"

#include <QLocale>
#include <algorithm>
#include <exception>

// The operator of one terminal's transfer: progress and messages go to the
// terminal's row; there is no one to answer a question.
class AllTerminalsTransfer::JobOperator : public Operator {
  public:
    JobOperator(AllTerminalsTransfer& run, size_t index) : run_(run), index_(index) {}

    bool askYesNo(const QString& text, const QString&) override {
        showMessage(text, {}, Icon::Question);
        return false;
    }
    void showMessage(const QString& text, const QString&, Icon) override {
        std::lock_guard guard(run_.mutex_);
        run_.rows_[index_].message = text;
    }
    void setStatus(const QString&) override {}
    void setProgressRange(int, int maximum) override {
        std::lock_guard guard(run_.mutex_);
        run_.rows_[index_].total = maximum;
    }
    void setProgress(int position) override {
        std::lock_guard guard(run_.mutex_);
        run_.rows_[index_].done = position;
    }
    void showCount(long long) override {}
    void beginBusy() override {}
    void endBusy() override {}
    void processEvents() override {}
    bool cancelRequested() override { return run_.cancel_; }

  private:
    AllTerminalsTransfer& run_;
    size_t index_;
};

AllTerminalsTransfer::AllTerminalsTransfer(std::vector<QSqlRecord> rows, QString programDir,
                                           QString settingsFile, bool secondFile, int jobs,
                                           QDate startDate)
    : records_(std::move(rows)), programDir_(std::move(programDir)),
      settingsFile_(std::move(settingsFile)), secondFile_(secondFile),
      jobs_(std::clamp(jobs, 1, std::max<int>(1, static_cast<int>(records_.size())))),
      startDate_(startDate) {
    rows_.resize(records_.size());
    for (size_t i = 0; i < records_.size(); ++i) {
        const QSqlRecord& r = records_[i];
        const int column = r.indexOf(QStringLiteral("terminal"));
        rows_[i].name = column >= 0 ? r.value(column).toString() : QString();
    }
}

AllTerminalsTransfer::~AllTerminalsTransfer() {
    cancel_ = true;
    wait();
}

void AllTerminalsTransfer::start() {
    if (!threads_.empty()) return;
    running_ = jobs_;
    for (int j = 0; j < jobs_; ++j) {
        threads_.emplace_back(QThread::create([this] { work(); }));
        threads_.back()->start();
    }
}

bool AllTerminalsTransfer::finished() const {
    return !threads_.empty() && running_ == 0;
}

void AllTerminalsTransfer::wait() {
    for (const auto& t : threads_)
        t->wait();
}

std::vector<AllTerminalsTransfer::Row> AllTerminalsTransfer::snapshot() const {
    std::lock_guard guard(mutex_);
    return rows_;
}

void AllTerminalsTransfer::work() {
    for (;;) {
        const size_t index = next_++;
        if (index >= records_.size() || cancel_) break;
        runOne(index);
    }
    --running_;
}

void AllTerminalsTransfer::runOne(size_t index) {
    const auto setStage = [&](Stage stage) {
        std::lock_guard guard(mutex_);
        rows_[index].stage = stage;
    };
    JobOperator op(*this, index);
    TransferResult result{TransferOutcome::NoDevice, 0, {}};
    bool connected = false;
    try {
        setStage(Stage::Connecting);
        // The control is made here: its link belongs to this thread.
        TFP_CLOCK clock;
        clock.setCancelCheck([this] { return cancel_.load(); });
        SessionState session;
        session.settingsFile = settingsFile_;
        connected = connectTerminal(clock, records_[index], session);
        if (!connected) {
            int32_t code = ERR_COMPORT_ERROR;
            clock.GetLastError(code);
            op.showMessage(connectionFailedText(rows_[index].name,
                                                rowAddress(records_[index], settingsFile_), code),
                           {}, Operator::Icon::None);
        } else {
            setStage(Stage::Reading);
            result = transferNewRecordsInTurn(clock, session.machineNumber, programDir_,
                                              secondFile_, turns_, true, op, startDate_);
            disconnectTerminal(clock, session);
        }
    } catch (const std::exception& e) {
        // A file error of this terminal's batch; the others go on.
        op.showMessage(errorText(e), {}, Operator::Icon::Critical);
        result.outcome = TransferOutcome::Interrupted;
    }
    std::lock_guard guard(mutex_);
    Row& row = rows_[index];
    row.stage = Stage::Done;
    row.connected = connected;
    row.result = result;
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
