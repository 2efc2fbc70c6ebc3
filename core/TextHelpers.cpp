#include "TextHelpers.h"

QString ZeroPad(const QString& text, int width) {
    if (text.size() >= width) return text;
    return QString(width - text.size(), u'0') + text;
}

QString FitWidth(const QString& text, const QString& fill, int width, bool atEnd) {
    if (text.size() == width) return text;
    if (text.size() > width) return text.left(qMax(width, 0));
    const QString filler = fill.repeated(width - text.size());
    return atEnd ? text + filler : filler + text;
}

QString FoldTurkish(const QString& text) {
    static const QString from = QStringLiteral("çğıöşüÇĞİÖŞÜ");
    static const QString to = QStringLiteral("cgiosuCGIOSU");
    QString out = text;
    for (QChar& c : out) {
        const qsizetype at = from.indexOf(c);
        if (at >= 0) c = to[at];
    }
    return out;
}

QString withoutMnemonic(const QString& caption) {
    QString out;
    out.reserve(caption.size());
    for (qsizetype i = 0; i < caption.size(); ++i) {
        if (caption[i] == u'&') {
            if (++i == caption.size()) break;
        }
        out += caption[i];
    }
    return out;
}
