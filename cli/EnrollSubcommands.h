#pragma once

#include "Subcommand.h"

// enroll download [--terminal NAME]: "Terminalden Parmakizi Datası Al" from
// the named Terminal row (the first when empty), connected as "BAGLAN" does.
int runEnrollDownload(const QString& programDir, const QString& terminalName, QTextStream& out,
                      QTextStream& err);

// enroll upload [--clear] [--terminal NAME]: "Terminale Parmakizi Datası
// Yükle" with the question answered Yes; clear is "Cihazdaki tüm prmizlerini sil".
int runEnrollUpload(const QString& programDir, const QString& terminalName, bool clear,
                    QTextStream& out, QTextStream& err);

// enroll copy --from NAME --to NAME [--clear]: a download from one terminal
// row, then, only if it read every enrollment, an upload to the other, and
// the names of the users it wrote ("Tüm Personel Adlarını Terminale Yükle").
int runEnrollCopy(const QString& programDir, const QString& from, const QString& to, bool clear,
                  QTextStream& out, QTextStream& err);

std::vector<Subcommand> enrollSubcommands();
