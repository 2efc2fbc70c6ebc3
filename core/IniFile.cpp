#include "IniFile.h"

#include "AppError.h"
#include "FileDescriptor.h"
#include "RegularFile.h"
#include "TextCodec.h"

#include <QFile>
#include <QFileInfo>
#include <QRandomGenerator>

#include <cerrno>
#include <fcntl.h>
#include <optional>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// The file is single-byte text; lines are kept as raw bytes so that a write
// gives back every untouched line exactly as it was.
struct Line {
    QByteArray bytes;  // without the line break
    QByteArray ending; // "\r\n", "\n" or "" for a last line without one
};

std::vector<Line> splitLines(const QByteArray& data) {
    std::vector<Line> lines;
    qsizetype start = 0;
    while (start < data.size()) {
        qsizetype nl = data.indexOf('\n', start);
        if (nl < 0) {
            lines.push_back({data.mid(start), {}});
            break;
        }
        qsizetype end = nl;
        if (end > start && data[end - 1] == '\r') --end;
        lines.push_back({data.mid(start, end - start), data.mid(end, nl + 1 - end)});
        start = nl + 1;
    }
    return lines;
}

QString lineText(const Line& line) {
    return decodeSettingsText(line.bytes);
}

// "[name]" -> name, for a section line; nothing otherwise.
std::optional<QString> sectionName(const QString& text) {
    const QString t = text.trimmed();
    if (!t.startsWith(u'[')) return std::nullopt;
    const qsizetype close = t.indexOf(u']');
    if (close < 0) return std::nullopt;
    return t.mid(1, close - 1).trimmed();
}

struct KeyValue {
    QString key;
    QString value;
};

std::optional<KeyValue> keyValue(const QString& text) {
    const QString t = text.trimmed();
    if (t.isEmpty() || t.startsWith(u';')) return std::nullopt;
    const qsizetype eq = t.indexOf(u'=');
    if (eq <= 0) return std::nullopt;
    return KeyValue{t.left(eq).trimmed(), t.mid(eq + 1).trimmed()};
}

// A value in matching double or single quotes reads without them, and keeps
// the blanks inside them, as the Windows profile functions do.
QString unquoted(const QString& value) {
    if (value.size() >= 2 && (value.front() == u'"' || value.front() == u'\'') &&
        value.back() == value.front()) {
        return value.mid(1, value.size() - 2);
    }
    return value;
}

bool sameName(const QString& a, const QString& b) {
    return a.compare(b, Qt::CaseInsensitive) == 0;
}

AppError unableToWrite(const QString& iniPath) {
    return AppError(QStringLiteral("Unable to write to %1").arg(iniPath));
}

// Settings files are a few hundred bytes; anything near this is not one.
constexpr qint64 kMaxSettingsFileBytes = 1 << 20;

bool writeAll(int fd, const QByteArray& data) {
    qsizetype done = 0;
    while (done < data.size()) {
        const ssize_t n = ::write(fd, data.constData() + done, size_t(data.size() - done));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        done += n;
    }
    return true;
}

// Rewrites a file that belongs to someone else in place: replacing it would
// make it ours, and the scheduled job that owns it could no longer write it.
bool rewriteInPlace(const QString& path, const QByteArray& data) {
    const FileDescriptor f = openRetrying(path, O_WRONLY | O_NONBLOCK);
    return f.isOpen() && writeAll(f.get(), data) && ::ftruncate(f.get(), data.size()) == 0 &&
           ::fsync(f.get()) == 0;
}

// Writes a new file beside path and renames it over path, so a crash leaves
// the old file or the new one. The new file gets the old one's mode and
// group; a file made here is 0660 less the umask, never readable by others
// (it holds the database password). False when the folder takes no new file.
bool replaceAtomically(const QString& iniPath, const QByteArray& data,
                       const std::optional<struct stat>& old) {
    const QByteArray path = QFile::encodeName(iniPath);
    const QByteArray temp =
        path + ".yeni-" + QByteArray::number(QRandomGenerator::system()->generate64(), 16);
    const FileDescriptor f =
        openRetrying(QFile::decodeName(temp), O_WRONLY | O_CREAT | O_EXCL, 0660);
    if (!f.isOpen()) return false;
    bool ok = true;
    if (old) {
        ok = ::fchmod(f.get(), old->st_mode & 07777) == 0;
        // Keeping the group works for a member of it; the owner is ours anyway.
        if (ok && ::fchown(f.get(), static_cast<uid_t>(-1), old->st_gid) != 0) ok = errno == EPERM;
    }
    ok = ok && writeAll(f.get(), data) && ::fsync(f.get()) == 0 &&
         ::rename(temp.constData(), path.constData()) == 0;
    if (!ok) ::unlink(temp.constData());
    return ok;
}

} // namespace

