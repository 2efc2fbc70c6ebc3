#pragma once

#include <QString>

#include <optional>

// Where the program keeps Settings.ini, the databases and the data files.
struct ProgramDirectory {
    QString path;   // absolute, with a trailing separator
    QString notice; // what was made on this start, for the operator; empty when nothing
};

// What the choice depends on, gathered from the running process by
// thisProcess() and given by hand in tests.
struct StartingPoint {
    std::optional<QString> dirOption; // --dir
    QString envDir;                   // $V270_AKTARIM_DIR, empty when unset
    QString systemDir; // ProgramDir= in [Genel] of the system setting, empty when none
    // Why the system setting can't be used (unreadable, not absolute...);
    // it is read only when neither --dir nor the environment decides.
    QString systemProblem;
    QString executableDir;
    bool executableDirWritable = false;
    QString xdgDataHome; // $XDG_DATA_HOME, empty when unset
    QString homeDir;
};

StartingPoint thisProcess(std::optional<QString> dirOption);

// The site's setting, read by every program and unit of the package:
// /etc/v270-aktarim/v270-aktarim.conf, or the file $V270_AKTARIM_CONF names.
QString systemSettingsPath();
// ProgramDir= of its [Genel] section; empty when the file or key is missing.
// Throws AppError naming the file when it can't be read, is not a regular
// file or too big, and naming the line when ProgramDir= is not an absolute
// path: every process of the site must find the same directory, whatever
// its working directory.
QString systemProgramDir(const QString& settingsPath = systemSettingsPath());

// The operator's text when path can't name a program directory (empty, or
// with a control character, which no one types and a file system call
// would cut short); empty when it can.
QString directoryNameProblem(const QString& path);

// Throws AppError unless path is a directory: "Program dizini yok: …" when
// nothing is there, a text saying it is not a directory otherwise.
void requireProgramDirectory(const QString& path);

// --dir when given, else $V270_AKTARIM_DIR, else the site's system setting:
// one directory for a site's desktop program and its scheduled job, so new
// records never split between two veri.txt. Such a directory is used as it
// is; a system setting that can't be read is an error then. Otherwise the
// executable's own directory, so a copied
// Windows-style folder keeps working - unless the program can't write there
// or it is an installed copy (share/v270-aktarim beside its bin directory;
// root can write /usr/bin, but that is no place for data). Then it is the
// user's data directory, $XDG_DATA_HOME/v270-aktarim (~/.local/share/...),
// made on first start with empty databases from the schema files. Missing
// databases are created there, existing files never touched. Throws AppError
// when the directory or a database cannot be made.
ProgramDirectory chooseProgramDirectory(const StartingPoint& from);

// When dir is shared with its group (the setgid bit, as v270-init-program-dir
// --group leaves it), lets the group write every file this process makes
// from now on: the operators' desktop program and the scheduled job, each
// with its own user, must be able to write each other's files. A umask of
// 022, the usual one, would keep them from it. Elsewhere nothing changes.
void shareNewFilesWithGroup(const QString& dir);

// Creates Data.mdb and Log.mdb in dir where they are missing, from the schema
// files of the install (or of the source tree for a build). Returns the names
// of the files it made. Throws AppError when something cannot be made.
QStringList createMissingDatabases(const QString& dir, const QString& executableDir,
                                   const QString& schemaDir = {});
