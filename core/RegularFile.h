#pragma once

// The program's own files (Settings.ini, the databases, the data files, the
// journal) must be regular files or symbolic links to one. A FIFO would block
// a command forever holding the terminal, a device such as /dev/zero would
// never end; both are refused with a text that names the file.

#include <QByteArray>
#include <QString>

#include <optional>

// The operator's text when path exists and is not a regular file; empty when
// it is one or is missing.
QString notRegularFileText(const QString& path);
// Throws AppError with that text.
void requireRegularFileOrMissing(const QString& path);
// The same for a file just opened (with O_NONBLOCK, so a FIFO didn't wait).
void requireRegularFile(int fd, const QString& path);

// Reads a whole regular file of at most maxBytes without ever blocking on it;
// nullopt when it is missing or can't be opened. Throws AppError when it is
// not a regular file or is larger than maxBytes.
std::optional<QByteArray> readRegularFile(const QString& path, qint64 maxBytes);
