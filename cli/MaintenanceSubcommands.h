#pragma once

#include "Subcommand.h"

// The maintenance and bell commands without a window: clock, admin-clear,
// clear-fingerprints, bells. Each connects to the chosen terminal as
// "BAGLAN" does.
std::vector<Subcommand> maintenanceSubcommands();
