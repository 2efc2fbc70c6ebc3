#pragma once

#include <QHash>
#include <QList>
#include <QString>
#include <QStringList>
#include <QTextStream>

#include <functional>
#include <vector>

// Exit codes of every headless command. exitCodeTable() describes them for
// --help and the man page; worseExitCode() ranks them for a run over several
// terminals.
enum ExitCode : int {
    ExitDone = 0,         // done, also when there was nothing to do
    ExitFailed = 1,       // any other failure, its text on standard error
    ExitNotConnected = 2, // the connection failed ("Hata..Bağlantı Kurulamadı....")
    ExitNotConfirmed = 3, // records are in the files, but the terminal did not confirm
                          // them; the next transfer finishes without writing them twice
    ExitBusy = 4,         // another command holds the terminal or the program directory
    ExitUsage = 64,       // the command line is wrong (as sysexits' EX_USAGE)
    ExitCancelled = 130,  // stopped by Ctrl-C (128 + SIGINT), what was written stays
};

struct ExitCodeText {
    int code;
    QString text; // Turkish, one line
};
// Every exit code with its meaning, in numeric order.
const std::vector<ExitCodeText>& exitCodeTable();
// The codes from the worst to the best, as worseExitCode() ranks them.
const std::vector<int>& exitCodesWorstFirst();
QString worstOrderText(); // "130, 64, 2, …"

// The worse of two exit codes, for a run over several terminals.
int worseExitCode(int a, int b);

// One option of the command line: --name, maybe -c, maybe with a value.
struct Option {
    QString name;        // the long name, without dashes
    QString valueName;   // empty for a switch
    QString description; // one line, Turkish
    QChar shortName = {};
};

// The options given, by long name; a switch has an empty value.
class GivenOptions {
  public:
    bool isSet(const QString& name) const { return values_.contains(name); }
    bool isSet(const Option& o) const { return isSet(o.name); }
    QString value(const QString& name) const { return values_.value(name); }
    QString value(const Option& o) const { return value(o.name); }
    void set(const QString& name, const QString& value) {
        values_.insert(name, value);
        every_[name].append(value);
    }
    // Every value of an option given more than once, in order; value() is the last.
    QStringList values(const Option& o) const { return every_.value(o.name); }

  private:
    QHash<QString, QString> values_;
    QHash<QString, QStringList> every_;
};

class TerminalJob;

// Where a command writes: results on out; errors, and the window's messages,
// on err. quiet: the command prints no result line of its own on success
// (data asked for, such as a list or JSON, is printed all the same); the
// caller holds err back and shows it only when the command fails. job: set
// when the command runs on one of several terminals at once, on a thread of
// its own (core/TerminalRunner.h); it reports its progress there, not on
// err.
struct Console {
    QTextStream& out;
    QTextStream& err;
    bool quiet = false;
    TerminalJob* job = nullptr;
};

// What a subcommand gets when it runs.
struct SubcommandCall {
    QString programDir;    // with a trailing separator
    QStringList arguments; // the positional arguments after the subcommand's name
    const GivenOptions& options;
    Console io;
    bool offersAllTerminals = false; // the subcommand takes --all-terminals
};

// One headless subcommand: v270-aktarim [--dir DIR] NAME [options] [arguments].
// The same entry prints the subcommand's --help and its part of the man page.
struct Subcommand {
    QString name;
    QStringList synopses; // each a usage line, what follows the name
    QString summary;      // one line for the list of subcommands
    QString description;  // what --help and the man page say about it; lines of text
    QList<Option> options;
    int minArguments = 0;
    int maxArguments = 0;
    std::function<int(const SubcommandCall&)> run;
};

// --terminal AD, shared by every subcommand that talks to a terminal.
Option terminalOption();
// --all-terminals, for the commands that may run on every terminal at once.
Option allTerminalsOption();
// --jobs N, for the commands that may work on several terminals at once.
Option jobsOption();
// --json, for the commands that can answer in JSON.
Option jsonOption();
// --yes, for the commands that delete.
Option yesOption(const QString& what);

// The terminal refused the lock (EnableDevice failed); consequence, when
// given, says what was left undone ("hiçbir kayıt okunmadı").
QString noDeviceText(const QString& consequence = {});

// Writes text as the failure of a command and returns code.
int failWith(QTextStream& err, const QString& text, int code = ExitFailed);
// Writes text and the subcommand's usage lines, and returns ExitUsage.
int usageError(QTextStream& err, const QString& text, const QString& subcommand);
