#include "WatchSubcommands.h"

#include "HeadlessTerminal.h"
#include "SinkSubcommands.h"
#include "core/AppError.h"
#include "core/CentralSettings.h"
#include "core/ConsoleOperator.h"
#include "core/DirectoryLock.h"
#include "core/IniFile.h"
#include "core/TerminalRunner.h"
#include "registry/TerminalCheck.h"
#include "terminal/ErrorNames.h"
#include "transfer/TransferCommands.h"

#include <QDateTime>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QSaveFile>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <map>
#include <mutex>
#include <optional>
#include <random>
#include <thread>
#include <unistd.h>

#ifdef V270_HAVE_SYSTEMD
#include <systemd/sd-daemon.h>
#endif

namespace {

volatile std::sig_atomic_t stopSignal = 0;
volatile std::sig_atomic_t reloadSignal = 0;

extern "C" void onStopSignal(int) {
    stopSignal = 1;
}
extern "C" void onReloadSignal(int) {
    reloadSignal = 1;
}

// SIGTERM and SIGINT stop the capture at its next check, SIGHUP reads the
// terminal list again; the old handlers come back when it ends.
class WatchSignals {
  public:
    WatchSignals() {
        stopSignal = 0;
        reloadSignal = 0;
        install(SIGTERM, onStopSignal, 0);
        install(SIGINT, onStopSignal, 1);
        install(SIGHUP, onReloadSignal, 2);
    }
    ~WatchSignals() {
        ::sigaction(SIGTERM, &old_[0], nullptr);
        ::sigaction(SIGINT, &old_[1], nullptr);
        ::sigaction(SIGHUP, &old_[2], nullptr);
    }
    WatchSignals(const WatchSignals&) = delete;
    WatchSignals& operator=(const WatchSignals&) = delete;

  private:
    void install(int signal, void (*handler)(int), int slot) {
        struct sigaction action = {};
        action.sa_handler = handler;
        sigemptyset(&action.sa_mask);
        ::sigaction(signal, &action, &old_[slot]);
    }
    struct sigaction old_[3] = {};
};

// Tells systemd how the service is; nothing without a service manager.
void notifyManager(const QByteArray& state) {
#ifdef V270_HAVE_SYSTEMD
    sd_notify(0, state.constData());
#else
    Q_UNUSED(state);
#endif
}

// One terminal's state, as the status file shows it.
struct TerminalState {
    QString name;
    QString state = QStringLiteral("bağlanıyor");
    qint64 retryAt = 0;     // seconds since the epoch of the next attempt, while reconnecting
    qint64 lastContact = 0; // seconds since the epoch; 0: never
    qint64 lastRecord = 0;
    long long recordsToday = 0;
    QDate today;
    QString lastError;
    bool connected = false;
};

// What every job tells the main loop, read once a second.
class StatusBoard {
  public:
    void set(const QString& key, const std::function<void(TerminalState&)>& change) {
        std::lock_guard guard(mutex_);
        TerminalState& s = states_[key];
        change(s);
        changed_ = true;
    }
    void remove(const QString& key) {
        std::lock_guard guard(mutex_);
        states_.erase(key);
        changed_ = true;
    }
    QJsonObject json(qint64 now, bool running) const {
        std::lock_guard guard(mutex_);
        QJsonArray terminals;
        for (const auto& [key, s] : states_) {
            QJsonObject t{{"name", s.name},
                          {"state", s.state},
                          {"connected", s.connected},
                          {"last_contact", s.lastContact},
                          {"last_record", s.lastRecord},
                          {"records_today", s.today == QDate::currentDate() ? s.recordsToday : 0},
                          {"last_error", s.lastError}};
            if (s.retryAt > 0) t.insert("retry_in", std::max<qint64>(0, s.retryAt - now));
            terminals.append(t);
        }
        return {{"pid", qint64(::getpid())},
                {"running", running},
                {"updated", now},
                {"terminals", terminals}};
    }
    // "2/3 terminal bağlı, son kayıt 5 sn önce", for systemd's status line.
    QByteArray summary(qint64 now) const {
        std::lock_guard guard(mutex_);
        int connected = 0;
        qint64 last = 0;
        for (const auto& [key, s] : states_) {
            connected += s.connected ? 1 : 0;
            last = std::max(last, s.lastRecord);
        }
        QString text = QStringLiteral("%1/%2 terminal bağlı").arg(connected).arg(states_.size());
        if (last > 0) text += QStringLiteral(", son kayıt %1 sn önce").arg(now - last);
        return text.toUtf8();
    }

