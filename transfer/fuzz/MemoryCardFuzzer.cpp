// Memory-card files are bytes from outside. The streaming converter must not
// crash on any of them, and must give what converting the lines one by one
// gives, however the file is cut into reads.

#include "transfer/MemoryCard.h"

#include <QByteArray>
#include <QList>
#include <cstdint>
#include <cstdlib>

namespace {

QByteArray byLines(const QByteArray& file) {
    QList<QByteArray> lines = file.split('\n');
    if (file.isEmpty() || file.endsWith('\n')) lines.removeLast();
    QByteArray out;
    for (qsizetype i = 1; i < lines.size(); ++i) {
        QByteArray line = lines[i];
        if (line.endsWith('\r')) line.chop(1);
        out += memoryCardConvertedLine(memoryCardIntermediateLine(line)) + "\r\n";
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
    return 0;
}
