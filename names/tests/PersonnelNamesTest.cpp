// Names from the personnel table of a real MariaDB into the names list, and
// on to an in-process terminal.

#include "names/PersonnelNames.h"

#include "PersonnelDatabase.h"
#include "enroll/tests/EnrollTestSupport.h"
#include "names/MySqlText.h"
#include "names/NameSending.h"
#include "terminal/TFP_CLOCK.h"

#include <QFile>

#include <map>
#include <gtest/gtest.h>

namespace {

class PersonnelNames : public ::testing::Test {
  protected:
    void SetUp() override {
        SKIP_WITHOUT_TEST_SERVER();
        connection.Options().SetCharset("latin5");
        query.SetConnection(&connection);
        query.CommandTimeout = 30;
    }
    std::string testName() const {
        return ::testing::UnitTest::GetInstance()->current_test_info()->name();
    }
    void addTemp(const QString& kartno, const QString& isim) {
        execSql(files.store().log(), "insert into temp (kartno, isim) values (?, ?)",
                {kartno, isim});
    }
    // kartno -> isim of every temp row, "kartno|isim" in kartno order.
    QStringList temp() const {
        return files.rows("select kartno, isim from temp order by kartno, rowid", true);
    }
    FillResult fill(const PersonnelDatabase& db, const QString& search = {}) {
        EnrollStore store = files.store();
        return fillNames(connection, query, db.settings(), store, search, op);
    }

