#include "TransferSubcommands.h"

#include "HeadlessTerminal.h"
#include "SinkSubcommands.h"
#include "TerminalJobs.h"
#include "core/AppError.h"
#include "core/ConsoleOperator.h"
#include "core/DirectoryLock.h"
#include "core/IniFile.h"
#include "transfer/DataFiles.h"
#include "transfer/MemoryCard.h"
#include "transfer/ParallelTransfer.h"
#include "transfer/TransferCommands.h"
#include "transfer/TransferHistory.h"

#include <QDateTime>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLocale>

#include <mutex>

namespace {

QStringList filesOf(bool all, bool secondFile, const QDate& startDate) {
    return transferFiles(all ? FullDownload::Keep : std::optional<FullDownload>(), secondFile,
                         startDate);
}

int exitCodeOf(const TransferResult& r, HeadlessTerminal& terminal, QTextStream& err) {
    switch (r.outcome) {
    case TransferOutcome::Transferred:
    case TransferOutcome::NoRecords:
        return ExitDone;
    case TransferOutcome::NotConfirmed:
    case TransferOutcome::IdentityChanged:
        return ExitNotConfirmed;
    case TransferOutcome::Busy:
        return ExitBusy; // the window's message said which command holds the directory
    case TransferOutcome::Interrupted:
        return ExitFailed;
    case TransferOutcome::Cancelled:
        return ExitCancelled;
    case TransferOutcome::NoDevice:
        return failWith(err, noDeviceText(QStringLiteral("hiçbir kayıt okunmadı")),
                        terminal.refusedLockCode());
    case TransferOutcome::ReadFailed:
        return failWith(
            err, QStringLiteral("Terminal kayıtları hazırlayamadı: %1")
                     .arg(r.errorName.isEmpty() ? QStringLiteral("bilinmeyen hata") : r.errorName));
    }
    return ExitFailed;
}

QJsonObject summaryJson(const TransferSummary& s) {
    QJsonObject o{{"terminal", s.terminal},
                  {"records", s.records},
                  {"files", QJsonArray::fromStringList(s.files)},
                  {"exit_code", s.exitCode}};
    if (!s.failure.isEmpty()) o.insert("error", s.failure);
    return o;
}

// Why a transfer failed before any record went into the files, for its
// summary line; empty when it did not.
QString failureOf(const TransferResult& r) {
    const QString error = r.errorName.isEmpty() ? QStringLiteral("bilinmeyen hata") : r.errorName;
    switch (r.outcome) {
    case TransferOutcome::Transferred:
    case TransferOutcome::NoRecords:
    case TransferOutcome::Cancelled:
        return {};
    case TransferOutcome::Busy:
        return QStringLiteral("program dizini meşgul");
    case TransferOutcome::NoDevice:
        return QStringLiteral("terminal kilitlenemedi");
    case TransferOutcome::ReadFailed:
        return QStringLiteral("terminal kayıtları hazırlayamadı: %1").arg(error);
    case TransferOutcome::Interrupted:
        return QStringLiteral("bağlantı aktarım sırasında kesildi: %1").arg(error);
    case TransferOutcome::NotConfirmed:
        return QStringLiteral("terminal kayıtların alındığını onaylamadı: %1").arg(error);
    case TransferOutcome::IdentityChanged:
        return QStringLiteral("terminalin kimliği değişmiş; hiçbir kayıt yazılmadı");
    }
    return {};
}

// The console of a transfer: the summary line says what the window's
// closing notices say, so they are left out; warnings and failures stay.
// One of several terminals at once reports its progress to its job.
class TransferConsole : public ConsoleOperator {
  public:
    TransferConsole(QTextStream& err, Options options, TerminalJob* job)
        : ConsoleOperator(err, options), job_(job) {}
    void showMessage(const QString& text, const QString& title, Icon icon) override {
        if (text == noRecordsText() || text.startsWith(transferredText())) return;
        lastMessage = text;
        ConsoleOperator::showMessage(text, title, icon);
    }
    QString lastMessage; // why a connection failed
    void setProgressRange(int minimum, int maximum) override {
        if (job_) return job_->setTotal(maximum - minimum);
        ConsoleOperator::setProgressRange(minimum, maximum);
    }
    void setProgress(int position) override {
        if (job_) return job_->setDone(position);
        ConsoleOperator::setProgress(position);
    }

  private:
    TerminalJob* job_;
};

// A terminal the transfer could not reach goes into the history too.
void noteFailedConnection(const QString& programDir, const TransferSummary& s, int32_t machine,
                          bool all, const QDateTime& started, DeliveryTurns* turns, Operator& op) {
    const HistoryEntry entry =
        failedHistoryEntry(QLatin1String(all ? kHistoryFullDownload : kHistoryTransfer), s.terminal,
                           {{}, machine, s.address.toUtf8()}, s.failure, s.exitCode, started);
    if (turns) return recordInTurn(*turns, programDir, entry, op);
    if (const auto lock = lockProgramDirectory(programDir, QStringLiteral("Verileri Aktar"), op))
        recordHistory(*lock, entry, op);
}

} // namespace

