#pragma once

#include "core/AppError.h"
#include "core/Database.h"
#include "core/DirectoryLock.h"
#include "core/TfrmDM.h"

#include <QString>

#include <optional>

// The data module with Data.mdb and Log.mdb of the program directory open, as
// the window has it, for one headless command; closed when the command ends.
// The command (what) holds the directory's lock all along: throws AppError
// naming the holder when another command keeps it longer than the wait.
struct HeadlessDataModule {
    HeadlessDataModule(const QString& programDir, const QString& what)
        : lock(DirectoryLock::acquire(programDir, what)) {
        if (!lock) throw AppError(directoryBusyText(programDir));
        dm.programDir = programDir;
        openDatabaseFile(dm.connection1Name(), programDir + QStringLiteral("Data.mdb"));
        openDatabaseFile(dm.connection2Name(), programDir + QStringLiteral("Log.mdb"));
    }

    std::optional<DirectoryLock> lock;
    TfrmDM dm;
};
