// Text at the border with the personnel database.

#include "names/MySqlText.h"

#include "mysql/MySqlErrors.h"

#include <gtest/gtest.h>

namespace {

TEST(MySqlText, ErrorsGetATurkishLineThatSaysWhatToCheck) {
    const struct {
        int code;
        const char* text;
        const char* advice; // a part of the Turkish line
    } cases[] = {
        {2003, "Cannot connect to server on host 'x': Connection refused", "adresini ve portu"},
        {2003, "Cannot connect to server on host 'x': Connection timed out", "zamanında cevap"},
        {2003, "Unknown host 'pdks-sunucu'.", "sunucu adını"},
        {1045, "Access denied for user 'ik'@'10.0.0.2' (using password: YES)", "şifreyi"},
        {1049, "Unknown database 'pdsk'", "veritabanı adını"},
        {1146, "Table 'pdks.personel' doesn't exist", "personel tablosu yok"},
        {2026, "SSL connection error: certificate verify failed", "sertifika"},
        {2013, "Lost connection to server during query", "bağlantı koptu"},
        {1064, "You have an error in your SQL syntax", "Veritabanı hatası (1064)"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        const QString advice = mySqlErrorAdvice(c.code, QString::fromUtf8(c.text));
        EXPECT_TRUE(advice.contains(QString::fromUtf8(c.advice))) << advice.toStdString();
    }
}

TEST(MySqlText, ReportPutsTheTurkishLineOverTheServersText) {
    const v270::mysql::EMyError denied(
        1045, "\r\nAccess denied for user 'ik'@'localhost' (using password: YES)", nullptr);
    EXPECT_EQ(mySqlErrorCode(denied), 1045);
    EXPECT_EQ(mySqlErrorReport(denied),
              mySqlErrorAdvice(1045, {}) +
                  "\nAccess denied for user 'ik'@'localhost' (using password: YES)");
    const v270::mysql::EMySqlException tls(2026, "SSL connection error");
    EXPECT_EQ(mySqlErrorCode(tls), 2026);
    const v270::mysql::EDatabaseError field("Field 'ad' not found");
    EXPECT_EQ(mySqlErrorCode(field), 0);
    EXPECT_TRUE(mySqlErrorReport(field).endsWith("\nField 'ad' not found"));
}

TEST(MySqlText, EscapesAsTheServersClientDoes) {
    std::string all = "a'b\"c\\d\ne\rf";
    all += '\0';
    all += "\032\xDE";
    std::string withBackslash = "a\\'b\\\"c\\\\d\\ne\\rf\\0\\Z\xDE";
    EXPECT_EQ(escapeLiteral(all, true), withBackslash);
    std::string quoteDoubled = "a''b\"c\\d\ne\rf";
    quoteDoubled += '\0';
    quoteDoubled += "\032\xDE";
    EXPECT_EQ(escapeLiteral(all, false), quoteDoubled);
}

TEST(MySqlText, Latin5BothWays) {
    EXPECT_EQ(fromLatin5("\xC7\xD0\xDD \xF6\xFE\xFC"), QStringLiteral("ÇĞİ öşü"));
    EXPECT_EQ(toLatin5(QStringLiteral("ÇĞİ öşü")), std::string("\xC7\xD0\xDD \xF6\xFE\xFC"));
    // No latin5 byte: never sent as '?', which could match another row.
    EXPECT_EQ(toLatin5(QStringLiteral("42\u4E00")), std::nullopt);
}

} // namespace
