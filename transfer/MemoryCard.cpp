#include "MemoryCard.h"

#include "DataFiles.h"
#include "DeliveryJournal.h"
#include "core/AppError.h"
#include "core/FileDescriptor.h"
#include "core/Operator.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// Copy(text, position, count) with positions from 1: what is there, maybe nothing.
void appendPiece(QByteArray& out, QByteArrayView text, qsizetype position, qsizetype count) {
    const qsizetype from = position - 1;
    if (from >= text.size()) return;
    out.append(text.sliced(from, std::min(count, text.size() - from)));
}

void appendConverted(QByteArray& out, QByteArrayView s) {
    appendPiece(out, s, 13, 5); // enroll number
    out.append(' ');
    appendPiece(out, s, 45, 2); // day
    out.append('/');
    appendPiece(out, s, 42, 2); // month
    out.append('/');
    appendPiece(out, s, 37, 4); // year
    out.append(' ');
    appendPiece(out, s, 47, 2); // hour
    out.append(':');
    appendPiece(out, s, 50, 2); // minute
    out.append(':');
    appendPiece(out, s, 53, 2); // second
    out.append(' ');
    appendPiece(out, s, 10, 2); // terminal number: the last two of field 2
}

} // namespace

QByteArray memoryCardIntermediateLine(QByteArrayView line) {
    QByteArray out;
    QByteArray field;
    for (const char c : line) {
        if (c == ' ') continue;
        if (c != '\t') {
            field.append(c);
            continue;
        }
        const QByteArray last5 = field.right(5);
        out.append(QByteArray(5 - last5.size(), '0')).append(last5).append(',');
        field.clear();
    }
    return out.append(field);
}

QByteArray memoryCardConvertedLine(QByteArrayView intermediate) {
    QByteArray out;
    appendConverted(out, intermediate);
    return out;
}

// ---- MemoryCardConverter

inline void MemoryCardConverter::byte(char c) {
    if (lines_ == 0) return; // the header line is skipped
    if (c == ' ') return;
    if (c == '\t') {
        // The field's last five characters, left-filled with "0", and ",".
        char piece[6];
        const int have = fieldLength_ < 5 ? static_cast<int>(fieldLength_) : 5;
        int at = 0;
        for (; at < 5 - have; ++at)
            piece[at] = '0';
        for (long long k = fieldLength_ - have; k < fieldLength_; ++k)
            piece[at++] = tail_[k % 5];
        piece[5] = ',';
        for (int k = 0; k < 6 && intermediateLength_ < kUsed; ++k)
            intermediate_[intermediateLength_++] = piece[k];
        headLength_ = 0;
        fieldLength_ = 0;
        return;
    }
    if (headLength_ < kUsed) head_[headLength_++] = c;
    tail_[fieldLength_ % 5] = c;
    ++fieldLength_;
}

void MemoryCardConverter::feed(const char* data, qsizetype size) {
    for (qsizetype i = 0; i < size; ++i) {
        const char c = data[i];
        const bool lfAfterCr = afterCr_ && c == '\n';
        afterCr_ = c == '\r';
        if (lfAfterCr) continue; // the LF of a CR LF: that line has ended
        if (c == '\n' || c == '\r') {
            endLine();
        } else {
            lineOpen_ = true;
            byte(c);
        }
    }
}

void MemoryCardConverter::finish() {
    if (lineOpen_) endLine();
}

void MemoryCardConverter::endLine() {
    if (lines_ > 0) {
        for (int k = 0; k < headLength_ && intermediateLength_ < kUsed; ++k)
            intermediate_[intermediateLength_++] = head_[k];
        appendConverted(output_, QByteArrayView(intermediate_, intermediateLength_));
        output_.append("\r\n", 2);
    }
    ++lines_;
    lineOpen_ = false;
    intermediateLength_ = 0;
    headLength_ = 0;
    fieldLength_ = 0;
}

// ---- the command

bool convertMemoryCardFile(const QString& fileName, const QString& programDir, Operator& op) {
    const std::optional<DirectoryLock> lock =
        lockProgramDirectory(programDir, QStringLiteral("Hafıza kartı aktarımı"), op);
    if (!lock) return false;
    // Before a line is appended: lines a killed transfer left in veri.txt
    // must count as that transfer's, not as the card's.
    settleDeliveries(*lock);
    BusyCursor busy(op);
    op.setProgressRange(0, 0);
    op.setProgress(0);

    // The whole file is read and converted before veri.txt is touched, so a
    // file that can't be read adds nothing.
    MemoryCardConverter converter;
    {
        const FileDescriptor in = openRetrying(fileName, O_RDONLY);
        if (!in.isOpen()) throw AppError(fileErrorText(fileName, FileAction::Open, errno));
        // A pipe or a device may never end; only a plain file is read.
        struct stat st {};
        if (::fstat(in.get(), &st) != 0)
            throw AppError(fileErrorText(fileName, FileAction::Read, errno));
        if (S_ISDIR(st.st_mode)) throw AppError(fileErrorText(fileName, FileAction::Read, EISDIR));
        if (!S_ISREG(st.st_mode))
            throw AppError(QStringLiteral("Giriş/çıkış hatası: \"%1\" dosyası okunamadı "
                                          "(sıradan bir dosya değil).")
                               .arg(fileName));
        QByteArray block(1 << 20, Qt::Uninitialized);
        for (;;) {
            const ssize_t n = ::read(in.get(), block.data(), static_cast<size_t>(block.size()));
            if (n < 0) {
                if (errno == EINTR) continue;
                throw AppError(fileErrorText(fileName, FileAction::Read, errno));
            }
            if (n == 0) break;
            converter.feed(block.constData(), n);
            if (converter.output().size() > kMaxMemoryCardOutput)
                throw AppError(QStringLiteral("\"%1\" dosyası bir hafıza kartı kayıt dosyası "
                                              "olamayacak kadar büyük; hiçbir satır aktarılmadı.")
                                   .arg(fileName));
            op.setProgress(static_cast<int>(std::min<long long>(converter.lines(), INT_MAX)));
        }
        converter.finish();
    }
    const long long lines = converter.lines();
    op.setProgressRange(0, static_cast<int>(std::min<long long>(lines, INT_MAX)));
    op.setProgress(static_cast<int>(std::min<long long>(std::max(lines - 1, 0LL), INT_MAX)));

    AppendFile veri(programDir + QString::fromLatin1(kDataFileName));
    veri.appendLines(converter.output());
    veri.syncAndClose();

    op.showMessage(QStringLiteral("Aktarım işlemi tamamlandı.."), applicationTitle(),
                   Operator::Icon::None);
    op.setProgress(0);
    op.setProgressRange(0, 0);
    return true;
}