  private:
    mutable std::mutex mutex_;
    std::map<QString, TerminalState> states_;
    bool changed_ = false;
};

void writeStatus(const QString& programDir, const QJsonObject& status) {
    QSaveFile file(programDir + QLatin1String(kWatchStatusFile));
    if (!file.open(QIODevice::WriteOnly)) return; // a status is not worth stopping the capture
    file.write(QJsonDocument(status).toJson(QJsonDocument::Indented));
    file.commit();
}

// The operator of a terminal's job: no screen; the last thing said is kept
// as the terminal's last error, and a stop of the job ends a wait for the
// directory's lock.
class WatchOperator : public ConsoleOperator {
  public:
    WatchOperator(QTextStream& sink, const TerminalJob& job)
        : ConsoleOperator(sink, {.printStatus = false}), job_(job) {}
    void showMessage(const QString& text, const QString&, Icon icon) override {
        if (icon == Icon::Warning || icon == Icon::Critical) lastMessage = text;
    }
    bool cancelRequested() override { return job_.stopRequested(); }
    QString lastMessage;

  private:
    const TerminalJob& job_;
};

// Sleeps ms unless the job is stopped first; false when it was.
bool pause(const TerminalJob& job, std::chrono::milliseconds ms) {
    const auto until = std::chrono::steady_clock::now() + ms;
    while (std::chrono::steady_clock::now() < until) {
        if (job.stopRequested()) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    return !job.stopRequested();
}

struct WatchContext {
    QString programDir;
    StatusBoard& board;
    std::atomic_bool& pushWanted;
    bool central = false;
};

// How a delivery ended, for the loop.
struct Delivered {
    bool ok = false;
    int32_t position = -1; // the first record not delivered, when ok
    QString error;
};

Delivered deliver(HeadlessTerminal& terminal, const WatchContext& ctx, WatchOperator& op,
                  const QString& key) {
    op.lastMessage.clear();
    const bool secondFile =
        readProfileString(ctx.programDir + QStringLiteral("Settings.ini"),
                          QStringLiteral("Options"), QStringLiteral("veriDosya2"),
                          QString()) == QStringLiteral("1");
    // The transfer's own path: the same journal, directory lock and commit,
    // so a transfer of the same terminal meanwhile or a kill at any moment
    // leaves every record in the files once.
    const TransferResult r =
        transferNewRecords(terminal.clock, terminal.machineNumber(), ctx.programDir, secondFile, op,
                           QDate::currentDate(), terminal.clock.displayName());
    const bool ok =
        r.outcome == TransferOutcome::Transferred || r.outcome == TransferOutcome::NoRecords;
    if (r.records > 0 && r.outcome != TransferOutcome::IdentityChanged) {
        const qint64 now = QDateTime::currentSecsSinceEpoch();
        ctx.board.set(key, [&](TerminalState& s) {
            if (s.today != QDate::currentDate()) {
                s.today = QDate::currentDate();
                s.recordsToday = 0;
            }
            s.recordsToday += r.records;
            s.lastRecord = now;
        });
        if (ctx.central) ctx.pushWanted = true;
    }
    if (!ok) {
        QString error = op.lastMessage;
        if (error.isEmpty())
            error = r.outcome == TransferOutcome::Busy
                        ? directoryBusyText(ctx.programDir)
                        : QStringLiteral("Kayıtlar aktarılamadı: %1")
                              .arg(r.errorName.isEmpty() ? QStringLiteral("bilinmeyen hata")
                                                         : r.errorName);
        return {false, -1, error};
    }
    int32_t position = terminal.clock.newRecordsStart();
    if (position < 0) {
        // No batch left to tell where the mark is: the log's end will do,
        // since everything up to it was just delivered.
        int32_t logEnd = 0;
        if (!terminal.clock.WaitForNewRecords(terminal.machineNumber(), 0, 0, logEnd))
            return {false, -1, QStringLiteral("Terminal yanıt vermedi.")};
        position = logEnd;
    }
    return {true, position, {}};
}

QString lastErrorName(TFP_CLOCK& clock) {
    int32_t code = SUCCESS;
    clock.GetLastError(code);
    return deviceErrorName(code);
}

// One terminal's capture: connect, deliver what is new, wait for more,
// deliver again; on a broken link connect again after a growing pause and
// deliver what came meanwhile before waiting, so no record is skipped.
void watchTerminal(const QSqlRecord& row, const QString& key, const WatchContext& ctx,
                   TerminalJob& job) {
    QString said;
    QTextStream sink(&said);
    WatchOperator op(sink, job);
    std::optional<QString> knownSerial;
    int attempt = 0;
    const auto setState = [&](const QString& state, bool connected, const QString& error,
                              qint64 retryAt = 0) {
        ctx.board.set(key, [&](TerminalState& s) {
            s.state = state;
            s.connected = connected;
            s.retryAt = retryAt;
            if (!error.isNull()) s.lastError = error;
            if (connected) s.lastContact = QDateTime::currentSecsSinceEpoch();
        });
    };
    const auto backOff = [&](const QString& error) {
        const auto delay = reconnectDelay(++attempt);
        setState(QStringLiteral("yeniden bağlanacak"), false, error,
                 QDateTime::currentSecsSinceEpoch() +
                     std::chrono::duration_cast<std::chrono::seconds>(delay).count());
        return pause(job, delay);
    };

    while (!job.stopRequested()) {
        setState(QStringLiteral("bağlanıyor"), false, QString());
        said.clear();
        HeadlessTerminal terminal(ctx.programDir, op);
        terminal.clock.setTimeouts(5000, kWatchWaitMs - 5000);
        if (terminal.connect(row) != ExitDone) {
            sink.flush();
            if (!backOff(said.trimmed().isEmpty() ? QStringLiteral("Bağlantı kurulamadı.")
                                                  : said.trimmed()))
                return;
            continue;
        }
        const int32_t machine = terminal.machineNumber();
        QString serial;
        if (!terminal.clock.GetSerialNumber(machine, serial)) {
            if (!backOff(QStringLiteral("Seri numarası okunamadı: %1")
                             .arg(lastErrorName(terminal.clock))))
                return;
            continue;
        }
        if (!knownSerial) {
            knownSerial = serial;
        } else if (*knownSerial != serial) {
            // Another terminal at the same address: its records are not
            // this one's, so nothing more is delivered until an operator looks.
            setState(QStringLiteral("durduruldu"), false,
                     QStringLiteral("Bu adreste başka bir terminal var: seri numarası \"%1\" "
                                    "bekleniyordu, \"%2\" yanıt verdi. Bu terminalden kayıt "
                                    "alınmıyor; terminal listesini denetleyip watch'u yeniden "
                                    "başlatın.")
                         .arg(*knownSerial, serial));
            while (pause(job, std::chrono::seconds(1))) {
            }
            return;
        }
        setState(QStringLiteral("aktarıyor"), true, QString());
        Delivered d = deliver(terminal, ctx, op, key);
        if (!d.ok) {
            if (!backOff(d.error)) return;
            continue;
        }
        attempt = 0;
        setState(QStringLiteral("bekliyor"), true, QStringLiteral(""));
        while (!job.stopRequested()) {
            int32_t logEnd = 0;
            if (!terminal.clock.WaitForNewRecords(machine, d.position, kWatchWaitMs, logEnd)) {
                if (job.stopRequested()) return;
                int32_t code = SUCCESS;
                terminal.clock.GetLastError(code);
                if (code == ERR_NOSUPPORT) {
                    // A terminal too old to wait is asked every second instead.
                    if (!pause(job, std::chrono::seconds(1))) return;
                    setState(QStringLiteral("aktarıyor"), true, QString());
                    d = deliver(terminal, ctx, op, key);
                    if (!d.ok) break;
                    setState(QStringLiteral("bekliyor"), true, QString());
                    continue;
                }
                d.ok = false;
                d.error = QStringLiteral("Bağlantı koptu: %1").arg(lastErrorName(terminal.clock));
                break;
            }
            if (logEnd == d.position) { // the heartbeat of a live link
                setState(QStringLiteral("bekliyor"), true, QString());
                continue;
            }
            setState(QStringLiteral("aktarıyor"), true, QString());
            d = deliver(terminal, ctx, op, key);
            if (!d.ok) break;
            setState(QStringLiteral("bekliyor"), true, QString());
        }
        if (job.stopRequested()) return;
        if (!backOff(d.error)) return;
    }
}

// A terminal's row as a key: a change of any of its values starts it anew.
QString rowKey(const QSqlRecord& row) {
    QStringList parts;
    for (int i = 0; i < row.count(); ++i)
        parts << row.fieldName(i) + u'=' + row.value(i).toString();
    return parts.join(u'\x1f');
}

std::vector<QSqlRecord> chosenRows(const SubcommandCall& call) {
    const QStringList names = call.options.values(terminalOption());
    std::vector<QSqlRecord> rows = terminalRows(call.programDir);
    if (names.isEmpty()) return rows;
    std::vector<QSqlRecord> chosen;
    for (const QString& name : names) {
        const std::vector<QSqlRecord> found = rowsNamed(rows, name);
        chosen.insert(chosen.end(), found.begin(), found.end());
    }
    return chosen;
}

int runWatch(const SubcommandCall& call) {
    // A name that is not in the list, or fits several rows, is refused as
    // transfer refuses it, naming the rows to choose from.
    for (const QString& name : call.options.values(terminalOption()))
        if (const TerminalPick pick = pickTerminal(call.programDir, name, call.io.err); !pick.row)
            return pick.code;
    std::vector<QSqlRecord> rows;
    try {
        rows = chosenRows(call);
    } catch (const AppError& e) {
        return failWith(call.io.err, e.text());
    }
    if (rows.empty()) return failWith(call.io.err, emptyListText());

    WatchSignals signalsCaught;
    StatusBoard board;
    std::atomic_bool pushWanted{false};
    const WatchContext ctx{call.programDir, board, pushWanted,
                           centralDatabaseConfigured(call.programDir)};
    std::map<QString, int> jobs; // row key -> job index
    std::optional<std::thread> push;
    std::atomic_bool pushing{false};
    QString pushSaid;
    std::mutex pushSaidMutex;
    {
        TerminalRunner runner({.atOnce = 4096});
        const auto startRows = [&](const std::vector<QSqlRecord>& wanted) {
            std::map<QString, QSqlRecord> byKey;
            for (const QSqlRecord& row : wanted)
                byKey.emplace(rowKey(row), row);
            for (auto it = jobs.begin(); it != jobs.end();) {
                if (byKey.count(it->first)) {
                    ++it;
                    continue;
                }
                runner.stopJob(it->second);
                board.remove(it->first);
                it = jobs.erase(it);
            }
            for (const auto& [key, row] : byKey) {
                if (jobs.count(key)) continue;
                const QString name = terminalName(row);
                board.set(key, [&](TerminalState& s) { s.name = name; });
                jobs[key] =
                    runner
                        .add(name, [&ctx, row,
                                    key](TerminalJob& job) { watchTerminal(row, key, ctx, job); })
                        .index();
            }
        };
        startRows(rows);
        call.io.err << QStringLiteral("Canlı aktarım başladı: %1 terminal.").arg(jobs.size())
                    << '\n';
        call.io.err.flush();

        bool ready = false;
        auto lastListCheck = std::chrono::steady_clock::now();
        auto lastStatus = std::chrono::steady_clock::time_point{};
        while (!stopSignal && !ConsoleOperator::interrupted()) {
            const auto now = std::chrono::steady_clock::now();
            if (reloadSignal || now - lastListCheck >= std::chrono::seconds(30)) {
                const bool asked = reloadSignal;
                reloadSignal = 0;
                lastListCheck = now;
                try {
                    startRows(chosenRows(call));
                    if (asked) {
                        call.io.err << QStringLiteral("Terminal listesi yeniden okundu: %1 "
                                                      "terminal.")
                                           .arg(jobs.size())
                                    << '\n';
                        call.io.err.flush();
                    }
                } catch (const AppError& e) {
                    call.io.err << e.text() << '\n';
                    call.io.err.flush();
                }
            }
            if (now - lastStatus >= std::chrono::seconds(1)) {
                lastStatus = now;
                const qint64 secs = QDateTime::currentSecsSinceEpoch();
                writeStatus(call.programDir, board.json(secs, true));
                // Ready once every terminal has had its first try.
                if (!ready) {
                    const QJsonArray ts = board.json(secs, true).value("terminals").toArray();
                    ready = std::all_of(ts.begin(), ts.end(), [](const QJsonValue& t) {
                        return t.toObject().value("state").toString() != "bağlanıyor" &&
                               t.toObject().value("state").toString() != "aktarıyor";
                    });
                    if (ready) notifyManager("READY=1");
                }
                notifyManager("WATCHDOG=1\nSTATUS=" + board.summary(secs));
                std::lock_guard guard(pushSaidMutex);
                if (!pushSaid.isEmpty()) {
                    call.io.err << pushSaid;
                    call.io.err.flush();
                    pushSaid.clear();
                }
            }
            // One push at a time, off the terminals' threads.
            if (pushWanted && !pushing) {
                if (push) push->join();
                pushWanted = false;
                pushing = true;
                push.emplace([&] {
                    QString said;
                    QTextStream out(&said), err(&said);
                    pushAfterTransfer(call.programDir, {out, err, true});
                    err.flush();
                    {
                        std::lock_guard guard(pushSaidMutex);
                        pushSaid += said;
                    }
                    pushing = false;
                });
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
        notifyManager("STOPPING=1");
        runner.stop();
        while (!runner.allEnded())
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    if (push) push->join();
    writeStatus(call.programDir, board.json(QDateTime::currentSecsSinceEpoch(), false));
    call.io.err << QStringLiteral("Canlı aktarım durdu.") << '\n';
    call.io.err.flush();
    return ExitDone;
}

QString ageText(qint64 secs) {
    if (secs < 60) return QStringLiteral("%1 sn önce").arg(secs);
    if (secs < 3600) return QStringLiteral("%1 dk önce").arg(secs / 60);
    return QStringLiteral("%1 sa önce").arg(secs / 3600);
}

int runStatus(const SubcommandCall& call) {
    QFile file(call.programDir + QLatin1String(kWatchStatusFile));
    if (!file.open(QIODevice::ReadOnly))
        return failWith(call.io.err,
                        QStringLiteral("Canlı aktarım durum dosyası yok: watch hiç çalışmamış."));
    // A status file is small; more is not ours.
    const QByteArray bytes = file.read(4 * 1024 * 1024);
    QJsonParseError error;
    const QJsonDocument doc = QJsonDocument::fromJson(bytes, &error);
    if (!doc.isObject())
        return failWith(
            call.io.err,
            QStringLiteral("Canlı aktarım durum dosyası bozuk: %1").arg(error.errorString()));
    if (call.options.isSet(jsonOption())) {
        call.io.out << QString::fromUtf8(bytes);
    } else {
        call.io.out << watchStatusText(doc.object(), QDateTime::currentSecsSinceEpoch());
    }
    call.io.out.flush();
    return ExitDone;
}

} // namespace

std::chrono::milliseconds reconnectDelay(int attempt) {
    const int shift = std::clamp(attempt - 1, 0, 6);
    const long long base = std::min(1000LL << shift, 60000LL);
    thread_local std::mt19937 random{std::random_device{}()};
    std::uniform_int_distribution<long long> jitter(-base / 5, base / 5);
    return std::chrono::milliseconds(std::clamp(base + jitter(random), 500LL, 60000LL));
}

std::optional<qint64> liveCaptureHolding(const QString& programDir, const QString& name) {
    QFile file(programDir + QLatin1String(kWatchStatusFile));
    if (!file.open(QIODevice::ReadOnly)) return std::nullopt;
    const QJsonObject status = QJsonDocument::fromJson(file.read(4 * 1024 * 1024)).object();
    const qint64 pid = status.value("pid").toInteger();
    // A killed capture leaves its file saying it runs: its process tells.
    if (!status.value("running").toBool() || pid <= 0 || pid == ::getpid() ||
        (::kill(pid_t(pid), 0) != 0 && errno != EPERM))
        return std::nullopt;
    const QJsonArray terminals = status.value("terminals").toArray();
    for (const QJsonValue& t : terminals)
        if (t.toObject().value("name").toString() == name &&
            t.toObject().value("connected").toBool())
            return pid;
    return std::nullopt;
}

QString watchStatusText(const QJsonObject& status, qint64 now) {
    QString text;
    const qint64 updated = status.value("updated").toInteger();
    const bool running = status.value("running").toBool();
    if (!running)
        text +=
            QStringLiteral("Canlı aktarım çalışmıyor (durdu: %1).\n").arg(ageText(now - updated));
    else if (now - updated > 5)
        text += QStringLiteral("Canlı aktarım yanıt vermiyor: durum %1 güncellendi.\n")
                    .arg(ageText(now - updated));
    else
        text += QStringLiteral("Canlı aktarım çalışıyor (süreç %1).\n")
                    .arg(status.value("pid").toInteger());
    const QJsonArray terminals = status.value("terminals").toArray();
    for (const QJsonValue& v : terminals) {
        const QJsonObject t = v.toObject();
        QString state = t.value("state").toString();
        if (t.contains("retry_in"))
            state += QStringLiteral(" (%1 sn sonra)").arg(t.value("retry_in").toInteger());
        const qint64 contact = t.value("last_contact").toInteger();
        const qint64 record = t.value("last_record").toInteger();
        text += QStringLiteral("%1: %2; son temas: %3; son kayıt: %4; bugün %5 kayıt")
                    .arg(escapedText(t.value("name").toString()), state,
                         contact > 0 ? ageText(now - contact) : QStringLiteral("yok"),
                         record > 0 ? ageText(now - record) : QStringLiteral("yok"))
                    .arg(t.value("records_today").toInteger());
        const QString error = t.value("last_error").toString();
        if (!error.isEmpty()) text += QStringLiteral("; son hata: ") + escapedText(error);
        text += u'\n';
    }
    return text;
}

std::vector<Subcommand> watchSubcommands() {
    return {
        {QStringLiteral("watch"),
         {QStringLiteral("[--terminal AD]...")},
         QStringLiteral("terminallerin yeni kayıtlarını canlı olarak veri dosyalarına aktarır"),
         QStringLiteral(
             "Listedeki her terminale (ya da --terminal ile verilenlere; birden çok kez "
             "verilebilir) bağlı kalır ve her yeni kaydı bir saniye içinde \"Verileri Aktar\" "
             "gibi veri.txt'ye, ayın yedek_V270 dosyasına ve ayarlara göre veri2.txt'ye yazar. "
             "Aktarımla aynı yol kullanılır: aynı anda çalışan bir transfer, pencereden yapılan "
             "bir aktarım ya da watch'un herhangi bir anda öldürülmesi bir kaydı iki kez "
             "yazdırmaz, kaybettirmez.\n\n"
             "Terminalin kilidi yalnız aktarım sırasında tutulur; bekleme kilit istemez, bu "
             "yüzden pencereden ya da zamanlayıcıdan yapılan aktarım watch çalışırken de "
             "yapılabilir. Bağlantı koparsa 1 sn'den 60 sn'ye kadar artan aralıklarla yeniden "
             "bağlanır ve önce arada biriken kayıtları aktarır. Aynı adreste başka seri numaralı "
             "bir terminal yanıt verirse o terminalden kayıt almayı durdurur.\n\n"
             "SIGTERM ya da Ctrl-C: süren aktarım biter, watch 0 ile çıkar. SIGHUP ve terminal "
             "listesindeki bir değişiklik (en geç 30 sn'de bir bakılır): liste yeniden okunur. "
             "Durum her saniye program dizinindeki .watch.status dosyasına yazılır (status "
             "komutu gösterir). Merkez veritabanı kuruluysa yeni kayıtlar ardından merkeze "
             "gönderilir."),
         {{terminalOption()}},
         0,
         0,
         runWatch},
        {QStringLiteral("status"),
         {QStringLiteral("[--json]")},
         QStringLiteral("canlı aktarımın (watch) durumunu gösterir"),
         QStringLiteral("Her terminal için: durumu (bekliyor, aktarıyor, yeniden bağlanacak), son "
                        "temasın ve son kaydın yaşı, bugünkü kayıt sayısı, son hata. --json ile "
                        ".watch.status dosyasını olduğu gibi yazar."),
         {jsonOption()},
         0,
         0,
         runStatus},
    };
}
