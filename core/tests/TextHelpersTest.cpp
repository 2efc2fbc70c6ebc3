#include "core/TextHelpers.h"

#include "core/TextCodec.h"

#include <utility>
#include <gtest/gtest.h>

TEST(TextHelpers, ZeroPad) {
    struct {
        QString text;
        int width;
        QString expected;
    } cases[] = {
        {"123", 5, "00123"},       {"123456", 5, "123456"}, {"", 2, "00"},
        {"-7", 4, "00-7"},         {"12", 0, "12"},         {"12", -3, "12"},
        {u"ğü"_qs, 4, u"00ğü"_qs}, // characters, not bytes
    };
    for (const auto& c : cases)
        EXPECT_EQ(ZeroPad(c.text, c.width), c.expected) << c.text.toStdString();
}

TEST(TextHelpers, FitWidth) {
    struct {
        QString text, fill;
        int width;
        bool atEnd;
        QString expected;
    } cases[] = {
        {"1234567", "0", 5, false, "12345"}, {"12", "0", 5, false, "00012"},
        {"12", "0", 5, true, "12000"},       {"12345", "0", 5, false, "12345"},
        {"12", "ab", 4, false, "abab12"},    {"", "0", 0, false, ""},
        {"abc", "0", -1, false, ""},         {u"şş"_qs, "0", 3, false, u"0şş"_qs},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(FitWidth(c.text, c.fill, c.width, c.atEnd), c.expected) << c.text.toStdString();
    }
}

TEST(TextHelpers, FoldTurkish) {
    EXPECT_EQ(FoldTurkish(u"Güneş Işığı"_qs), QStringLiteral("Gunes Isigi"));
    EXPECT_EQ(FoldTurkish(u"çğıöşüÇĞİÖŞÜ"_qs), QStringLiteral("cgiosuCGIOSU"));
    EXPECT_EQ(FoldTurkish(QString()), QString());
    EXPECT_EQ(FoldTurkish(QStringLiteral("AYSE yilmaz 42")), QStringLiteral("AYSE yilmaz 42"));
}

TEST(TextHelpers, WithoutMnemonic) {
    const std::pair<const char*, const char*> cases[] = {
        {"&Kaydet", "Kaydet"},
        {"Terminale &Gönder", "Terminale Gönder"},
        {"Ad && Soyad", "Ad & Soyad"},
        {"Son&", "Son"},
        {"Kapat", "Kapat"},
    };
    for (const auto& [caption, plain] : cases)
        EXPECT_EQ(withoutMnemonic(QString::fromUtf8(caption)), QString::fromUtf8(plain)) << caption;
}

TEST(TextCodec, Cp1254RoundTripsTurkishLetters) {
    const QString turkish = u"ÇĞİÖŞÜçğıöşü€"_qs;
    const QByteArray bytes = encodeCp1254(turkish);
    EXPECT_EQ(bytes, QByteArray("\xc7\xd0\xdd\xd6\xde\xdc\xe7\xf0\xfd\xf6\xfe\xfc\x80"));
    EXPECT_EQ(decodeCp1254(bytes), turkish);
    EXPECT_EQ(encodeCp1254(u"\u4e2d"_qs), QByteArray("?"));
    EXPECT_EQ(decodeCp1254("\x81"), QString(QChar(0xFFFD)));
}
