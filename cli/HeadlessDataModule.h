#pragma once

#include "core/Database.h"
#include "core/TfrmDM.h"

#include <QString>

// The data module with Data.mdb and Log.mdb of the program directory open, as
// the window has it, for one headless command; closed when the command ends.
struct HeadlessDataModule {
    explicit HeadlessDataModule(const QString& programDir) {
        openDatabaseFile(dm.connection1Name(), programDir + QStringLiteral("Data.mdb"));
        openDatabaseFile(dm.connection2Name(), programDir + QStringLiteral("Log.mdb"));
    }

    TfrmDM dm;
};
