#pragma once

#include <QList>
#include <QString>

// Settings.ini under the classic profile rules: section and key names match
// without regard to letter case, blanks around values are ignored, a value in
// matching double or single quotes reads without them, a value is at most
// 2047 characters, and anything missing reads as the default. A write changes
// or adds only its own line and keeps every other line byte for byte.

inline constexpr int kProfileValueMax = 2047;

QString readProfileString(const QString& iniPath, const QString& section, const QString& key,
                          const QString& defaultValue);

// Throws AppError("Unable to write to <path>") when the file can't be written,
// or exists but can't be read (its other lines would be lost).
void writeProfileString(const QString& iniPath, const QString& section, const QString& key,
                        const QString& value);

// Several keys in one write, in order, so that a reader never sees some of
// them changed and others not. The same rules and errors as above.
struct ProfileEntry {
    QString section;
    QString key;
    QString value;
};
void writeProfileStrings(const QString& iniPath, const QList<ProfileEntry>& entries);

// The same rules on a file's bytes, without the file.
QString profileStringFrom(const QByteArray& fileBytes, const QString& section, const QString& key,
                          const QString& defaultValue);
QByteArray withProfileString(const QByteArray& fileBytes, const QString& section,
                             const QString& key, const QString& value);
