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

// The file is single-byte text; lines are read as raw bytes so that a write
// gives back every untouched line exactly as it was.
struct Line {
    qsizetype start = 0; // where the line's bytes begin
    qsizetype end = 0;   // where they end, before the line break
    qsizetype next = 0;  // where the next line begins, after the break
};

// Reads a file line by line, and decodes each line on its own: a file may mix
// UTF-8 and Turkish single-byte lines. The text of the current line lives in a
// buffer used again for every line.
class LineReader {
  public:
    explicit LineReader(QByteArrayView data) : data_(data) {}

    bool next() {
        if (line_.next >= data_.size()) return false;
        line_.start = line_.next;
        const qsizetype nl = data_.indexOf('\n', line_.start);
        if (nl < 0) {
            line_.end = line_.next = data_.size();
        } else {
            line_.end = (nl > line_.start && data_[nl - 1] == '\r') ? nl - 1 : nl;
            line_.next = nl + 1;
        }
        decodeSettingsText(data_.sliced(line_.start, line_.end - line_.start), text_);
        return true;
    }
    const Line& line() const { return line_; }
    QStringView text() const { return text_; }
    // The break after the current line: "\r\n", "\n", or "" at the end.
    QByteArrayView ending() const { return data_.sliced(line_.end, line_.next - line_.end); }

  private:
    QByteArrayView data_;
    Line line_;
    QString text_;
};

// "[name]" -> name, for a section line; nothing otherwise.
std::optional<QStringView> sectionName(QStringView text) {
    const QStringView t = text.trimmed();
    if (!t.startsWith(u'[')) return std::nullopt;
    const qsizetype close = t.indexOf(u']');
    if (close < 0) return std::nullopt;
    return t.mid(1, close - 1).trimmed();
}

struct KeyValue {
    QStringView key;
    QStringView value;
};

std::optional<KeyValue> keyValue(QStringView text) {
    const QStringView t = text.trimmed();
    if (t.isEmpty() || t.startsWith(u';')) return std::nullopt;
    const qsizetype eq = t.indexOf(u'=');
    if (eq <= 0) return std::nullopt;
    return KeyValue{t.left(eq).trimmed(), t.mid(eq + 1).trimmed()};
}

// A value in matching double or single quotes reads without them, and keeps
// the blanks inside them, as the Windows profile functions do.
QStringView unquoted(QStringView value) {
    if (value.size() >= 2 && (value.front() == u'"' || value.front() == u'\'') &&
        value.back() == value.front()) {
        return value.mid(1, value.size() - 2);
    }
    return value;
}

bool sameName(QStringView a, QStringView b) {
    return a.compare(b, Qt::CaseInsensitive) == 0;
}

AppError unableToWrite(const QString& iniPath) {
    return AppError(QStringLiteral("Unable to write to %1").arg(iniPath));
}

// Settings files are a few hundred bytes; anything near this is not one.
constexpr qint64 kMaxSettingsFileBytes = 1 << 20;

bool writeAll(int fd, const QByteArray& data) {
    return writeFully(fd, data.constData(), size_t(data.size())) == size_t(data.size());
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
        openOwnFile(QFile::decodeName(temp), O_WRONLY | O_CREAT | O_EXCL, 0660);
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
    LineReader reader(fileBytes);
    bool inSection = false;
    while (reader.next()) {
        if (auto name = sectionName(reader.text())) {
            inSection = sameName(*name, section);
            continue;
        }
        if (!inSection) continue;
        if (auto kv = keyValue(reader.text()); kv && sameName(kv->key, key)) {
            return unquoted(kv->value).left(kProfileValueMax).toString();
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
    // A link the directory's owner or group made is written through (in
    // place, when not ours); any other would have us write another's file.
    requireTrustedLink(iniPath);
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
    const QByteArray newLine = encodeSettingsText(key + u'=' + value);

    // Find the section, its last key line, and the key itself.
    std::optional<Line> sectionAt, lastEntryAt, keyAt;
    QByteArrayView eol = "\r\n"; // the first line's break, for the lines added
    LineReader reader(fileBytes);
    bool inSection = false;
    for (bool first = true; reader.next(); first = false) {
        if (first && reader.ending() == "\n") eol = "\n";
        if (auto name = sectionName(reader.text())) {
            if (inSection) break; // only the first section of that name counts
            inSection = sameName(*name, section);
            if (inSection) sectionAt = reader.line();
            continue;
        }
        if (!inSection) continue;
        if (auto kv = keyValue(reader.text())) {
            lastEntryAt = reader.line();
            if (sameName(kv->key, key)) {
                keyAt = reader.line();
                break;
            }
        }
    }

    const QByteArrayView file(fileBytes);
    QByteArray out;
    out.reserve(fileBytes.size() + newLine.size() + section.size() * 4 + 8);
    if (keyAt) { // the key's line, replaced
        out += file.first(keyAt->start);
        out += newLine;
        out += file.sliced(keyAt->end);
    } else if (sectionAt) { // a new line after the section's last key
        const Line at = lastEntryAt ? *lastEntryAt : *sectionAt;
        out += file.first(at.next);
        if (at.next == at.end) out += eol; // the file's last line had no break
        out += newLine;
        out += eol;
        out += file.sliced(at.next);
    } else { // a new section at the end
        out += file;
        if (!file.isEmpty() && !file.endsWith('\n')) out += eol;
        out += encodeSettingsText(u'[' + section + u']');
        out += eol;
        out += newLine;
        out += eol;
    }
    return out;
}
