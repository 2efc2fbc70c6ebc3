// v270-terminal: plays one fingerprint terminal for the program, over TCP,
// a pseudo-terminal (serial) or a Unix socket (USB).

#include "Emulator.h"
#include "terminal/DeviceModel.h"
#include "terminal/DeviceState.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QFile>
#include <QFileInfo>
#include <QSocketNotifier>
#include <QTimer>

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

int sigPipe[2] = {-1, -1};

void onSignal(int) {
    const char c = 1;
    [[maybe_unused]] auto n = ::write(sigPipe[1], &c, 1);
}

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

} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("v270-terminal"));

    QCommandLineParser parser;
    parser.setApplicationDescription(
        QStringLiteral("Fingerprint terminal emulator for v270-aktarim.\n\n") +
        QString::fromLatin1(kSchema) +
        QStringLiteral("\nWithout --listen, --pty or --unix it listens on TCP 127.0.0.1:5005."));
    parser.addHelpOption();
    parser.addOptions({
        {QStringLiteral("listen"), QStringLiteral("Listen on TCP (port 0: any free port)."),
         QStringLiteral("HOST:PORT")},
        {QStringLiteral("pty"),
         QStringLiteral("Open a pseudo-terminal (serial line); "
                        "with a value, make that path a link to it."),
         QStringLiteral("LINK")},
        {QStringLiteral("pty-nolink"), QStringLiteral("Open a pseudo-terminal without a link.")},
        {QStringLiteral("unix"), QStringLiteral("Listen on a Unix socket (the USB stand-in)."),
         QStringLiteral("PATH")},
        {QStringLiteral("machine"),
         QStringLiteral("Machine number (overrides the file; default 1)."), QStringLiteral("N")},
        {QStringLiteral("password"),
         QStringLiteral("Communication password, 0 for none (overrides the file)."),
         QStringLiteral("N")},
        {QStringLiteral("serial"),
         QStringLiteral("Serial number (overrides the file; a new state gets a random one)."),
         QStringLiteral("TEXT")},
        {QStringLiteral("state"), QStringLiteral("State file (JSON, schema above)."),
         QStringLiteral("FILE")},
        {QStringLiteral("demo"), QStringLiteral("A new state holds N demo users and records."),
         QStringLiteral("N")},
        {QStringLiteral("fail"),
         QStringLiteral("That operation fails with CODE (repeatable), e.g. ReadAllUserID=5."),
         QStringLiteral("OP=CODE")},
        {QStringLiteral("drop-after"),
         QStringLiteral("Cut the link after N records of one download."), QStringLiteral("N")},
        {QStringLiteral("delay-ms"), QStringLiteral("Latency per request."), QStringLiteral("N")},
        {QStringLiteral("mutate"),
         QStringLiteral("Corrupt each reply frame with probability P (0-1): flip 1-3 bits, "
                        "truncate, send twice, hold back until after the next reply, or "
                        "drop, evenly; each fault is logged on standard error."),
         QStringLiteral("P")},
        {QStringLiteral("seed"),
         QStringLiteral("Seed of --mutate (default 1): the same seed and requests give the "
                        "same faults."),
         QStringLiteral("S")},
    });
    // --pty takes an optional value; QCommandLineParser has none, so accept
    // a bare --pty by hand before parsing.
    QStringList args = app.arguments();
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

    // The state: from the file, or new (demo or defaults), then the overrides.
    const QString statePath = parser.value(QStringLiteral("state"));
    DeviceState state;
    bool created = true;
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
    if (parser.isSet(QStringLiteral("demo"))) {
        const int users = toInt(parser.value(QStringLiteral("demo")), "demo", 0, 100000);
        if (created)
            state = makeDemoState(users, state.machine);
        else
            std::fprintf(stderr, "v270-terminal: %s exists; --demo applies only to a new state\n",
                         qPrintable(statePath));
    }
    bool overridden = false;
    if (parser.isSet(QStringLiteral("machine"))) {
        const int m =
            toInt(parser.value(QStringLiteral("machine")), "machine", INT32_MIN, INT32_MAX);
        overridden |= m != state.machine;
        state.machine = m;
        for (auto& e : state.enrollments)
            if (created) e.emachine = m;
    }
    if (parser.isSet(QStringLiteral("password"))) {
        const int p =
            toInt(parser.value(QStringLiteral("password")), "password", INT32_MIN, INT32_MAX);
        overridden |= p != state.password;
        state.password = p;
    }
    if (parser.isSet(QStringLiteral("serial"))) {
        const QString serial = parser.value(QStringLiteral("serial"));
        if (!isValidSerial(serial))
            die(QStringLiteral("--serial: expected 1 to %1 printable ASCII characters, got \"%2\"")
                    .arg(kMaxSerialLength)
                    .arg(serial));
        overridden |= serial != state.serial;
        state.serial = serial;
    }
    overridden |= state.serial.isEmpty(); // the device makes one, kept from now on

    // Declared before the device, which calls it, so that it outlives it.
    QTimer saveSoon;
    auto device = std::make_shared<DeviceModel>(std::move(state));
    DeviceFaults& faults = device->faults();
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
    if (parser.isSet(QStringLiteral("drop-after")))
        faults.dropAfter =
            toInt(parser.value(QStringLiteral("drop-after")), "drop-after", 0, INT32_MAX);
    if (parser.isSet(QStringLiteral("delay-ms")))
        faults.delayMs = toInt(parser.value(QStringLiteral("delay-ms")), "delay-ms", 0, 60000);

    std::unique_ptr<ReplyMutator> mutator;
    if (parser.isSet(QStringLiteral("mutate"))) {
        bool ok = false;
        const QString text = parser.value(QStringLiteral("mutate"));
        const double p = text.toDouble(&ok);
        if (!ok || !(p >= 0.0 && p <= 1.0))
            die(QStringLiteral("--mutate: expected a probability from 0 to 1, got \"%1\"")
                    .arg(text));
        uint64_t seed = 1;
        if (parser.isSet(QStringLiteral("seed"))) {
            const QString seedText = parser.value(QStringLiteral("seed"));
            seed = seedText.toULongLong(&ok);
            if (!ok)
                die(QStringLiteral("--seed: expected a whole number from 0 to %1, got \"%2\"")
                        .arg(UINT64_MAX)
                        .arg(seedText));
        }
        mutator = std::make_unique<ReplyMutator>(p, seed);
    } else if (parser.isSet(QStringLiteral("seed"))) {
        die(QStringLiteral("--seed belongs to --mutate"));
    }

    if (!statePath.isEmpty()) {
        auto save = [model = device.get(), statePath] {
            QString error;
            if (!saveDeviceState(model->state(), statePath, &error))
                std::fprintf(stderr, "v270-terminal: can't save %s: %s\n", qPrintable(statePath),
                             qPrintable(error));
        };
        if (created || overridden) {
            QString error;
            if (!saveDeviceState(device->state(), statePath, &error))
                die(QStringLiteral("%1: can't write: %2").arg(statePath, error));
        }
        device->setOnChange(save);
        // Changes without the lock (names sent one by one) are saved
        // together, 200 ms after the first of them: rewriting a big state
        // per change would make the terminal slower than the link.
        saveSoon.setSingleShot(true);
        saveSoon.setInterval(kSaveDelayMs);
        QObject::connect(&saveSoon, &QTimer::timeout,
                         [model = device.get()] { model->saveChangesWithoutLock(); });
        device->setSaveLater([&saveSoon] {
            if (!saveSoon.isActive()) saveSoon.start();
        });
    }

    // SIGTERM and SIGINT end the event loop, so the destructors clean up.
    // Installed before anything is announced: a test may signal at once.
    if (::socketpair(AF_UNIX, SOCK_STREAM, 0, sigPipe) != 0)
        die(QStringLiteral("socketpair failed"));
    QSocketNotifier quitNotifier(sigPipe[0], QSocketNotifier::Read);
    QObject::connect(&quitNotifier, &QSocketNotifier::activated, &app, &QCoreApplication::quit);
    struct sigaction sa {};
    sa.sa_handler = onSignal;
    sigemptyset(&sa.sa_mask);
    ::sigaction(SIGTERM, &sa, nullptr);
    ::sigaction(SIGINT, &sa, nullptr);
    std::signal(SIGPIPE, SIG_IGN);

    Emulator emulator(device);
    if (mutator) emulator.setMutator(std::move(mutator));
    QString error;
    const bool anyTransport =
        parser.isSet(QStringLiteral("listen")) || parser.isSet(QStringLiteral("pty")) ||
        parser.isSet(QStringLiteral("pty-nolink")) || parser.isSet(QStringLiteral("unix"));
    if (parser.isSet(QStringLiteral("listen")) || !anyTransport) {
        const QString listenAddress = parser.isSet(QStringLiteral("listen"))
                                          ? parser.value(QStringLiteral("listen"))
                                          : QStringLiteral("127.0.0.1:5005");
        const qsizetype colon = listenAddress.lastIndexOf(QLatin1Char(':'));
        if (colon <= 0)
            die(QStringLiteral("--listen: expected HOST:PORT, got \"%1\"").arg(listenAddress));
        const int port = toInt(listenAddress.mid(colon + 1), "listen", 0, 65535);
        QString where;
        QString host = listenAddress.left(colon);
        if (host.startsWith(QLatin1Char('[')) && host.endsWith(QLatin1Char(']')))
            host = host.mid(1, host.size() - 2); // [::1]:5005
        if (!emulator.listenTcp(host, static_cast<uint16_t>(port), &where, &error))
            die(QStringLiteral("can't listen on %1: %2").arg(listenAddress, error));
        say(QStringLiteral("tcp ") + where);
    }
    if (parser.isSet(QStringLiteral("pty")) || parser.isSet(QStringLiteral("pty-nolink"))) {
        QString path;
        if (!emulator.openPty(parser.value(QStringLiteral("pty")), &path, &error))
            die(QStringLiteral("can't open a pseudo-terminal: %1").arg(error));
        say(QStringLiteral("pty ") + path);
    }
    if (parser.isSet(QStringLiteral("unix"))) {
        const QString path = parser.value(QStringLiteral("unix"));
        if (!emulator.listenUnix(path, &error))
            die(QStringLiteral("can't listen on %1: %2").arg(path, error));
        say(QStringLiteral("unix ") + path);
    }

    const int code = app.exec();
    // A client still holding the lock at SIGTERM, or changes waiting for the timer.
    device->flushChanges();
    return code;
}
