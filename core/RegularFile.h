#pragma once

// The program's own files (Settings.ini, the databases, the data files, the
// journal) must be regular files or symbolic links to one. A FIFO would block
// a command forever holding the terminal, a device such as /dev/zero would
// never end; both are refused with a text that names the file.

#include "FileDescriptor.h"

#include <QByteArray>
#include <QString>

#include <optional>
#include <sys/types.h>

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

// The files the program makes for itself in the program directory (the
// directory's lock, the delivery journal, the backup files, the settings
// file's replacement, and any added later) are never reached through a
// symbolic link: in a directory shared with a group, a member could point
// one at a file of whoever runs the next command, and the program would
// write over it. open(2) with O_NOFOLLOW, O_NONBLOCK and O_CLOEXEC added.
// Throws AppError naming the file when it is a symbolic link (dangling or
// not) or not a regular file; otherwise not open, with errno set, when open
// fails.
FileDescriptor openOwnFile(const QString& path, int flags, mode_t mode = 0660);

// veri.txt, veri2.txt, Data.mdb and Log.mdb may be symbolic links to a
// regular file elsewhere (sites keep them on another disk), but only a link
// that belongs to the directory's owner or group, to a file that does too.
// Throws AppError naming the file for any other link, a dangling one too.
// Nothing happens when path is no link or missing.
void requireTrustedLink(const QString& path);

// Opens such a file (veri.txt, veri2.txt) for writing with flags, following
// a trusted link only; with O_CREAT a missing file is made, but never a
// dangling link's target. Refuses what is not a regular file as
// requireRegularFile does. Not open, with errno set, when open fails.
// *created says whether the file was made.
FileDescriptor openDataFile(const QString& path, int flags, bool* created = nullptr);
