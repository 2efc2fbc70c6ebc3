#include "TemplateText.h"

namespace {

int hexDigit(QChar c) {
    const char16_t u = c.unicode();
    if (u >= '0' && u <= '9') return u - '0';
    if (u >= 'A' && u <= 'F') return u - 'A' + 10;
    if (u >= 'a' && u <= 'f') return u - 'a' + 10;
    return -1;
}

} // namespace

QString TemplateToText(const EnrollTemplate& data) {
    static const char digits[] = "0123456789ABCDEF";
    QString text(static_cast<qsizetype>(data.size() * 9 - 1), Qt::Uninitialized);
    QChar* out = text.data();
    for (size_t i = 0; i < data.size(); ++i) {
        if (i) *out++ = QLatin1Char(' ');
        const auto v = static_cast<uint32_t>(data[i]);
        for (int shift = 28; shift >= 0; shift -= 4)
            *out++ = QLatin1Char(digits[(v >> shift) & 0xf]);
    }
    return text;
}

void TextToTemplate(QStringView text, EnrollTemplate& data) {
    std::fill(data.begin(), data.begin() + 355, 0);
    const QChar* p = text.begin();
    const QChar* const end = text.end();
    for (size_t next = 0; next < data.size() && end - p >= 8; ++next) {
        uint32_t value = 0;
        for (int i = 0; i < 8; ++i) {
            const int d = hexDigit(p[i]);
            if (d < 0) return;
            value = value << 4 | static_cast<uint32_t>(d);
        }
        data[next] = static_cast<int32_t>(value);
        p += std::min<std::ptrdiff_t>(9, end - p);
    }
}

bool parseTemplateText(QStringView text, EnrollTemplate& data) {
    constexpr qsizetype kGroup = 8, kStep = kGroup + 1;
    const qsizetype groups = (text.size() + 1) / kStep;
    if ((text.size() + 1) % kStep != 0 || groups < 355 || groups > qsizetype(data.size()))
        return false;
    data.back() = 0;
    for (qsizetype g = 0; g < groups; ++g) {
        const qsizetype at = g * kStep;
        if (g > 0 && text[at - 1] != u' ') return false;
        uint32_t value = 0;
        for (qsizetype i = 0; i < kGroup; ++i) {
            const int d = hexDigit(text[at + i]);
            if (d < 0) return false;
            value = value << 4 | static_cast<uint32_t>(d);
        }
        data[size_t(g)] = static_cast<int32_t>(value);
    }
    return true;
}
