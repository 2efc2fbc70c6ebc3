#pragma once

#include "core/DirectoryLock.h"
#include "core/FileDescriptor.h"

#include <QByteArray>
#include <QDate>
#include <QString>

#include <array>
#include <cstdint>
#include <optional>
#include <utility>

// The data files beside the program (veri.txt, veri2.txt, the monthly backup
// files). Commands write them holding the program directory's lock
// (core/DirectoryLock.h).

inline constexpr char kDataFileName[] = "veri.txt";
inline constexpr char kSecondFileName[] = "veri2.txt";
inline constexpr char kNewRecordBackupDir[] = "yedek_V270";
inline constexpr char kFullDownloadBackupDir[] = "yedek_K19";

// "032024.txt" for March 2024: the month of the date the command started on.
QString monthlyBackupFileName(const QDate& date);

// The operator's text for a failed file operation, naming the file, e.g.
// Giriş/çıkış hatası: "/x/veri.txt" dosyasına yazılamadı (aygıtta boş yer kalmadı).
enum class FileAction { Open, Write, Read, CreateDir, Replace };
QString fileErrorText(const QString& path, FileAction action, int errorNumber);

// Creates programDir + name if missing; throws AppError when it can't, or
// when it is a link requireTrustedLink refuses.
QString ensureDirectory(const QString& programDir, const char* name);

// Where a file is and how long it is, as fstat tells.
struct FileIdentity {
    unsigned long long device = 0, inode = 0;
    long long size = 0;
};

// A file opened for appending (created when missing) that takes whole lines.
// veri.txt and veri2.txt may be trusted links (core/RegularFile.h); any other
// file (the backup files) is never opened through a link.
// A file that does not end in a line end (a write cut short by a crash) is
// first cut back to its last whole line, so no line is ever appended to half
// a line. Lines are collected and written in large blocks; sync() puts
// everything on disk. A failed write never leaves part of a line behind: the
// file is cut back to the last whole line before the error is raised.
class AppendFile {
  public:
    explicit AppendFile(QString path); // throws AppError
    ~AppendFile();                     // writes what is left, best effort
    AppendFile(const AppendFile&) = delete;
    AppendFile& operator=(const AppendFile&) = delete;

    // bytes must be one or more whole lines ending in "\r\n".
    void appendLines(QByteArrayView bytes) {
        if (bytes.size() >= kBlock) { // a large batch goes out without a copy
            writeBuffer();
            writeBlock(bytes);
            return;
        }
        buffer_.append(bytes.data(), bytes.size());
        if (buffer_.size() >= kBlock) writeBuffer();
    }
    // Writes bytes (whole lines) now, after anything collected. *onDisk says
    // how many leading bytes are in the file, also when it throws.
    void writeLines(QByteArrayView bytes, qsizetype* onDisk);
    // Writes, fsyncs the file, and its directory entry once if it was created.
    void sync();
    FileIdentity identity() const; // throws AppError
    // sync() then close; further use is an error.
    void syncAndClose();

    const QString& path() const { return path_; }

  private:
    static constexpr qsizetype kBlock = 64 * 1024;
    void writeBuffer();
    // On failure *kept says how many leading bytes (whole lines) are on disk.
    void writeBlock(QByteArrayView bytes, qsizetype* kept = nullptr);

    QString path_;
    FileDescriptor fd_;
    bool created_ = false;
    QByteArray buffer_;
};

// Makes the content of target a byte-for-byte copy of source, in place: a
// symbolic link is followed when requireTrustedLink allows it, and the file keeps its inode, mode
// and owner (it is created when missing). Space is reserved first where the file system allows, so
// a full disk usually fails before the old content is touched. Throws AppError naming the failing
// file.
void copyContentInto(const QString& source, const QString& target);

// Cuts an open file that does not end in a line end back to its last whole
// line. False with errno set on failure.
bool cutPartialLine(int fd);

// fsync on a directory, so entries created or renamed in it survive a crash.
void syncDirectory(const QString& dir);

// The data files of a new-record transfer, in the order lines go to them.
enum DataFileKind { kVeriFile, kBackupFile, kVeri2File, kDataFileKinds };

// The files of a new-record batch, open for appending in the order a
// transfer opens them: veri.txt, with the second-file option veri2.txt, and
// the month's file under yedek_V270 (made when missing). Throws AppError.
struct NewRecordFiles {
    NewRecordFiles(const QString& programDir, bool secondFile, const QDate& startDate);
    // For BatchDelivery, in DataFileKind order; veri2.txt null without the option.
    std::array<AppendFile*, kDataFileKinds> targets() {
        return {&veri, &backup, veri2 ? &*veri2 : nullptr};
    }
    AppendFile veri;
    std::optional<AppendFile> veri2;
    AppendFile backup;
    int32_t backupMonth; // yyyymm of the monthly file
};
