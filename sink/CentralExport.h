#pragma once

// veri.txt lines back out of the central table, in punch order.

#include "CentralDatabase.h"

#include <QByteArray>
#include <QDate>
#include <QString>

#include <functional>
#include <optional>

// The lines of the records punched from the start of from to the end of
// to, of one site or of all, in punch order (then site, terminal, position),
// each exactly as the site wrote it into veri.txt. Records whose line holds
// no valid date are left out. Throws AppError.
long long exportCentralLines(CentralConnection& connection, const QDate& from, const QDate& to,
                             const std::optional<QString>& site,
                             const std::function<void(const QByteArray&)>& line);

// "2024-03-05" or "05.03.2024"; an invalid date when it is neither.
QDate parseExportDate(const QString& text);
