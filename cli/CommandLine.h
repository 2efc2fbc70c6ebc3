#pragma once

#include "core/ProgramDirectory.h"

#include <QCoreApplication>
#include <QString>

// The program's command line:
//   v270-aktarim [--dir DIR] [Qt options]            the window
//   v270-aktarim [--dir DIR] SUBCOMMAND [options]    a command without a window
//   v270-aktarim --help | --version

// Whether the arguments ask for a run without a window: a subcommand (known or
// not), --help or --version. Decided before any application object exists,
// since these must not need a display.
bool isHeadlessInvocation(int argc, char** argv);

// Runs a headless invocation and returns the process's exit code.
int runHeadless(int argc, char** argv);

// The window's program directory (chooseProgramDirectory: --dir, else the
// executable's directory or the user's data directory). Qt's own options have
// already been taken out by the application object; anything else unknown
// ends the process with the usage, as QCommandLineParser does. Throws
// AppError when the user's data directory cannot be made.
ProgramDirectory windowProgramDir(const QCoreApplication& app);

// The version the package and --version show.
QString programVersion();
