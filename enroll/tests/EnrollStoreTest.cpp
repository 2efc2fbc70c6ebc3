// The store: rows written and read back into the enrollment values, and the
// names list with its search and edits.

#include "EnrollTestSupport.h"
#include "core/AppError.h"
#include "enroll/NamesList.h"
#include "enroll/TemplateText.h"

#include <QUuid>

#include <functional>
#include <gtest/gtest.h>

namespace {

class Store : public ::testing::Test {
  protected:
    StoreFiles files;
    EnrollStore store = files.store();
    RecordingScreen screen;
    RecordingOperator op;
    EnrollValues values;
};

TEST_F(Store, RowsReadBackIntoTheEnrollmentValues) {
    {
        EnrollWriter writer(store);
        const std::pair<int32_t, int32_t> kinds[] = {{0, 0}, {10, 1234}, {11, -1}, {13, 0}};
        for (const auto& [backup, password] : kinds) {
            values.templateArray = templateOf(backup);
            values.password = password;
            ASSERT_TRUE(AddEnrollRecord(writer, values, 42, 1, backup, 2, screen, op));
        }
        writer.commit();
    }
    // Template rows keep their text and no password; passwords and cards the
    // reverse.
    EXPECT_EQ(files.rows("select FingerNumber, Privilige, Password, length(FPdata) from tblEnroll"),
              (QStringList{"0|2|NULL|3203", "10|2|1234|NULL", "11|2|-1|NULL", "13|2|NULL|3203"}));
    EXPECT_EQ(op.statuses.first(), "001-0042-0");
    EXPECT_EQ(screen.position, "  42");

    EnrollReader reader(store);
    EnrollRow row;
    values = EnrollValues{};
    values.templateArray.fill(5);
    ASSERT_TRUE(ReadEnrollRecord(reader, row, values));
    EXPECT_EQ(values.templateArray, templateOf(0));
    EXPECT_EQ(row.key, (EnrollKey{42, 1, 0}));
    EXPECT_EQ(row.privilege, 2);
    ASSERT_TRUE(ReadEnrollRecord(reader, row, values)); // a password: template untouched
    EXPECT_EQ(values.password, 1234);
    EXPECT_EQ(values.templateArray, templateOf(0));
    ASSERT_TRUE(ReadEnrollRecord(reader, row, values));
    EXPECT_EQ(values.password, -1);
    ASSERT_TRUE(ReadEnrollRecord(reader, row, values));
    EXPECT_EQ(values.templateArray, templateOf(13));
    EXPECT_EQ(values.password, 0); // an empty Password reads as 0
    EXPECT_FALSE(ReadEnrollRecord(reader, row, values));
}

TEST_F(Store, ATextWithoutTheLastElementNeverSendsThePreviousRows) {
    // A template row written by hand with 355 groups, after a full one.
    const QString full = TemplateToText(templateOf(1));
    execSql(store.data(),
            "insert into tblEnroll (EnrollNumber, EMachineNumber, FingerNumber, Privilige, FPdata) "
            "values (1, 1, 0, 0, ?), (2, 1, 0, 0, ?)",
            {full, full.left(3194)});
    EnrollReader reader(store);
    EnrollRow row;
    ASSERT_TRUE(ReadEnrollRecord(reader, row, values));
    ASSERT_NE(values.templateArray[355], 0);
    ASSERT_TRUE(ReadEnrollRecord(reader, row, values));
    EXPECT_EQ(values.templateArray[355], 0);
    EXPECT_EQ(values.templateArray[354], templateOf(1)[354]);
}

TEST_F(Store, DoubleIdAlsoAgainstRowsStoredBefore) {
    {
        EnrollWriter writer(store);
        ASSERT_TRUE(AddEnrollRecord(writer, values, 7, 1, 0, 0, screen, op));
        writer.commit();
    }
    EnrollWriter writer(store);
    EXPECT_FALSE(AddEnrollRecord(writer, values, 7, 1, 0, 0, screen, op));
    EXPECT_EQ(op.statuses.last(), "Double ID");
    EXPECT_TRUE(AddEnrollRecord(writer, values, 7, 2, 0, 0, screen, op)); // another machine
    EXPECT_TRUE(AddEnrollRecord(writer, values, 7, 1, 1, 0, screen, op)); // another finger
    writer.commit();
    EXPECT_EQ(store.enrollmentCount(), 3);
}

// A writer that ends without its commit, however it ends, leaves both files
// as they were; until then other connections read the old store, unhindered.
TEST_F(Store, WriterWithoutItsCommitLeavesTheStoreAsItWas) {
    {
        EnrollWriter writer(store);
        writer.add({{1, 1, 0}, 0, std::nullopt, QStringLiteral("eski")});
        writer.addName("00001", "ESKI");
        writer.commit();
    }
    const QStringList rows = files.rows("select * from tblEnroll");
    const QStringList names = files.rows("select * from temp", true);
    // What another connection (another thread's, another process's) reads.
    const auto othersRead = [&](const char* file, const char* sql) {
        const QString name = QUuid::createUuid().toString();
        QStringList out;
        {
            QSqlDatabase db = openDatabaseFile(name, files.path(file));
            QSqlQuery q = execSql(db, QLatin1String(sql));
            while (q.next())
                out << q.value(0).toString();
        }
        QSqlDatabase::removeDatabase(name);
        return out;
    };
    const struct {
        const char* name;
        std::function<void(EnrollWriter&)> write;
    } cases[] = {
        {"cleared only", [](EnrollWriter& w) { w.clearStore(); }},
        {"cleared and refilled beyond the page cache",
         [&](EnrollWriter& w) {
             w.clearStore();
             for (int32_t u = 1; u <= 3000; ++u) {
                 w.add({{u, 1, 0}, 0, std::nullopt, QString(3200, u'A')});
                 w.addName(kartnoOf(u), "YENI");
             }
             EXPECT_EQ(othersRead("Data.mdb", "select EnrollNumber from tblEnroll"),
                       QStringList{"1"});
             EXPECT_EQ(othersRead("Log.mdb", "select isim from temp"), QStringList{"ESKI"});
         }},
        {"an error halfway",
         [](EnrollWriter& w) {
             w.clearStore();
             w.add({{2, 1, 0}, 0, std::nullopt, QStringLiteral("yeni")});
             throw AppError("disk dolu");
         }},
    };
    for (const auto& c : cases) {
        try {
            EnrollWriter writer(store);
            c.write(writer);
        } catch (const AppError&) {
        }
        EXPECT_EQ(files.rows("select * from tblEnroll"), rows) << c.name;
        EXPECT_EQ(files.rows("select * from temp", true), names) << c.name;
        for (QSqlDatabase db : {store.data(), store.log()}) {
            EXPECT_TRUE(db.transaction()) << c.name << ": a transaction was left open";
            db.rollback();
        }
    }
}

TEST_F(Store, ValuesOutOfRangeAreRefusedOnReading) {
    execSql(store.data(), "insert into tblEnroll (EnrollNumber, EMachineNumber, FingerNumber, "
                          "Privilige, Password) values (1, 1, 11, 0, 4294967296)");
    EnrollReader reader(store);
    EnrollRow row;
    EXPECT_THROW(reader.next(row), AppError);
}

TEST_F(Store, NameSearchIsTurkishCaseInsensitiveAndLiteral) {
    {
        EnrollWriter writer(store);
        const std::pair<const char*, const char*> names[] = {
            {"00003", "Ayşe"},    {"00001", "AYDIN"},       {"00002", "ayten"},
            {"00004", "Ilgaz"},   {"00005", "ırmak"},       {"00006", "İpek"},
            {"00007", "inci"},    {"00008", "O'Brien"},     {"00009", "100% Pamuk"},
            {"00010", "100 Bay"}, {"123456", "Ayhan Uzun"}, {"00011", "Bay_Can"},
        };
        for (const auto& [kartno, name] : names)
            writer.addName(QString::fromUtf8(kartno), QString::fromUtf8(name));
        writer.commit();
    }
    NamesList list;
    auto found = [&](const char* search) {
        list.reopen(store, QString::fromUtf8(search));
        QStringList out;
        for (int r = 0; r < list.rowCount(); ++r)
            out << list.index(r, list.kartnoColumn()).data().toString();
        return out.join(u' ');
    };
    EXPECT_EQ(found("ay"), "00001 00002 00003 123456");
    EXPECT_EQ(found("  AY "), "00001 00002 00003 123456");
    EXPECT_EQ(found("ı"), "00004 00005");
    EXPECT_EQ(found("I"), "00004 00005");
    EXPECT_EQ(found("i"), "00006 00007");
    EXPECT_EQ(found("İ"), "00006 00007");
    EXPECT_EQ(found("O'"), "00008");
    EXPECT_EQ(found("100%"), "00009");
    EXPECT_EQ(found("Bay_"), "00011");
    EXPECT_EQ(found("zz"), "");
    EXPECT_EQ(list.reopen(store, QString()), 12);
}

TEST_F(Store, AnEditOfANameIsSavedToEveryRowOfTheUser) {
    {
        EnrollWriter writer(store);
        writer.addName("00042", "AYSE");
        writer.addName("00042", "AYSE");
        writer.addName("00043", "AYSE");
        writer.commit();
    }
    NamesList list;
    ASSERT_EQ(list.reopen(store, QString()), 3);
    EXPECT_FALSE(list.flags(list.index(0, list.kartnoColumn())) & Qt::ItemIsEditable);
    EXPECT_FALSE(list.setData(list.index(0, list.kartnoColumn()), "99999"));
    const QModelIndex isim = list.index(1, list.isimColumn());
    ASSERT_TRUE(list.flags(isim) & Qt::ItemIsEditable);
    ASSERT_TRUE(list.setData(isim, QStringLiteral("Ayşe O'Neil")));
    EXPECT_EQ(isim.data().toString(), QStringLiteral("Ayşe O'Neil"));
    EXPECT_EQ(list.index(0, list.isimColumn()).data().toString(), QStringLiteral("Ayşe O'Neil"));
    EXPECT_EQ(list.index(2, list.isimColumn()).data().toString(), QStringLiteral("AYSE"));
    // Sending all names sends one per row: an older name on another row of
    // the user would otherwise overwrite the corrected one on the terminal.
    EXPECT_EQ(files.rows("select kartno, isim from temp order by rowid", true),
              (QStringList{QStringLiteral("00042|Ayşe O'Neil"), QStringLiteral("00042|Ayşe O'Neil"),
                           "00043|AYSE"}));
    // The names subsystem renames every row of a user at once.
    store.renameUser("00042", "X");
    EXPECT_EQ(files.rows("select isim from temp order by rowid", true),
              (QStringList{"X", "X", "AYSE"}));
}

} // namespace
