#pragma once

#include "Subcommand.h"

// sink init [--print] | push | status [--json] | export --from --to [--site]
// | backfill [--terminal AD]: the central database.
std::vector<Subcommand> sinkSubcommands();

// After a transfer: pushes the outbox when a central database is set up.
// A failure is told on io.err and changes nothing of the transfer's result:
// the outbox keeps the records for the next push.
void pushAfterTransfer(const QString& programDir, const Console& io);
