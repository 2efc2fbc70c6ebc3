#pragma once

#include <QByteArray>
#include <QString>

#include <cstdint>

class Operator;

// The tab-separated attendance file a terminal writes to its memory card,
// converted into veri.txt lines:
//   line "1\t1\t123\t0\t0\t0\t2011/06/08 12:34:56"
//   -> intermediate "00001,00001,00123,00000,00000,00000,2011/06/0812:34:56"
//   -> converted    "00123 08/06/2011 12:34:56 01"
// The file is single-byte text and is handled as bytes throughout: nothing is
// decoded, so every byte reaches veri.txt as it stood in the file.
//
// Lines end at CR LF, LF or a lone CR alike, so no CR ever reaches veri.txt.
// A last line without a line end counts; a file ending in one has no empty
// line after it. Any other byte, NUL included, is ordinary text.

// Blanks dropped; each field a TAB ends becomes its last five characters,
// left-filled with "0", and ","; the text after the last TAB is kept whole.
QByteArray memoryCardIntermediateLine(QByteArrayView line);

// The pieces at fixed positions of an intermediate line; a piece is as many
// characters as the line still has there. Without CR LF.
QByteArray memoryCardConvertedLine(QByteArrayView intermediate);

// Converts a file fed in pieces of any size, in memory that does not grow with
// the length of a line: only the first characters of an intermediate line are
// ever used, so that is all that is kept of it.
class MemoryCardConverter {
  public:
    void feed(const char* data, qsizetype size);
    // End of the file: the last line, if it had no line end.
    void finish();

    long long lines() const { return lines_; }
    // The converted lines of every line but the first, each with CR LF.
    const QByteArray& output() const { return output_; }

  private:
    static constexpr int kUsed = 54; // intermediate positions the converted line reads
    void byte(char c);
    void endLine();

    long long lines_ = 0;
    bool lineOpen_ = false; // bytes seen since the last line end
    bool afterCr_ = false;  // the last byte was a CR, whose LF belongs to it
    char intermediate_[kUsed] = {};
    int intermediateLength_ = 0;
    char head_[kUsed] = {}; // first characters of the current field
    int headLength_ = 0;
    char tail_[5] = {}; // last five characters, as a ring
    long long fieldLength_ = 0;
    QByteArray output_;
};

// The "sdkart->text (veri.txt)" command after the file was chosen: reads the
// whole file, converts it, appends the lines to veri.txt in programDir and
// syncs it. Nothing is written when the file can't be read. Refused, without
// any change, while another command writes the data files. File errors throw
// AppError. Returns false when refused.
bool convertMemoryCardFile(const QString& fileName, const QString& programDir, Operator& op);

// Converted output beyond this refuses the file (a card file is a few
// megabytes; this only stops a wrong file from exhausting memory).
inline constexpr qsizetype kMaxMemoryCardOutput = qsizetype(512) << 20;
