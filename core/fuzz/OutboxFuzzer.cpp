// Outbox and cursor bytes from anywhere (a damaged disk, a file put in their
// place): reading never fails, counts what it reads, and never takes more
// than the file holds; a cursor read from them leads nowhere harmful.

#include "core/CentralOutbox.h"

#include <QFile>
#include <QTemporaryDir>

#include <cstdint>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static QTemporaryDir dir;
    const QString programDir = dir.path() + u'/';
    const QByteArray bytes(reinterpret_cast<const char*>(data), static_cast<qsizetype>(size));
    for (const char* name : {".merkez.outbox", ".merkez.cursor"}) {
        QFile f(programDir + QString::fromLatin1(name));
        if (!f.open(QIODevice::WriteOnly | QIODevice::Truncate) || f.write(bytes) != bytes.size())
            std::abort();
    }
    OutboxReader reader(programDir);
    // Wherever a cursor points, reading from it ends.
    OutboxCursor at = readOutboxCursor(programDir);
    (void)reader.countFrom(at, nullptr);
    (void)reader.read(at, 1000);
    OutboxCursor from = reader.start();
    const std::vector<OutboxRecord> all = reader.read(from, SIZE_MAX);
    if (reader.countFrom(reader.start(), nullptr) != static_cast<long long>(all.size()))
        std::abort();
    // Each record costs its line and the line's length byte in the file.
    qsizetype held = 0;
    for (const OutboxRecord& r : all)
        held += r.line.size() + 1;
    if (held > bytes.size()) std::abort();
    return 0;
}
