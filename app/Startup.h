#pragma once

#include <QString>

class Operator;
class TfrmDM;

// Opens Data.mdb and Log.mdb from the program directory and loads the
// terminal list. A missing file is told to the operator and start-up goes on;
// any other failure throws, and the caller skips the rest of its start-up.
void openDataModule(TfrmDM& dm, const QString& programDir, Operator& op);

// The second-file option: only the exact text "1" turns it on.
bool readSecondFileOption(const QString& settingsPath);
void saveSecondFileOption(const QString& settingsPath, bool on);
