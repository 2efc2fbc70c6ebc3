#include "TestProgramDir.h"

#include "TestFiles.h"
#include "core/Database.h"
#include "core/TfrmDM.h"

#include <stdexcept>

TestProgramDir::TestProgramDir() {
    if (!tmp_.isValid()) throw std::runtime_error("cannot make a temporary program directory");
    createDatabaseFromSchema(path(QStringLiteral("Data.mdb")), QStringLiteral("Data.sql"));
    createDatabaseFromSchema(path(QStringLiteral("Log.mdb")), QStringLiteral("Log.sql"));
}

void TestProgramDir::openOn(TfrmDM& dm) const {
    dm.programDir = path(QString());
    openDatabaseFile(dm.connection1Name(), path(QStringLiteral("Data.mdb")));
    openDatabaseFile(dm.connection2Name(), path(QStringLiteral("Log.mdb")));
}
