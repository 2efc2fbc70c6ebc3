#pragma once

class TfrmDM;

// Re-runs the terminal list (qrycihaz), ordered by name the Turkish way.
// Throws AppError with the database's text when the list can't be read.
void reopenTerminalList(TfrmDM& dm);
