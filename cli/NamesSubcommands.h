#pragma once

#include "Subcommand.h"

#include <optional>

// names fill: "PDKS Programından İsimleri Al (mysql)" over every row of the
// names list, with the personnel database from Settings.ini; prints how many
// rows got a name and how many found no personnel row.
int runNamesFillCommand(const QString& programDir, QTextStream& out, QTextStream& err);

// names send [--all | --kartno N] [--terminal AD]: connects as "BAGLAN" does
// and sends every name of the list ("Tüm Personel Adlarını Terminale
// Yükle"), or the name of the row of kartno N; prints the last status text
// and the number of names sent.
int runNamesSendCommand(const QString& programDir, const std::optional<QString>& kartno,
                        const QString& terminalName, QTextStream& out, QTextStream& err);

std::vector<Subcommand> namesSubcommands();