QString readProfileString(const QString& iniPath, const QString& section, const QString& key,
                          const QString& defaultValue) {
    const std::optional<QByteArray> data = readRegularFile(iniPath, kMaxSettingsFileBytes);
    if (!data) return defaultValue;
    return profileStringFrom(*data, section, key, defaultValue);
}

QString profileStringFrom(const QByteArray& fileBytes, const QString& section, const QString& key,
                          const QString& defaultValue) {
    const std::vector<Line> lines = splitLines(fileBytes);
    bool inSection = false;
    for (const Line& line : lines) {
        const QString text = lineText(line);
        if (auto name = sectionName(text)) {
            inSection = sameName(*name, section);
            continue;
        }
        if (!inSection) continue;
        if (auto kv = keyValue(text); kv && sameName(kv->key, key)) {
            return unquoted(kv->value).left(kProfileValueMax);
        }
    }
    return defaultValue;
}

void writeProfileString(const QString& iniPath, const QString& section, const QString& key,
                        const QString& value) {
    writeProfileStrings(iniPath, {{section, key, value}});
}

void writeProfileStrings(const QString& iniPath, const QList<ProfileEntry>& entries) {
    // A file that is there but can't be read is refused: writing the one key
    // into an empty file would lose every other line.
    const QByteArray path = QFile::encodeName(iniPath);
    std::optional<struct stat> old;
    if (struct stat st{}; ::stat(path.constData(), &st) == 0) old = st;
    std::optional<QByteArray> data;
    if (old) {
        data = readRegularFile(iniPath, kMaxSettingsFileBytes);
        if (!data) throw unableToWrite(iniPath);
    }
    QByteArray out = data.value_or(QByteArray());
    for (const ProfileEntry& e : entries)
        out = withProfileString(out, e.section, e.key, e.value);
    const bool ours = !old || old->st_uid == ::geteuid();
    if (ours && replaceAtomically(iniPath, out, old)) return;
    // Not ours, or a writable file in a folder that takes no new file.
    if (!old || !rewriteInPlace(iniPath, out)) throw unableToWrite(iniPath);
}

QByteArray withProfileString(const QByteArray& fileBytes, const QString& section,
                             const QString& key, const QString& value) {
    std::vector<Line> lines = splitLines(fileBytes);
    const QByteArray eol = (!lines.empty() && lines.front().ending == "\n") ? "\n" : "\r\n";
    const QByteArray newLine = encodeSettingsText(key + u'=' + value);

    // Find the section, its last key line, and the key itself.
    std::optional<size_t> sectionAt, lastEntryAt, keyAt;
    bool inSection = false;
    for (size_t i = 0; i < lines.size(); ++i) {
        const QString text = lineText(lines[i]);
        if (auto name = sectionName(text)) {
            if (inSection) break; // only the first section of that name counts
            inSection = sameName(*name, section);
            if (inSection) sectionAt = i;
            continue;
        }
        if (!inSection) continue;
        if (auto kv = keyValue(text)) {
            lastEntryAt = i;
            if (sameName(kv->key, key)) {
                keyAt = i;
                break;
            }
        }
    }

    if (keyAt) {
        lines[*keyAt].bytes = newLine;
    } else if (sectionAt) {
        const size_t at = (lastEntryAt ? *lastEntryAt : *sectionAt);
        if (lines[at].ending.isEmpty()) lines[at].ending = eol;
        lines.insert(lines.begin() + static_cast<std::ptrdiff_t>(at) + 1, Line{newLine, eol});
    } else {
        if (!lines.empty() && lines.back().ending.isEmpty()) lines.back().ending = eol;
        lines.push_back({encodeSettingsText(u'[' + section + u']'), eol});
        lines.push_back({newLine, eol});
    }

    QByteArray out;
    for (const Line& line : lines)
        out += line.bytes + line.ending;
    return out;
}
