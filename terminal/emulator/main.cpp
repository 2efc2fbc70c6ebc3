// v270-terminal: plays one fingerprint terminal for the program, over TCP,
// a pseudo-terminal (serial) or a Unix socket (USB).

#include "Emulator.h"
#include "Puncher.h"
#include "terminal/DeviceModel.h"
#include "terminal/DeviceState.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QFile>
#include <QFileInfo>
#include <QSocketNotifier>
#include <QTimer>

#include <array>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <sys/socket.h>
#include <unistd.h>

namespace {

const char* const kSchema =
    R"(State file (--state FILE), JSON; every number a 32-bit signed integer:
  { "serial": "EMU0123456789AB", "machine": 1, "password": 0, "clock_offset_s": 0,
    "ring_duration": 5,
    "bells": [ {"on": 1, "hour": 8, "minute": 30}, ... exactly 8 ... ],
    "logs": [ {"enroll": 123, "mode": 0, "year": 2024, "month": 3, "day": 5,
               "hour": 8, "minute": 7}, ... oldest first ],
    "new_mark": 0,
    "enrollments": [
      {"enroll": 42, "emachine": 1, "backup": 0, "privilege": 0, "enabled": 1,
       "template": [356 integers]},
      {"enroll": 42, "emachine": 1, "backup": 11, "privilege": 0, "enabled": 1,
       "password": 305419896} ],
    "names": { "42": "AYSE YILMAZ" } }
  backup: 0-9 and 12-16 template, 10 password, 11 card (password).
  serial: 1 to 64 printable ASCII characters; made at random when missing.
  new_mark: index of the first log record no transfer has committed yet.
  Missing keys take the defaults above; unknown keys are ignored. The file is
  created if missing and saved (temporary file, then rename) when a change is
  done: at the release of the lock for changes made under it, before a commit
  of new records is answered, within 200 ms for changes made without the
  lock, and at exit.
)";

// The longest a change made without the lock waits to be saved.
constexpr int kSaveDelayMs = 200;

[[noreturn]] void die(const QString& message) {
    std::fprintf(stderr, "v270-terminal: %s\n", qPrintable(message));
    std::exit(1);
}

int toInt(const QString& text, const char* option, int min, int max) {
    bool ok = false;
    const int v = text.toInt(&ok);
    if (!ok || v < min || v > max)
        die(QStringLiteral("--%1: expected a whole number from %2 to %3, got \"%4\"")
                .arg(QLatin1String(option))
                .arg(min)
                .arg(max)
                .arg(text));
    return v;
}

void say(const QString& line) {
    std::printf("%s\n", qPrintable(line));
    std::fflush(stdout);
}

QString value(const QCommandLineParser& parser, const char* option) {
    return parser.value(QLatin1String(option));
}

bool isSet(const QCommandLineParser& parser, const char* option) {
    return parser.isSet(QLatin1String(option));
}

struct OptionRow {
    const char* name;
    const char* description;
    const char* valueName; // nullptr: a flag
};

// clang-format off
const OptionRow kOptions[] = {
    {"listen", "Listen on TCP (port 0: any free port).", "HOST:PORT"},
    {"pty", "Open a pseudo-terminal (serial line); with a value, make that path a link to it.", "LINK"},
    {"pty-nolink", "Open a pseudo-terminal without a link.", nullptr},
    {"unix", "Listen on a Unix socket (the USB stand-in).", "PATH"},
    {"machine", "Machine number (overrides the file; default 1).", "N"},
    {"password", "Communication password, 0 for none (overrides the file).", "N"},
    {"serial", "Serial number (overrides the file; a new state gets a random one).", "TEXT"},
    {"state", "State file (JSON, schema above).", "FILE"},
    {"demo", "A new state holds N demo users and records.", "N"},
    {"fail", "That operation fails with CODE (repeatable), e.g. ReadAllUserID=5.", "OP=CODE"},
    {"drop-after", "Cut the link after N records of one download.", "N"},
    {"delay-ms", "Latency per request.", "N"},
    {"mutate", "Corrupt each reply frame with probability P (0-1): flip 1-3 bits, truncate, send "
               "twice, hold back until after the next reply, or drop, evenly; each fault is "
               "logged on standard error.", "P"},
    {"seed", "Seed of --mutate (default 1): the same seed and requests give the same faults.", "S"},
    {"punches", "Random enrolled users punch RATE times a second (fractions allowed, up to "
                "1000), stamped with the terminal's clock. SIGUSR1 makes one punch.", "RATE"},
    {"punch-log", "Append a line per punch as it is made: position, machine number, "
                  "wall-clock time in nanoseconds.", "FILE"},
    {"protocol", "Speak an older protocol version (4 to 5; default 5).", "N"},
};
// clang-format on