QString summaryLine(const TransferSummary& s) {
    if (s.records == 0 && !s.failure.isEmpty())
        return QStringLiteral("%1%2: HATA: %3")
            .arg(s.terminal,
                 s.address.isEmpty() ? QString() : QStringLiteral(" (%1)").arg(s.address),
                 s.failure);
    const QString count = QLocale(QLocale::Turkish).toString(s.records);
    if (s.records == 0) return QStringLiteral("%1: aktarılacak kayıt yok").arg(s.terminal);
    return QStringLiteral("%1: %2 kayıt -> %3").arg(s.terminal, count, s.files.join(", "));
}

TransferSummary runTransferCommand(const QString& programDir, bool all, const QSqlRecord& row,
                                   const Console& io, DeliveryTurns* turns) {
    TransferSummary summary;
    summary.terminal = terminalName(row);
    TerminalJob* job = turns ? io.job : nullptr;
    const bool ownLine = !io.quiet && !io.job;
    TransferConsole op(io.err, {.progressFd = ownLine ? ConsoleOperator::progressOnTerminal() : -1},
                       job);
    bool connecting = false;
    try {
        const bool secondFile =
            readProfileString(programDir + QStringLiteral("Settings.ini"),
                              QStringLiteral("Options"), QStringLiteral("veriDosya2"),
                              QString()) == QStringLiteral("1");
        HeadlessTerminal terminal(programDir, op);
        summary.address = rowAddress(row, terminal.session.settingsFile);
        const QDateTime started = QDateTime::currentDateTime();
        connecting = true;
        summary.exitCode = terminal.connect(row);
        connecting = false;
        if (summary.exitCode != ExitDone) {
            summary.failure = notConnectedText(op.lastMessage, summary.terminal, summary.address);
            noteFailedConnection(programDir, summary, terminal.machineNumber(), all, started, turns,
                                 op);
            return summary;
        }

        const QDate startDate = QDate::currentDate();
        // Beside other terminals, the batch is read first and goes into the
        // files in its turn.
        const TransferResult r =
            all   ? downloadAllRecords(terminal.clock, terminal.machineNumber(), programDir,
                                       secondFile, FullDownload::Keep, op, startDate,
                                       summary.terminal)
            : job ? transferNewRecordsInTurn(terminal.clock, terminal.machineNumber(), programDir,
                                             secondFile, *turns, job->showsProgress(), op,
                                             startDate, summary.terminal)
                  : transferNewRecords(terminal.clock, terminal.machineNumber(), programDir,
                                       secondFile, op, startDate, summary.terminal);
        op.clearProgress();
        summary.records = r.records;
        summary.failure = failureOf(r);
        if (r.records > 0) summary.files = filesOf(all, secondFile, startDate);
        summary.exitCode = unlessCancelled(exitCodeOf(r, terminal, io.err));
    } catch (const std::exception& e) {
        op.clearProgress();
        const QString text = errorText(e);
        summary.exitCode = failWith(io.err, text);
        summary.failure = text.section(QLatin1Char('\n'), 0, 0);
        // A row it can't connect with; a transfer notes its own failure.
        if (connecting)
            noteFailedConnection(programDir, summary, 0, all, QDateTime::currentDateTime(), turns,
                                 op);
    }
    return summary;
}

int runSdcardCommand(const QString& programDir, const QString& file, const Console& io) {
    ConsoleOperator op(io.err,
                       {.progressFd = io.quiet ? -1 : ConsoleOperator::progressOnTerminal()});
    try {
        if (!convertMemoryCardFile(file, programDir, op))
            return unlessCancelled(ExitBusy); // the lock stayed taken (said already) or Ctrl-C
        return unlessCancelled(ExitDone);
    } catch (const AppError& e) {
        op.clearProgress();
        return failWith(io.err, e.text());
    } catch (const std::exception& e) {
        op.clearProgress();
        return failWith(io.err, errorText(e));
    }
}

