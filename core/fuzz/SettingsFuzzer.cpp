// Settings.ini bytes from anywhere: reading never fails, and a value just
// written reads back, with every other line kept; a value written in quotes
// reads back without them.

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

    // The input's printable characters as a password, written in double
    // quotes: one pair of quotes goes, blanks and quotes inside stay.
    QString password;
    for (const char c : file) {
        if (c >= ' ' && c <= '~' && password.size() < kProfileValueMax - 2)
            password.append(QLatin1Char(c));
    }
    const QByteArray quoted = withProfileString(file, QStringLiteral("MySql"),
                                                QStringLiteral("Password"), u'"' + password + u'"');
    if (profileStringFrom(quoted, QStringLiteral("MySql"), QStringLiteral("Password"), QString()) !=
        password) {
        std::abort();
    }
    return 0;
}