// --pty takes an optional value, which QCommandLineParser has not: a bare
// --pty becomes --pty-nolink before parsing.
void parseArguments(QCommandLineParser& parser, QStringList args) {
    parser.setApplicationDescription(
        QStringLiteral("Fingerprint terminal emulator for v270-aktarim.\n\n") +
        QString::fromLatin1(kSchema) +
        QStringLiteral("\nWithout --listen, --pty or --unix it listens on TCP 127.0.0.1:5005."));
    parser.addHelpOption();
    for (const OptionRow& o : kOptions)
        parser.addOption(
            o.valueName ? QCommandLineOption(QLatin1String(o.name), QLatin1String(o.description),
                                             QLatin1String(o.valueName))
                        : QCommandLineOption(QLatin1String(o.name), QLatin1String(o.description)));
    for (qsizetype i = 1; i < args.size(); ++i) {
        const bool last = i + 1 >= args.size();
        if (args[i] == QLatin1String("--pty") &&
            (last || args[i + 1].startsWith(QLatin1String("--"))))
            args[i] = QStringLiteral("--pty-nolink");
    }
    parser.process(args);
    if (!parser.positionalArguments().isEmpty())
        die(QStringLiteral("unexpected argument \"%1\" (see --help)")
                .arg(parser.positionalArguments().first()));
}

// The state: from the file, or new (demo or defaults). created: no file yet.
DeviceState loadState(const QCommandLineParser& parser, const QString& statePath, bool& created) {
    DeviceState state;
    created = true;
    if (!statePath.isEmpty() && QFileInfo::exists(statePath)) {
        QFile file(statePath);
        if (!file.open(QIODevice::ReadOnly))
            die(QStringLiteral("%1: %2").arg(statePath, file.errorString()));
        QString error;
        auto loaded = parseDeviceState(file.readAll(), &error);
        if (!loaded) die(QStringLiteral("%1: malformed state file: %2").arg(statePath, error));
        state = std::move(*loaded);
        created = false;
    }
    if (isSet(parser, "demo")) {
        const int users = toInt(value(parser, "demo"), "demo", 0, 100000);
        if (created)
            state = makeDemoState(users, state.machine);
        else
            std::fprintf(stderr, "v270-terminal: %s exists; --demo applies only to a new state\n",
                         qPrintable(statePath));
    }
    return state;
}

// The command line's machine, password and serial number; true when one
// differs from the state's, which then must be saved.
bool applyOverrides(const QCommandLineParser& parser, DeviceState& state, bool created) {
    bool overridden = false;
    if (isSet(parser, "machine")) {
        const int m = toInt(value(parser, "machine"), "machine", INT32_MIN, INT32_MAX);
        overridden |= m != state.machine;
        state.machine = m;
        for (auto& e : state.enrollments)
            if (created) e.emachine = m;
    }
    if (isSet(parser, "password")) {
        const int p = toInt(value(parser, "password"), "password", INT32_MIN, INT32_MAX);
        overridden |= p != state.password;
        state.password = p;
    }
    if (isSet(parser, "serial")) {
        const QString serial = value(parser, "serial");
        if (!isValidSerial(serial))
            die(QStringLiteral("--serial: expected 1 to %1 printable ASCII characters, got \"%2\"")
                    .arg(kMaxSerialLength)
                    .arg(serial));
        overridden |= serial != state.serial;
        state.serial = serial;
    }
    return overridden || state.serial.isEmpty(); // the device makes one, kept from now on
}