namespace {

Option allRecordsOption() {
    return {QStringLiteral("all"),
            {},
            QStringLiteral("yeni kayıtlar yerine tüm kayıtları alır (terminalden "
                           "silmez)")};
}

// The summaries as a JSON array, in the list's order.
QString summariesJson(std::vector<std::pair<int, TransferSummary>> done) {
    std::stable_sort(done.begin(), done.end(),
                     [](const auto& a, const auto& b) { return a.first < b.first; });
    QJsonArray array;
    for (const auto& [place, s] : done)
        array.append(summaryJson(s));
    return QString::fromUtf8(QJsonDocument(array).toJson(QJsonDocument::Indented));
}

int runTransferSubcommand(const SubcommandCall& call) {
    // By place in the list: terminals at once end in any order.
    std::vector<std::pair<int, TransferSummary>> done;
    std::mutex doneMutex;
    DeliveryTurns turns;
    const bool json = call.options.isSet(jsonOption());
    const bool allRecords = call.options.isSet(allRecordsOption());
    const auto transferOne = [&](const QSqlRecord& row, const Console& io) {
        const TransferSummary s = runTransferCommand(call.programDir, allRecords, row, io, &turns);
        {
            std::lock_guard guard(doneMutex);
            done.emplace_back(io.job ? io.job->index() : int(done.size()), s);
        }
        // A line for what is in the files; a failure before any record
        // has its own text on standard error.
        const bool worthALine = s.records > 0 || s.exitCode == ExitDone || !s.failure.isEmpty();
        if (!json && worthALine && (!io.quiet || s.exitCode != ExitDone)) {
            io.out << summaryLine(s) << '\n';
            io.out.flush();
        }
        return s.exitCode;
    };
    // A full download holds the directory's lock while it reads, so
    // with --all the terminals go one after another.
    const int code = runOnChosenTerminals(call, transferOne, allRecords ? 1 : kMaxJobs);
    if (json) {
        call.io.out << summariesJson(std::move(done));
        call.io.out.flush();
    }
    pushAfterTransfer(call.programDir, call.io);
    return code;
}

int runSdcardSubcommand(const SubcommandCall& call) {
    return runSdcardCommand(call.programDir, call.arguments[0], call.io);
}

} // namespace

std::vector<Subcommand> transferSubcommands() {
    return {
        {QStringLiteral("transfer"),
         {QStringLiteral("[--all] [--terminal AD | --all-terminals [--jobs N]] [--json]")},
         QStringLiteral("yeni kayıtları (--all: tüm kayıtları) veri dosyalarına aktarır"),
         QStringLiteral(
             "Terminale \"BAGLAN\" gibi bağlanır ve \"Verileri Aktar\"ı çalıştırır: yeni "
             "kayıtlar veri.txt'ye, ayın yedek_V270 dosyasına ve ayarlardaki ikinci dosya "
             "seçeneğiyle veri2.txt'ye yazılır. --all ile \"Tüm Verileri Al (silmez)\": tüm "
             "kayıtlar veri.txt'ye ve yedek_K19'a.\n\n"
             "Her terminal için standart çıktıya bir özet satırı yazar: kaç kaydın hangi "
             "dosyalara gittiği (\"Giriş: 5 kayıt -> veri.txt, yedek_V270/032024.txt\"); "
             "başarısız olan terminal için adresi ve nedeni (\"Giriş (10.0.0.5:5005): HATA: "
             "bağlanamadı: …\"). --json ile bunun yerine bir JSON dizisi: her terminal için "
             "terminal, records, files, exit_code ve başarısızsa error. Her aktarım, aktarım "
             "geçmişine de yazılır (history). Terminalin ve pencerenin iletileri standart hataya "
             "gider.\n\n"
             "--all-terminals ile birkaç terminal aynı anda okunur (--jobs N; varsayılan "
             "terminal sayısı, en çok 8; --jobs 1 sırayla): her terminalin yeni kayıtları önce "
             "belleğe alınır, sonra sırası gelince dosyalara bütün olarak yazılır ve terminale "
             "onaylatılır, iki terminalin satırları hiç karışmaz. Özet satırları listedeki "
             "sırayla gelir; ekranda çalışan her terminalin okunan/toplam kayıt sayısı "
             "görünür. --all ile terminaller sırayla yapılır.\n\n"
             "Ctrl-C aktarımı sıradaki adımda durdurur; dosyalara yazılanlar bir kez yazılmış "
             "olarak kalır (çıkış kodu 130). Aynı anda okunan terminallerin henüz dosyalara "
             "girmemiş kayıtları terminalde yeni kalır, sonraki aktarım onları alır."),
         {allRecordsOption(), terminalOption(), allTerminalsOption(), jobsOption(), jsonOption()},
         0,
         0,
         runTransferSubcommand},
        {QStringLiteral("sdcard"),
         {QStringLiteral("DOSYA")},
         QStringLiteral("hafıza kartı dosyasını veri.txt'ye ekler"),
         QStringLiteral("\"sdkart->text (veri.txt)\": terminalin hafıza kartına yazdığı "
                        "DOSYA'nın kayıtlarını veri.txt satırlarına çevirir."),
         {},
         1,
         1,
         runSdcardSubcommand},
    };
}
