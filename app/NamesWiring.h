#pragma once

class TFP_CLOCK;
class TfrmDM;
class TfrmEnrol;

// Gives the fingerprint-data window its personnel-name commands: the fill
// from the PDKS database over the data module's MySQL connection, and the
// sends to the terminal of the main window's control, and the dialog that
// sets the connection to the PDKS database.
void wireNameCommands(TfrmEnrol& window, TfrmDM& dm, TFP_CLOCK& clock);
