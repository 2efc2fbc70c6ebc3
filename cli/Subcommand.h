#pragma once

#include <QCommandLineOption>
#include <QCommandLineParser>
#include <QList>
#include <QStringList>
#include <QTextStream>
#include <functional>
#include <vector>

// Exit codes of every headless command.
enum ExitCode : int {
    ExitDone = 0,         // done, also when there was nothing to do
    ExitFailed = 1,       // any other failure, its text on standard error
    ExitNotConnected = 2, // the connection failed ("Hata..Bağlantı Kurulamadı....")
    ExitNotConfirmed = 3, // records are in the files, but the terminal did not confirm
                          // them; the next transfer finishes without writing them twice
};

// The worse of two exit codes, for a run over several terminals: a failure
// outranks records that wait for the terminal's confirmation, and a failed
// connection outranks any other failure.
int worseExitCode(int a, int b);

// What a subcommand gets when it runs.
struct SubcommandCall {
    QString programDir;    // with a trailing separator
    QStringList arguments; // the positional arguments after the subcommand's name
    const QCommandLineParser& parser;
    QTextStream& out;
    QTextStream& err;
};

// One headless subcommand: v270-aktarim [--dir DIR] NAME [options] [arguments].
struct Subcommand {
    QString name;
    QString synopsis; // what follows the name in the usage line
    QString summary;  // one line for --help
    QList<QCommandLineOption> options;
    int minArguments = 0;
    int maxArguments = 0;
    std::function<int(const SubcommandCall&)> run;
};

// --terminal AD, shared by every subcommand that talks to a terminal.
QCommandLineOption terminalOption();

// The terminal refused the lock (EnableDevice failed); consequence, when
// given, says what was left undone ("hiçbir kayıt okunmadı").
QString noDeviceText(const QString& consequence = {});

// Writes text as the failure of a command and returns ExitFailed.
int failWith(QTextStream& err, const QString& text);
