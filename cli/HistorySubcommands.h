#pragma once

#include "Subcommand.h"

#include <QDate>
#include <QString>

struct HistoryEntry;

// history [--terminal AD] [--since TARIH] [--json]: the history of transfers.
std::vector<Subcommand> historySubcommands();

// An entry as the history prints it: "2026-12-11 12:05 Giriş: 208 kayıt →
// veri.txt", a failure "… Giriş (10.0.0.5:5005): HATA: …".
QString historyText(const HistoryEntry& entry);
