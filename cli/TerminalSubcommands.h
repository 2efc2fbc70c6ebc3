#pragma once

#include "Subcommand.h"

#include <vector>

// terminals list [--json] | add | edit AD | remove AD: the terminal list
// without a window, with the editor's checks. A refused value changes
// nothing and exits 64 with the reason.
std::vector<Subcommand> terminalSubcommands();
