#include "TextCodec.h"

#include <QStringDecoder>

#include <array>

namespace {

// 0x80..0x9F; 0xFFFD where the code page has no character.
constexpr std::array<char16_t, 32> kHigh80 = {
    0x20AC, 0xFFFD, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
    0x2039, 0x0152, 0xFFFD, 0xFFFD, 0xFFFD, 0xFFFD, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
    0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0xFFFD, 0xFFFD, 0x0178};

constexpr char16_t byteToChar(unsigned char b) {
    if (b < 0x80) return b;
    if (b < 0xA0) return kHigh80[b - 0x80];
    switch (b) {
    case 0xD0:
        return 0x011E; // Ğ
    case 0xDD:
        return 0x0130; // İ
    case 0xDE:
        return 0x015E; // Ş
    case 0xF0:
        return 0x011F; // ğ
    case 0xFD:
        return 0x0131; // ı
    case 0xFE:
        return 0x015F; // ş
    default:
        return b; // the rest of 0xA0..0xFF is Latin-1
    }
}

constexpr std::array<char16_t, 256> makeTable() {
    std::array<char16_t, 256> t{};
    for (int b = 0; b < 256; ++b)
        t[b] = byteToChar(static_cast<unsigned char>(b));
    return t;
}
constexpr auto kTable = makeTable();

char charToByte(char16_t c) {
    if (c < 0x80) return static_cast<char>(c);
    for (int b = 0x80; b < 256; ++b) {
        if (kTable[b] == c && c != 0xFFFD) return static_cast<char>(b);
    }
    return '?';
}

// One character a byte, into room for bytes.size() characters.
void decodeCp1254Into(QByteArrayView bytes, QChar* out) {
    for (const char b : bytes)
        *out++ = QChar(kTable[static_cast<unsigned char>(b)]);
}

} // namespace

QString decodeCp1254(QByteArrayView bytes) {
    QString out(bytes.size(), Qt::Uninitialized);
    decodeCp1254Into(bytes, out.data());
    return out;
}

QByteArray encodeCp1254(QStringView text) {
    QByteArray out(text.size(), Qt::Uninitialized);
    for (qsizetype i = 0; i < text.size(); ++i)
        out[i] = charToByte(text[i].unicode());
    return out;
}

QString decodeSettingsText(QByteArrayView bytes) {
    QString text;
    decodeSettingsText(bytes, text);
    return text;
}

void decodeSettingsText(QByteArrayView bytes, QString& text) {
    // UTF-8 never gives more UTF-16 units than it has bytes, nor does the
    // code page.
    text.resize(bytes.size());
    QStringDecoder utf8(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
    const QChar* end = utf8.appendToBuffer(text.data(), bytes);
    if (!utf8.hasError()) {
        text.truncate(end - text.constData());
        return;
    }
    decodeCp1254Into(bytes, text.data());
}

QByteArray encodeSettingsText(QStringView text) {
    return text.toUtf8();
}
