#pragma once

#include "Subcommand.h"
#include "core/AppError.h"
#include "core/ConsoleOperator.h"
#include "core/Database.h"
#include "core/DirectoryLock.h"
#include "core/TfrmDM.h"

#include <QString>

#include <optional>

// The program directory's lock stayed with another command: its text says
// which; the command changed nothing (exit code 4).
class DirectoryBusy : public AppError {
  public:
    explicit DirectoryBusy(const QString& programDir) : AppError(directoryBusyText(programDir)) {}
};

// Ctrl-C ended the wait for the directory's lock: the command changed
// nothing, and the interrupt's own note said so (exit code 130).
class DirectoryWaitCancelled : public AppError {
  public:
    DirectoryWaitCancelled() : AppError(QString()) {}
};

// The directory's lock for a headless command (what), waiting as the window
// does but no longer once Ctrl-C is pressed. Throws DirectoryBusy when it
// stays taken, DirectoryWaitCancelled on Ctrl-C, AppError when the lock
// file can't be opened.
inline DirectoryLock lockForHeadlessCommand(const QString& programDir, const QString& what) {
    std::optional<DirectoryLock> lock = DirectoryLock::acquire(
        programDir, what, DirectoryLock::kWaitMs, [] { return !ConsoleOperator::interrupted(); });
    if (lock) return std::move(*lock);
    if (ConsoleOperator::interrupted()) throw DirectoryWaitCancelled();
    throw DirectoryBusy(programDir);
}

// The data module with Data.mdb and Log.mdb of the program directory open, as
// the window has it, for one headless command; closed when the command ends.
// The command (what) holds the directory's lock all along
// (lockForHeadlessCommand).
struct HeadlessDataModule {
    HeadlessDataModule(const QString& programDir, const QString& what)
        : lock(lockForHeadlessCommand(programDir, what)) {
        dm.programDir = programDir;
        openDatabaseFile(dm.connection1Name(), programDir + QStringLiteral("Data.mdb"));
        openDatabaseFile(dm.connection2Name(), programDir + QStringLiteral("Log.mdb"));
    }

    std::optional<DirectoryLock> lock;
    TfrmDM dm;
};

// The standard error report of a headless command: an error that escapes is
// a failure with its own text; a busy directory is exit code 4.
template <typename F> int reportedErrors(QTextStream& err, F run) {
    try {
        return run();
    } catch (const DirectoryWaitCancelled&) {
        return ExitCancelled;
    } catch (const DirectoryBusy& e) {
        err << e.text() << '\n';
        err.flush();
        return ExitBusy;
    } catch (const AppError& e) {
        err << e.text() << '\n';
        err.flush();
        return ExitFailed;
    } catch (const std::exception& e) {
        err << errorText(e) << '\n';
        err.flush();
        return ExitFailed;
    }
}
