#pragma once

#include "Subcommand.h"
#include "core/AppError.h"
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

// The data module with Data.mdb and Log.mdb of the program directory open, as
// the window has it, for one headless command; closed when the command ends.
// The command (what) holds the directory's lock all along: throws
// DirectoryBusy when another command keeps it longer than the wait.
struct HeadlessDataModule {
    HeadlessDataModule(const QString& programDir, const QString& what)
        : lock(DirectoryLock::acquire(programDir, what)) {
        if (!lock) throw DirectoryBusy(programDir);
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
