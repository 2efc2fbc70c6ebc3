#pragma once

#include "core/ProgramDirectory.h"

#include <QCoreApplication>
#include <QString>
#include <QStringList>
#include <QTextStream>

// The program's command line:
//   v270-aktarim [--dir DIR] [Qt options]                  the window
//   v270-aktarim [--dir DIR] [-q] SUBCOMMAND [options]     a command without a window
//   v270-aktarim [SUBCOMMAND] --help | --version
// Our own parser, so that every word of help and every usage error is ours,
// in Turkish.

// Whether the arguments ask for a run without a window: a subcommand (known or
// not), --help, --version or --man. Decided before any application object
// exists, since these must not need a display.
bool isHeadlessInvocation(int argc, char** argv);

// Runs a headless invocation and returns the process's exit code.
int runHeadless(int argc, char** argv);

// The parsing and the run of a headless invocation; arguments are what
// follows the program's name, without Qt's window options. Results go to
// out, errors and messages to err. The application object must exist.
int runCommandLine(const QStringList& arguments, QTextStream& out, QTextStream& err);

// The window's program directory (chooseProgramDirectory: --dir, else
// V270_AKTARIM_DIR, the site's setting, the executable's directory or the
// user's data directory). Qt's own options have already been taken out by
// the application object; anything else unknown ends the process with the
// usage and exit code 64. Throws AppError when the user's data directory
// cannot be made.
ProgramDirectory windowProgramDir(const QCoreApplication& app);

// The version the package and --version show.
QString programVersion();

// The man page: the template's @SYNOPSIS@, @SUBCOMMANDS@ and @EXIT_STATUS@
// replaced from the table that prints --help, every letter outside ASCII
// written as a roff escape. Empty when the template can't be read.
QString manPage(const QString& templateText);