void applyFaults(const QCommandLineParser& parser, DeviceModel& device) {
    DeviceFaults& faults = device.faults();
    for (const QString& f : parser.values(QStringLiteral("fail"))) {
        const qsizetype eq = f.indexOf(QLatin1Char('='));
        if (eq <= 0) die(QStringLiteral("--fail: expected OP=CODE, got \"%1\"").arg(f));
        const QString op = f.left(eq);
        bool known = op == QLatin1String("GetAllGeneralLogData");
        for (int o = 1; o < 255 && !known; ++o)
            if (const char* n = wire::opName(static_cast<wire::Op>(o)); n && op == QLatin1String(n))
                known = true;
        if (!known) die(QStringLiteral("--fail: unknown operation \"%1\"").arg(op));
        faults.failOps[op.toStdString()] = toInt(f.mid(eq + 1), "fail", INT32_MIN, INT32_MAX);
    }
    if (isSet(parser, "drop-after"))
        faults.dropAfter = toInt(value(parser, "drop-after"), "drop-after", 0, INT32_MAX);
    if (isSet(parser, "delay-ms"))
        faults.delayMs = toInt(value(parser, "delay-ms"), "delay-ms", 0, 60000);
    if (isSet(parser, "protocol"))
        device.setProtocolVersion(static_cast<uint8_t>(
            toInt(value(parser, "protocol"), "protocol", wire::kMinVersion, wire::kVersion)));
}

std::unique_ptr<ReplyMutator> makeMutator(const QCommandLineParser& parser) {
    if (!isSet(parser, "mutate")) {
        if (isSet(parser, "seed")) die(QStringLiteral("--seed belongs to --mutate"));
        return nullptr;
    }
    bool ok = false;
    const QString text = value(parser, "mutate");
    const double p = text.toDouble(&ok);
    if (!ok || !(p >= 0.0 && p <= 1.0))
        die(QStringLiteral("--mutate: expected a probability from 0 to 1, got \"%1\"").arg(text));
    uint64_t seed = 1;
    if (isSet(parser, "seed")) {
        const QString seedText = value(parser, "seed");
        seed = seedText.toULongLong(&ok);
        if (!ok)
            die(QStringLiteral("--seed: expected a whole number from 0 to %1, got \"%2\"")
                    .arg(UINT64_MAX)
                    .arg(seedText));
    }
    return std::make_unique<ReplyMutator>(p, seed);
}

// Saves the state file when the device says so; changes without the lock
// (names sent one by one) are saved together, 200 ms after the first of
// them: rewriting a big state per change would make the terminal slower
// than the link.
void saveStateTo(const QString& statePath, bool writeNow, DeviceModel& device, QTimer& saveSoon) {
    if (writeNow) {
        QString error;
        if (!saveDeviceState(device.state(), statePath, &error))
            die(QStringLiteral("%1: can't write: %2").arg(statePath, error));
    }
    device.setOnChange([model = &device, statePath] {
        QString error;
        if (!saveDeviceState(model->state(), statePath, &error))
            std::fprintf(stderr, "v270-terminal: can't save %s: %s\n", qPrintable(statePath),
                         qPrintable(error));
    });
    saveSoon.setSingleShot(true);
    saveSoon.setInterval(kSaveDelayMs);
    QObject::connect(&saveSoon, &QTimer::timeout,
                     [model = &device] { model->saveChangesWithoutLock(); });
    device.setSaveLater([&saveSoon] {
        if (!saveSoon.isActive()) saveSoon.start();
    });
}

void listenTcp(const QCommandLineParser& parser, Emulator& emulator) {
    const QString address =
        isSet(parser, "listen") ? value(parser, "listen") : QStringLiteral("127.0.0.1:5005");
    const qsizetype colon = address.lastIndexOf(QLatin1Char(':'));
    if (colon <= 0) die(QStringLiteral("--listen: expected HOST:PORT, got \"%1\"").arg(address));
    const int port = toInt(address.mid(colon + 1), "listen", 0, 65535);
    QString where, error;
    QString host = address.left(colon);
    if (host.startsWith(QLatin1Char('[')) && host.endsWith(QLatin1Char(']')))
        host = host.mid(1, host.size() - 2); // [::1]:5005
    if (!emulator.listenTcp(host, static_cast<uint16_t>(port), &where, &error))
        die(QStringLiteral("can't listen on %1: %2").arg(address, error));
    say(QStringLiteral("tcp ") + where);
}

// Each listener is announced on standard output once it listens.
void listen(const QCommandLineParser& parser, Emulator& emulator) {
    const bool pty = isSet(parser, "pty") || isSet(parser, "pty-nolink");
    if (isSet(parser, "listen") || (!pty && !isSet(parser, "unix"))) listenTcp(parser, emulator);
    QString error;
    if (pty) {
        QString path;
        if (!emulator.openPty(value(parser, "pty"), &path, &error))
            die(QStringLiteral("can't open a pseudo-terminal: %1").arg(error));
        say(QStringLiteral("pty ") + path);
    }
    if (isSet(parser, "unix")) {
        const QString path = value(parser, "unix");
        if (!emulator.listenUnix(path, &error))
            die(QStringLiteral("can't listen on %1: %2").arg(path, error));
        say(QStringLiteral("unix ") + path);
    }
}

