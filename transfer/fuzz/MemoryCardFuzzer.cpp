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

// CR LF, LF and a lone CR each end a line.
QByteArray byLines(const QByteArray& file) {
    const QByteArray text = QByteArray(file).replace("\r\n", "\n").replace('\r', '\n');
    QList<QByteArray> lines = text.split('\n');
    if (text.isEmpty() || text.endsWith('\n')) lines.removeLast();
    QByteArray out;
    for (qsizetype i = 1; i < lines.size(); ++i)
        out += memoryCardConvertedLine(memoryCardIntermediateLine(lines[i])) + "\r\n";
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