    StoreFiles files;
    v270::mysql::TMyConnection connection;
    v270::mysql::TMyQuery query;
    RecordingOperator op;
};

TEST_F(PersonnelNames, TurkishNameIsStoredAsTextAndFoldedForTheTerminal) {
    PersonnelDatabase db(testName());
    db.add("00042", QStringLiteral("ÇĞİ"), QStringLiteral("öşü"));
    addTemp("00042", "TERMINAL ADI");
    addTemp("00042", "TERMINAL ADI"); // a second enrollment of the user

    const FillResult r = fill(db);
    EXPECT_EQ(temp(),
              QStringList({QStringLiteral("00042|ÇĞİ öşü"), QStringLiteral("00042|ÇĞİ öşü")}));
    EXPECT_EQ(r.renamedRows, 2);
    EXPECT_EQ(r.unmatchedRows, 0);
    EXPECT_FALSE(connection.Connected());
    EXPECT_EQ(op.busyDepth, 0);

    DeviceState state;
    auto device = std::make_shared<DeviceModel>(state);
    TFP_CLOCK clock;
    clock.setInProcessDevice(device);
    ASSERT_TRUE(clock.OpenCommPort(1));
    sendAllNames(clock, 1, nameRowsOf(files.store(), {}), op);
    EXPECT_EQ(device->state().names.at(42), "CGI osu");
}

// The fill must name every row as one "select * from personel where
// kartno='...'" per row would: the first row the server returns wins, and
// the server, not the client, decides which kartno values are equal.
class SameAsOneQueryPerRow : public PersonnelNames, public ::testing::WithParamInterface<bool> {};

TEST_P(SameAsOneQueryPerRow, OverManyBatches) {
    PersonnelDatabase db(testName().substr(0, testName().find('/')) + (GetParam() ? "_key" : ""),
                         GetParam());
    // Duplicates get lower ids than the rows they repeat: the server's order,
    // not the order of insertion, picks the name.
    const QString table = QString::fromStdString(db.name()) + ".personel";
    db.run("insert into " + table +
           " (id, kartno, ad, soyad) values "
           "(100001, '00001', 'Ali', 'Bir'), (5, '00001', 'Veli', 'İki')");
    db.add("00002 ", "Boşluk", "Sonda");     // equal to 00002 for the server
    db.add("a1", "Küçük", "Harf");           // equal to A1 too
    db.add("42", "Sıfırsız", "Kişi");        // not 00042
    db.add("00003", std::nullopt, "Soyadı"); // NULL ad
    db.add("00004", std::nullopt, std::nullopt);
    QStringList rows;
    for (int i = 100; i < 1300; ++i) {
        const QString k = QStringLiteral("%1").arg(i, 5, 10, QChar(u'0'));
        rows << QStringLiteral("(%1, '%2', 'Ad%3', 'Soyad')").arg(200000 + i).arg(k).arg(i);
        if (i % 7 == 0)
            rows << QStringLiteral("(%1, '%2', 'Önce%3', 'Gelen')").arg(10000 + i).arg(k).arg(i);
    }
    db.run("insert into " + table + " (id, kartno, ad, soyad) values " + rows.join(u','));

    QSqlDatabase log = files.store().log();
    log.transaction();
    for (const char* k :
         {"00001", "00001", "00002", "a1", "A1", "00042", "00003", "00004", "77777"})
        addTemp(k, "eski");
    for (int i = 90; i < 1300; i += 1)
        addTemp(QStringLiteral("%1").arg(i, 5, 10, QChar(u'0')), "eski");
    log.commit();

    // The reference: one statement per row, with the value as a latin5 literal.
    std::map<QString, QString> expected;
    for (const QString& row : temp()) {
        const QString kartno = row.section(u'|', 0, 0);
        v270::mysql::TMyQuery one;
        one.SetConnection(&db.root());
        one.SQL.Add("select * from " + db.name() + ".personel where kartno=_latin5 X'" +
                    encodeCp1254(kartno).toHex().toStdString() + "'");
        one.Open();
        QString name = QStringLiteral("eski");
        if (one.RecordCount() > 0) {
            const QString found = personnelName(fromLatin5(one.FieldByName("ad").AsString()),
                                                fromLatin5(one.FieldByName("soyad").AsString()));
            if (!found.isEmpty()) name = found;
        }
        expected[kartno] = name;
    }
    ASSERT_EQ(expected["00001"], "Veli İki");
    ASSERT_EQ(expected["00002"], "Boşluk Sonda");
    ASSERT_EQ(expected["A1"], "Küçük Harf");
    ASSERT_EQ(expected["00042"], "eski");
    ASSERT_EQ(expected["00003"], "Soyadı");
    ASSERT_EQ(expected["00004"], "eski");
    ASSERT_EQ(expected["00105"], "Önce105 Gelen");

    const FillResult r = fill(db);
    for (const QString& row : temp()) {
        const QString kartno = row.section(u'|', 0, 0);
        EXPECT_EQ(row.section(u'|', 1).toStdString(), expected[kartno].toStdString())
            << kartno.toStdString();
    }
    EXPECT_EQ(r.listRows, 9 + 1210);
    EXPECT_EQ(r.unmatchedRows, 2 + 10); // 00042, 77777 and 00090-00099
    EXPECT_EQ(r.emptyNameRows, 1);      // 00004
    EXPECT_EQ(r.renamedRows, r.listRows - r.unmatchedRows - r.emptyNameRows);
}

INSTANTIATE_TEST_SUITE_P(WithAndWithoutKey, SameAsOneQueryPerRow, ::testing::Bool());

TEST_F(PersonnelNames, QuotesAndBackslashesAreLookedUpAsTyped) {
    PersonnelDatabase db(testName());
    db.add("00'42", "O'Brien", "Ters\\Bölü");
    db.add("a\\", "Ters", "Bölü");
    db.add("00043", "Kırk", "Üç");
    addTemp("00'42", "eski");
    addTemp("a\\", "eski");
    addTemp("x' or kartno<>'", "eski"); // must not reach 00043's row
    addTemp("00043", "eski");
    fill(db);
    EXPECT_EQ(temp(), QStringList({"00'42|O'Brien Ters\\Bölü", "00043|Kırk Üç", "a\\|Ters Bölü",
                                   "x' or kartno<>'|eski"}));
}

TEST_F(PersonnelNames, LiteralsSurviveTheServerInBothEscapeModes) {
    PersonnelDatabase db(testName());
    std::string bytes = "a'b\"c\\d\ne\rf";
    bytes += '\0';
    bytes += "\032g\xDE";
    for (const char* mode : {"", "NO_BACKSLASH_ESCAPES"}) {
        db.run(std::string("set session sql_mode='") + mode + "'");
        v270::mysql::TMyQuery q;
        q.SetConnection(&db.root());
        q.SQL.Add("select " + quotedLiteral(db.root(), bytes));
        q.Open();
        EXPECT_EQ(q.Fields(0).AsString(), bytes) << mode;
    }
}

TEST_F(PersonnelNames, SearchLimitsTheFill) {
    PersonnelDatabase db(testName());
    db.add("00001", "Ayşe", "Yılmaz");
    db.add("00002", "Mehmet", "Kaya");
    addTemp("00001", "AYSE");
    addTemp("00002", "MEHMET");
    const FillResult r = fill(db, QStringLiteral("ay"));
    EXPECT_EQ(temp(), QStringList({"00001|Ayşe Yılmaz", "00002|MEHMET"}));
    EXPECT_EQ(r.listRows, 1);
}

// A fill that does not end with every lookup done names nothing: "İptal"
// before the first batch or after one, or a server that fails halfway,
// leaves the names list as it was.
TEST_F(PersonnelNames, FillStoppedAnywhereLeavesTheListAsItWas) {
    PersonnelDatabase db(testName());
    // More users than one batch looks up.
    constexpr int kUsers = 1200;
    QStringList rows;
    for (int i = 1; i <= kUsers; ++i)
        rows << QStringLiteral("('%1', 'Ad%2', 'Soyad')").arg(kartnoOf(i)).arg(i);
    db.run("insert into " + db.name() + ".personel (kartno, ad, soyad) values " +
           rows.join(u',').toStdString());
    QSqlDatabase log = files.store().log();
    log.transaction();
    for (int i = 1; i <= kUsers; ++i)
        addTemp(kartnoOf(i), "eski");
    log.commit();
    const QStringList before = temp();

    const struct {
        const char* name;
        int cancelAfterChecks; // -1: never
        bool serverFailsLater; // the table goes after the first batch
    } cases[] = {
        {"cancelled before the first batch", 0, false},
        {"cancelled after the first batch", 1, false},
        {"cancelled after the last batch", 3, false},
        {"server error after the first batch", -1, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        HookedOperator stopping;
        stopping.cancelAfterChecks = c.cancelAfterChecks;
        stopping.progressHook = [&](int steps) {
            if (c.serverFailsLater && steps == 1)
                db.run("rename table " + db.name() + ".personel to " + db.name() + ".gitti");
        };
        EnrollStore store = files.store();
        try {
            const FillResult r = fillNames(connection, query, db.settings(), store, {}, stopping);
            EXPECT_FALSE(c.serverFailsLater) << "no error";
            EXPECT_TRUE(r.cancelled);
            EXPECT_EQ(r.renamedRows, 0);
            EXPECT_EQ(r.unmatchedRows, 0);
            EXPECT_EQ(fillResultLines(r),
                      (QStringList{"İptal edildi.",
                                   "Hiçbir isim yazılmadı; isim listesi olduğu gibi duruyor."}));
            EXPECT_EQ(stopping.statuses.last(), fillResultLines(r).join("  "));
        } catch (const AppError& e) {
            EXPECT_TRUE(c.serverFailsLater) << e.text().toStdString();
            db.run("rename table " + db.name() + ".gitti to " + db.name() + ".personel");
        }
        EXPECT_EQ(temp(), before);
        EXPECT_FALSE(connection.Connected());
    }
    // Left alone, the same fill names every row.
    EXPECT_EQ(fill(db).renamedRows, kUsers);
    EXPECT_EQ(temp().first(), "00001|Ad1 Soyad");
}

TEST_F(PersonnelNames, PortThatIsNoNumberIsReportedAndThePreviousPortServes) {
    PersonnelDatabase db(testName());
    db.add("00001", "Ali", "Bir");
    addTemp("00001", "eski");
    ASSERT_TRUE(ApplyMySqlSettings(connection, db.settings(), op));
    PersonnelSettings settings = db.settings();
    settings.port = "abc";
    EnrollStore store = files.store();
    fillNames(connection, query, settings, store, {}, op);
    ASSERT_EQ(op.messages.size(), 1u);
    EXPECT_EQ(op.messages[0].text, "Veritabanına bağlanamadı....");
    EXPECT_EQ(op.messages[0].title, "UYARI");
    EXPECT_EQ(temp(), QStringList{"00001|Ali Bir"});
}

TEST_F(PersonnelNames, FillOverTlsFromTheSettingsFile) {
    PersonnelDatabase db(testName());
    db.add("00001", "Ali", "Bir");
    addTemp("00001", "eski");
    db.run(std::string("create user if not exists 'v270_names_tls'@'%' identified by 'gizli' "
                       "require ssl"));
    db.run("grant select on " + db.name() + ".* to 'v270_names_tls'@'%'");
    // The CA beside Settings.ini, named without a directory.
    ASSERT_TRUE(QFile::copy(mySqlEnv("V270_MYSQL_SSL_DIR") + "/ca.pem", files.path("pdks-ca.pem")));
    const QString settingsFile = files.path("Settings.ini");
    db.writeSettings(settingsFile);
    writeProfileString(settingsFile, "MySql", "User", "v270_names_tls");
    writeProfileString(settingsFile, "MySql", "Password", "gizli");
    writeProfileString(settingsFile, "MySql", "SSLCACert", "pdks-ca.pem");

    struct Case {
        const char* ssl;
        const char* verify;
        QStringList names; // empty: the fill fails
        bool checked;      // the server's certificate is checked
    } cases[] = {
        {"0", "", {}, true},                // the account requires TLS
        {"1", "", {"00001|Ali Bir"}, true}, // a CA given: checked by default
        {"1", "0", {"00001|Ali Bir"}, false},
        {"", "", {}, true}, // SSL missing: plain TCP
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.ssl);
        writeProfileString(settingsFile, "MySql", "SSL", c.ssl);
        writeProfileString(settingsFile, "MySql", "SSLVerify", c.verify);
        execSql(files.store().log(), "update temp set isim = 'eski'");
        const PersonnelSettings settings = ReadMySqlSettings(settingsFile);
        EXPECT_EQ(settings.sslCACert, files.path("pdks-ca.pem"));
        EnrollStore store = files.store();
        try {
            fillNames(connection, query, settings, store, {}, op);
            EXPECT_FALSE(c.names.isEmpty()) << "no error";
        } catch (const AppError& e) {
            EXPECT_TRUE(c.names.isEmpty()) << e.text().toStdString();
            EXPECT_TRUE(e.text().contains("Access denied")) << e.text().toStdString();
        }
        EXPECT_EQ(temp(), c.names.isEmpty() ? QStringList{"00001|eski"} : c.names);
        EXPECT_EQ(connection.SSLOptions.VerifyServerCert, c.checked);
        EXPECT_FALSE(connection.Connected());
    }
}

TEST_F(PersonnelNames, ServerErrorsStopTheFillAndCloseTheConnection) {
    PersonnelDatabase db(testName());
    addTemp("00001", "eski");
    db.run("drop table " + db.name() + ".personel");
    PersonnelSettings refused = db.settings();
    refused.port = "1";
    const struct {
        const char* name;
        PersonnelSettings settings;
        QString advice; // the Turkish line the report starts with
        QString clientText;
    } cases[] = {
        {"no table", db.settings(), "Veritabanında personel tablosu yok", "doesn't exist"},
        {"refused", refused, "Veritabanı sunucusuna bağlanılamadı", "Connection refused"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EnrollStore store = files.store();
        try {
            fillNames(connection, query, c.settings, store, {}, op);
            ADD_FAILURE() << "no error";
        } catch (const AppError& e) {
            const QStringList lines = e.text().split(u'\n');
            ASSERT_GE(lines.size(), 2) << e.text().toStdString();
            EXPECT_TRUE(lines[0].startsWith(c.advice)) << lines[0].toStdString();
            EXPECT_TRUE(lines.mid(1).join(u'\n').contains(c.clientText)) << e.text().toStdString();
        }
        EXPECT_FALSE(connection.Connected());
        EXPECT_EQ(op.busyDepth, 0);
    }
    EXPECT_EQ(temp(), QStringList{"00001|eski"});
}

TEST_F(PersonnelNames, FillRacingADownloadNamesEveryRowByItsOwnKartno) {
    PersonnelDatabase db(testName());
    // More users than one batch looks up, so the download lands between batches.
    constexpr int kUsers = 1200;
    QStringList rows;
    for (int i = 1; i <= kUsers; ++i)
        rows << QStringLiteral("('%1', 'Ad%2', 'Soyad')").arg(kartnoOf(i)).arg(i);
    db.run("insert into " + QString::fromStdString(db.name()) +
           ".personel (kartno, ad, soyad) values " + rows.join(u','));
    QSqlDatabase log = files.store().log();
    const auto terminalRows = [&](bool reversed) {
        log.transaction();
        execSql(log, "delete from temp");
        for (int n = 1; n <= kUsers; ++n) {
            const int i = reversed ? kUsers + 1 - n : n;
            addTemp(kartnoOf(i), QStringLiteral("T%1").arg(i));
        }
        log.commit();
    };
    terminalRows(false);

    // After the first batch a download empties temp and writes the users
    // again in another order: the rows the fill listed now hold other users.
    HookedOperator racing;
    racing.progressHook = [&](int steps) {
        if (steps == 1) terminalRows(true);
    };
    EnrollStore store = files.store();
    fillNames(connection, query, db.settings(), store, {}, racing);

    int misnamed = 0, named = 0;
    for (const QString& row : temp()) {
        const int i = row.section(u'|', 0, 0).toInt();
        const QString isim = row.section(u'|', 1);
        if (isim == QStringLiteral("Ad%1 Soyad").arg(i))
            ++named;
        else if (isim != QStringLiteral("T%1").arg(i))
            ++misnamed;
    }
    EXPECT_EQ(misnamed, 0);
    EXPECT_EQ(named, kUsers); // written at the end, on the rows as they stand then
}

TEST_F(PersonnelNames, EmptyNamesCountedApartControlsSentAsBlanks) {
    PersonnelDatabase db(testName());
    db.add("00001", std::nullopt, std::nullopt);
    db.add("00002", "", "");
    db.add("00003", "  ", std::nullopt);
    db.add("00004", QStringLiteral("Ali\tVeli"), QStringLiteral("Öz\r\n"));
    db.add("00005", QStringLiteral("Sıfır") + QChar(0) + QStringLiteral("Bayt"), "Kaya");
    for (const char* k : {"00001", "00002", "00003", "00004", "00005", "00006"})
        addTemp(k, "T");
    const FillResult r = fill(db);
    EXPECT_EQ(r.renamedRows, 2);
    EXPECT_EQ(r.unmatchedRows, 1);
    EXPECT_EQ(r.emptyNameRows, 3);
    EXPECT_EQ(op.statuses.last(), "İsmi yazılan satır: 2  Personel kaydı bulunamayan satır: 1  "
                                  "Personel kaydında adı ve soyadı boş olan satır: 3");

    auto device = std::make_shared<DeviceModel>(DeviceState{});
    TFP_CLOCK clock;
    clock.setInProcessDevice(device);
    ASSERT_TRUE(clock.OpenCommPort(1));
    sendAllNames(clock, 1, nameRowsOf(files.store(), {}), op);
    EXPECT_EQ(device->state().names.at(4), "Ali Veli Oz"); // the terminal keeps 12
    EXPECT_EQ(device->state().names.at(5), "Sifir Bayt K");
}

} // namespace
