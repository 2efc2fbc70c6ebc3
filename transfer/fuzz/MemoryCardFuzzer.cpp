// Memory-card files are bytes from outside. The streaming converter must not
// crash on any of them, and must give what converting the lines one by one
// gives, however the file is cut into reads, with CR LF, LF and a lone CR
// alike as line ends.

#include "transfer/MemoryCard.h"

#include <QByteArray>
#include <QList>

#include <cstdint>
#include <cstdlib>

namespace {

// CR LF, LF and a lone CR each end a line; the first line is the header.
QByteArray byLines(const QByteArray& file) {
    QByteArray out;
    const qsizetype n = file.size();
    for (qsizetype start = 0, lineNo = 0; start < n; ++lineNo) {
        qsizetype end = start;
        while (end < n && file[end] != '\n' && file[end] != '\r')
            ++end;
        if (lineNo > 0) {
            out += memoryCardConvertedLine(
                memoryCardIntermediateLine(file.sliced(start, end - start)));
            out += "\r\n";
        }
        if (end + 1 < n && file[end] == '\r' && file[end + 1] == '\n') ++end;
        start = end + 1;
    }
    return out;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    // The first byte picks the read size; the rest is the file.
    const qsizetype piece = 1 + data[0] % 17;
    const QByteArray file(reinterpret_cast<const char*>(data + 1),
                          static_cast<qsizetype>(size - 1));
    MemoryCardConverter converter;
    for (qsizetype at = 0; at < file.size(); at += piece)
        converter.feed(file.constData() + at, std::min(piece, file.size() - at));
    converter.finish();
    if (converter.output() != byLines(file)) std::abort();
    // A CR reaches the output only as part of a line's CR LF.
    if (converter.output().count('\r') != converter.output().count("\r\n")) std::abort();
    return 0;
}
