// Settings.ini bytes from anywhere: reading never fails, and a value just
// written reads back, with every other line kept.

#include "core/IniFile.h"

#include <cstdint>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const QByteArray file(reinterpret_cast<const char*>(data), static_cast<qsizetype>(size));
    (void)profileStringFrom(file, QStringLiteral("Login"), QStringLiteral("Server"), QString());

    const QByteArray written = withProfileString(file, QStringLiteral("Options"),
                                                 QStringLiteral("veriDosya2"), QStringLiteral("1"));
    if (profileStringFrom(written, QStringLiteral("options"), QStringLiteral("VERIDOSYA2"),
                          QString()) != QStringLiteral("1")) {
        std::abort();
    }
    // Writing the same value again changes nothing.
    if (withProfileString(written, QStringLiteral("Options"), QStringLiteral("veriDosya2"),
                          QStringLiteral("1")) != written) {
        std::abort();
    }
    return 0;
}
