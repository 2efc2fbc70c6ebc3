#pragma once

#include <QByteArray>
#include <QString>

// Windows-1254, the Turkish single-byte code page of the data files and of
// settings written on Windows. Bytes without a character decode to U+FFFD;
// characters without a byte encode to '?'.
QString decodeCp1254(QByteArrayView bytes);
QByteArray encodeCp1254(QStringView text);

// Settings files may come from Windows (Windows-1254) or from a Linux editor
// (UTF-8): valid UTF-8 is read as UTF-8, anything else as Windows-1254. Lines
// that the program writes are UTF-8.
QString decodeSettingsText(QByteArrayView bytes);
// The same into a string used again, line after line, without a new buffer.
void decodeSettingsText(QByteArrayView bytes, QString& text);
QByteArray encodeSettingsText(QStringView text);
