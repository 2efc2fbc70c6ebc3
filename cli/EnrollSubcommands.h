#pragma once

#include "Subcommand.h"

// enroll download | upload [--clear] | copy --from AD --to AD [--clear]: the
// fingerprint-data window's bulk commands without a window, each on a
// terminal row connected as "BAGLAN" does.
std::vector<Subcommand> enrollSubcommands();