// Signals reach the event loop through a socket pair: the handler only
// writes the signal's number, the loop acts on it.
int signalWriteEnd = -1;

void onSignal(int signal) {
    const int saved = errno;
    const char c = static_cast<char>(signal);
    [[maybe_unused]] auto n = ::write(signalWriteEnd, &c, 1);
    errno = saved;
}

class SignalPipe {
  public:
    // SIGTERM and SIGINT end the event loop, so the destructors clean up;
    // SIGUSR1 calls onPunch.
    explicit SignalPipe(std::function<void()> onPunch) : onPunch_(std::move(onPunch)) {
        if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0, fds_.data()) != 0)
            die(QStringLiteral("socketpair failed"));
        signalWriteEnd = fds_[1];
        notifier_ = std::make_unique<QSocketNotifier>(fds_[0], QSocketNotifier::Read);
        QObject::connect(notifier_.get(), &QSocketNotifier::activated, [this] { take(); });
        struct sigaction sa {};
        sa.sa_handler = onSignal;
        sigemptyset(&sa.sa_mask);
        sa.sa_flags = SA_RESTART;
        for (int signal : {SIGTERM, SIGINT, SIGUSR1})
            ::sigaction(signal, &sa, nullptr);
        std::signal(SIGPIPE, SIG_IGN);
    }
    ~SignalPipe() {
        for (int signal : {SIGTERM, SIGINT, SIGUSR1})
            std::signal(signal, SIG_DFL);
        notifier_.reset();
        signalWriteEnd = -1;
        ::close(fds_[0]);
        ::close(fds_[1]);
    }
    SignalPipe(const SignalPipe&) = delete;
    SignalPipe& operator=(const SignalPipe&) = delete;

  private:
    void take() {
        char taken[64];
        ssize_t n = 0;
        while ((n = ::read(fds_[0], taken, sizeof taken)) > 0)
            for (ssize_t i = 0; i < n; ++i)
                if (taken[i] == SIGUSR1)
                    onPunch_();
                else
                    QCoreApplication::quit();
    }

    std::array<int, 2> fds_{-1, -1};
    std::unique_ptr<QSocketNotifier> notifier_;
    std::function<void()> onPunch_;
};

void startPunches(const QCommandLineParser& parser, Puncher& puncher) {
    if (isSet(parser, "punch-log")) {
        QString error;
        if (!puncher.openLog(value(parser, "punch-log"), &error))
            die(QStringLiteral("--punch-log: %1").arg(error));
    }
    if (!isSet(parser, "punches")) return;
    bool ok = false;
    const double rate = value(parser, "punches").toDouble(&ok);
    if (!ok || !(rate > 0.0 && rate <= 1000.0))
        die(QStringLiteral("--punches: expected punches a second above 0, at most 1000, got \"%1\"")
                .arg(value(parser, "punches")));
    puncher.start(rate);
}

} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("v270-terminal"));
    QCommandLineParser parser;
    parseArguments(parser, app.arguments());

    const QString statePath = value(parser, "state");
    bool created = true;
    DeviceState state = loadState(parser, statePath, created);
    const bool overridden = applyOverrides(parser, state, created);

    // Declared before the device, which calls it, so that it outlives it.
    QTimer saveSoon;
    auto device = std::make_shared<DeviceModel>(std::move(state));
    applyFaults(parser, *device);
    std::unique_ptr<ReplyMutator> mutator = makeMutator(parser);
    if (!statePath.isEmpty()) saveStateTo(statePath, created || overridden, *device, saveSoon);

    Emulator emulator(device);
    if (mutator) emulator.setMutator(std::move(mutator));
    Puncher puncher(*device, [&emulator] { emulator.wakeWaits(); });
    startPunches(parser, puncher);
    // Before anything is announced: a test may signal at once.
    SignalPipe signalPipe([&puncher] { puncher.punch(); });
    listen(parser, emulator);

    const int code = app.exec();
    // A client still holding the lock at SIGTERM, or changes waiting for the timer.
    device->flushChanges();
    return code;
}
