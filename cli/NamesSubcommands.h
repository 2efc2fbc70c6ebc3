#pragma once

#include "Subcommand.h"

// names fill | send [--all | --kartno N] [--terminal AD]: the personnel
// names without a window.
std::vector<Subcommand> namesSubcommands();
