#include "TerminalCheck.h"

#include "core/AppError.h"
#include "session/TerminalSession.h"

#include <QHostAddress>
#include <QStringList>
#include <QVariant>

#include <algorithm>

namespace {

// Calls visit with each code point; a lone surrogate comes as itself, which
// nothing takes as printable.
template <typename Visit> void forEachCodePoint(const QString& text, Visit visit) {
    for (qsizetype i = 0; i < text.size();) {
        const QChar c = text.at(i);
        if (c.isHighSurrogate() && i + 1 < text.size() && text.at(i + 1).isLowSurrogate()) {
            visit(QChar::surrogateToUcs4(c, text.at(i + 1)));
            i += 2;
        } else {
            visit(char32_t(c.unicode()));
            ++i;
        }
    }
}

// Qt counts line and paragraph separators as printable; they break a line
// all the same.
bool printable(char32_t c) {
    const QChar::Category category = QChar::category(c);
    return QChar::isPrint(c) && category != QChar::Separator_Line &&
           category != QChar::Separator_Paragraph;
}

bool digitsOnly(const QString& text) {
    return !text.isEmpty() &&
           std::all_of(text.begin(), text.end(), [](QChar c) { return c >= u'0' && c <= u'9'; });
}

// Digits only, no leading zero, from 1 up to max: what a port or a speed is
// written as. "+5" and "00005" are not.
bool plainNumberUpTo(const QString& text, qlonglong max) {
    if (!digitsOnly(text) || text.startsWith(u'0') || text.size() > 10) return false;
    return text.toLongLong() <= max;
}

bool wholeNumber(const QString& text) {
    try {
        if (!text.isEmpty()) toWholeNumber(text);
    } catch (const AppError&) {
        return false;
    }
    return true;
}

QString quoted(const QString& value) {
    return u'\'' + escapedText(value) + u'\'';
}

bool ipv4Address(const QString& text) {
    const QStringList parts = text.split(u'.');
    if (parts.size() != 4) return false;
    return std::all_of(parts.begin(), parts.end(), [](const QString& part) {
        return part.size() <= 3 && digitsOnly(part) && (part == u"0" || !part.startsWith(u'0')) &&
               part.toInt() <= 255;
    });
}

// A host name by the rules of the name system: labels of letters, digits and
// hyphens, 1-63 long, no hyphen at either end, 253 in all.
bool hostName(const QString& text) {
    if (text.size() > 253) return false;
    const QStringList labels = text.split(u'.');
    return std::all_of(labels.begin(), labels.end(), [](const QString& label) {
        if (label.isEmpty() || label.size() > 63) return false;
        if (label.startsWith(u'-') || label.endsWith(u'-')) return false;
        return std::all_of(label.begin(), label.end(), [](QChar c) {
            return (c >= u'a' && c <= u'z') || (c >= u'A' && c <= u'Z') ||
                   (c >= u'0' && c <= u'9') || c == u'-';
        });
    });
}

// Why an address is refused, or empty.
QString addressProblem(const QString& ip) {
    if (ip.isEmpty()) return QStringLiteral("TCP terminali bir IP adresi ister.");
    const QString refused = QStringLiteral("IP adresi %1 geçersiz: ").arg(quoted(ip));
    if (ip.contains(u':')) {
        if (QHostAddress(ip).protocol() == QAbstractSocket::IPv6Protocol) return {};
        return refused + QStringLiteral("adres port içeremez; port ayrı verilir.");
    }
    // A last label of digits: meant as an IPv4 address, which a resolver
    // would otherwise read in its own way ("10.1" as 10.0.0.1).
    if (digitsOnly(ip.section(u'.', -1))) {
        if (ipv4Address(ip)) return {};
        return refused + QStringLiteral("dört bölümlü bir IPv4 adresinin her bölümü 0-255 "
                                        "arasında, başında sıfır olmadan yazılır.");
    }
    if (hostName(ip)) return {};
    return refused + QStringLiteral("bir IPv4 adresi ya da harf, rakam, '-' ve '.' ile "
                                    "yazılmış bir ana bilgisayar adı olmalı.");
}

QString typeProblem(const std::optional<QString>& storedTip) {
    QString text = QStringLiteral("Bağlantı tipi com, ethernet ya da usb olmalı");
    if (storedTip) text += QStringLiteral(": %1").arg(quoted(*storedTip));
    return text + u'.';
}

TerminalFields trimmedFields(const TerminalFields& raw) {
    TerminalFields f = raw;
    for (QString* value :
         {&f.name, &f.machineNo, &f.comPort, &f.comBaud, &f.ip, &f.netPort, &f.password})
        *value = value->trimmed();
    return f;
}

std::optional<FieldProblem> nameProblem(const QString& name) {
    if (name.isEmpty())
        return FieldProblem{TerminalField::Name, QStringLiteral("Terminal Adını Giriniz.")};
    bool allPrintable = true;
    qsizetype length = 0;
    forEachCodePoint(name, [&](char32_t c) {
        allPrintable = allPrintable && printable(c);
        ++length;
    });
    if (!allPrintable)
        return FieldProblem{TerminalField::Name,
                            QStringLiteral("Cihaz adında satır sonu, sekme ya da başka bir denetim "
                                           "karakteri olamaz: %1")
                                .arg(quoted(name))};
    if (length > kTerminalNameMax)
        return FieldProblem{TerminalField::Name,
                            QStringLiteral("Cihaz adı en çok %1 karakter olabilir; bu ad %2 "
                                           "karakter.")
                                .arg(kTerminalNameMax)
                                .arg(length)};
    return std::nullopt;
}

// The address and port of a TCP terminal; any other keeps a port it does
// not use, which must still be a whole number.
std::optional<FieldProblem> networkProblem(const TerminalFields& f) {
    if (f.typeIndex != 1) {
        if (wholeNumber(f.netPort)) return std::nullopt;
        return FieldProblem{
            TerminalField::NetPort,
            QStringLiteral("TCP portu: %1 geçerli bir tam sayı değil.").arg(quoted(f.netPort))};
    }
    if (const QString problem = addressProblem(f.ip); !problem.isEmpty())
        return FieldProblem{TerminalField::Ip, problem};
    if (!plainNumberUpTo(f.netPort, 65535))
        return FieldProblem{TerminalField::NetPort,
                            QStringLiteral("TCP portu 1-65535 arasında, yalnız rakamla ve "
                                           "başında sıfır olmadan yazılır: %1")
                                .arg(quoted(f.netPort))};
    return std::nullopt;
}

// The port and speed of a serial terminal; others keep theirs unchecked.
std::optional<FieldProblem> serialProblem(const TerminalFields& f) {
    if (f.typeIndex != 0) return std::nullopt;
    if (!plainNumberUpTo(f.comPort, INT32_MAX))
        return FieldProblem{TerminalField::ComPort,
                            QStringLiteral("Com port 1 ya da büyük bir tam sayı olmalı, "
                                           "yalnız rakamla yazılır: %1")
                                .arg(quoted(f.comPort))};
    const bool standard =
        plainNumberUpTo(f.comBaud, INT32_MAX) &&
        std::ranges::find(kStandardBaudRates, f.comBaud.toInt()) != std::end(kStandardBaudRates);
    if (standard) return std::nullopt;
    QStringList rates;
    for (const int rate : kStandardBaudRates)
        rates << QString::number(rate);
    return FieldProblem{TerminalField::ComBaud,
                        QStringLiteral("Baud %1 geçersiz; seri port hızı şunlardan biri "
                                       "olmalı: %2.")
                            .arg(quoted(f.comBaud), rates.join(QStringLiteral(", ")))};
}

std::optional<FieldProblem> check(const TerminalFields& raw,
                                  const std::optional<QString>& storedTip) {
    const TerminalFields f = trimmedFields(raw);
    if (std::optional<FieldProblem> problem = nameProblem(f.name)) return problem;
    if (!wholeNumber(f.machineNo))
        return FieldProblem{
            TerminalField::MachineNo,
            QStringLiteral("Cihaz No: %1 geçerli bir tam sayı değil.").arg(quoted(f.machineNo))};
    if (tipForTypeIndex(f.typeIndex).isEmpty())
        return FieldProblem{TerminalField::Type, typeProblem(storedTip)};
    if (std::optional<FieldProblem> problem = networkProblem(f)) return problem;
    if (std::optional<FieldProblem> problem = serialProblem(f)) return problem;
    if (!wholeNumber(f.password))
        return FieldProblem{
            TerminalField::Password,
            QStringLiteral("Şifre: %1 geçerli bir tam sayı değil.").arg(quoted(f.password))};
    return std::nullopt;
}

} // namespace

std::optional<FieldProblem> checkTerminalFields(const TerminalFields& fields) {
    return check(fields, std::nullopt);
}

std::optional<FieldProblem> checkTerminalRow(const QSqlRecord& row) {
    const int tip = row.indexOf(QStringLiteral("tip"));
    return check(fieldsFromRow(row), tip < 0 ? QString() : row.value(tip).toString());
}

QString escapedText(const QString& text) {
    QString out;
    out.reserve(text.size());
    forEachCodePoint(text, [&](char32_t c) {
        if (printable(c)) {
            out += QString::fromUcs4(&c, 1);
            return;
        }
        const QString hex = QString::number(uint(c), 16).toUpper();
        if (c <= 0xFF)
            out += QStringLiteral("\\x") + hex.rightJustified(2, u'0');
        else if (c <= 0xFFFF)
            out += QStringLiteral("\\u") + hex.rightJustified(4, u'0');
        else
            out += QStringLiteral("\\U") + hex.rightJustified(8, u'0');
    });
    return out;
}
