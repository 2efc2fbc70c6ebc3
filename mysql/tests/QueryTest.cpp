// Field types, value conversions and the query component over an in-memory
// server: what a real server will not send, and the paths between statements.
#include "FakeServer.h"
#include "mysql/MyQuery.h"

#include <gtest/gtest.h>

using namespace v270::mysql;
using namespace v270::mysql::test;

namespace {

// A connection whose every connect reads the login and then replies.
struct MemoryServer {
    explicit MemoryServer(const std::string& replies) {
        std::string bytes = LoginReplies() + replies;
        connection.IOHandler = [bytes] { return std::make_unique<MemoryVio>(bytes, 7); };
        query.SetConnection(&connection);
    }
    TMyQuery& Open(const std::string& sql) {
        query.SQL.SetText(sql);
        query.Open();
        return query;
    }
    TMyConnection connection;
    TMyQuery query;
};

std::string Column(uint8_t type, uint32_t length = 40, uint16_t flags = 0, uint8_t decimals = 0,
                   uint16_t charset = 8) {
    return ColumnDef("v", type, length, flags, decimals, charset);
}

// The value as the application reads it, or the error it raises.
std::string Read(const std::string& column, const std::optional<std::string>& value,
                 TMySQLRecordSetOptions options = {}) {
    MemoryServer m(ResultReply({column}, {{value}}));
    m.query.Options = options;
    try {
        return m.Open("SELECT v").Fields(0).AsString();
    } catch (const EDatabaseError& e) {
        return std::string("error: ") + e.what();
    }
}

std::vector<std::string> Column0(TMyQuery& q) {
    std::vector<std::string> values;
    for (q.First(); !q.Eof(); q.Next())
        values.push_back(q.Fields(0).AsString());
    return values;
}

std::vector<Row> Numbers(int from, int to) {
    std::vector<Row> rows;
    for (int i = from; i <= to; ++i)
        rows.push_back({std::to_string(i)});
    return rows;
}

} // namespace

TEST(MySqlValues, FieldTypesFromColumns) {
    TMySQLRecordSetOptions defaults, noBoolean, bytes, asString, shortStrings;
    noBoolean.EnableBoolean = false;
    bytes.BinaryAsString = false;
    asString.FieldsAsString = true;
    shortStrings.LongStrings = false;
    auto col = [](uint8_t type, uint32_t length, uint32_t flags = 0, uint32_t decimals = 0,
                  uint32_t charset = 8) {
        TMySqlFieldInfo c;
        c.name = "v";
        c.type = type;
        c.length = length;
        c.flags = flags;
        c.decimals = decimals;
        c.charsetNr = charset;
        return c;
    };
    struct Case {
        const char* what;
        TMySqlFieldInfo column;
        const TMySQLRecordSetOptions& options;
        TFieldType type;
        uint32_t size;
        bool required;
    } cases[] = {
        {"TINYINT(1)", col(1, 1), defaults, ftBoolean, 1, false},
        {"TINYINT(1) without booleans", col(1, 1), noBoolean, ftSmallint, 1, false},
        {"TINYINT(4)", col(1, 4), defaults, ftSmallint, 4, false},
        {"SMALLINT UNSIGNED", col(2, 5, UNSIGNED_FLAG), defaults, ftWord, 5, false},
        {"INT UNSIGNED", col(3, 10, UNSIGNED_FLAG), defaults, ftLargeint, 10, false},
        {"INT NOT NULL", col(3, 11, NOT_NULL_FLAG), defaults, ftInteger, 11, true},
        {"INT auto-increment", col(3, 11, NOT_NULL_FLAG | AUTO_INCREMENT_FLAG), defaults, ftInteger,
         11, false},
        {"TIMESTAMP NOT NULL", col(7, 19, NOT_NULL_FLAG), defaults, ftDateTime, 19, false},
        {"DATETIME in utf8", col(12, 57, 0, 0, 33), defaults, ftDateTime, 19, false},
        {"DECIMAL(10,0)", col(246, 11), defaults, ftFloat, 10, false},
        {"DECIMAL(10,2)", col(246, 12, 0, 2), defaults, ftFloat, 12, false},
        {"VARBINARY", col(253, 8, BINARY_FLAG, 0, 63), defaults, ftString, 8, false},
        {"VARBINARY as bytes", col(253, 8, BINARY_FLAG, 0, 63), bytes, ftVarBytes, 8, false},
        {"BINARY as bytes", col(254, 8, BINARY_FLAG, 0, 63), bytes, ftBytes, 8, false},
        {"BLOB", col(252, 65535, BINARY_FLAG, 0, 63), defaults, ftBlob, 65535, false},
        {"TEXT", col(252, 65535), defaults, ftMemo, 65535, false},
        {"GEOMETRY", col(255, 0, BINARY_FLAG), defaults, ftBlob, 0, false},
        {"JSON of newer servers", col(245, 0xFFFFFFFF), defaults, ftMemo, 0xFFFFFFFF, false},
        {"VARCHAR(300), short strings", col(253, 300), shortStrings, ftMemo, 300, false},
        {"INT as string", col(3, 11), asString, ftString, 11, false},
        {"BLOB as string stays a blob", col(252, 65535, BINARY_FLAG), asString, ftBlob, 65535,
         false},
        {"BIT", col(16, 10, UNSIGNED_FLAG), defaults, ftLargeint, 10, false},
        {"YEAR", col(13, 4), defaults, ftWord, 4, false},
        {"NULL", col(6, 0), defaults, ftString, 0, false},
    };
    for (const Case& c : cases) {
        TMySQLFieldDesc f = TMySQLFieldDesc::FromColumn(c.column, c.options);
        EXPECT_EQ(f.DataType, c.type) << c.what;
        EXPECT_EQ(f.Size, c.size) << c.what;
        EXPECT_EQ(f.Required, c.required) << c.what;
    }
    for (uint8_t type : {17, 100, 244}) {
        try {
            TMySQLFieldDesc::FromColumn(col(type, 1), defaults);
            ADD_FAILURE() << int(type);
        } catch (const EDatabaseError& e) {
            EXPECT_EQ(std::string(e.what()),
                      "Unknown MySQL datatype (" + std::to_string(type) + ")");
        }
    }
}

TEST(MySqlValues, TextsOfValues) {
    const std::string ff(8, '\xFF');
    struct Case {
        const char* what;
        std::string column;
        std::optional<std::string> value;
        std::string expect;
    } cases[] = {
        {"TINYINT(1) 1", Column(1, 1), "1", "True"},
        {"TINYINT(1) 0", Column(1, 1), "0", "False"},
        {"TINYINT(1) -5", Column(1, 1), "-5", "True"},
        {"TINYINT", Column(1, 4), "-128", "-128"},
        {"TINYINT UNSIGNED", Column(1, 3, UNSIGNED_FLAG), "255", "255"},
        {"SMALLINT UNSIGNED", Column(2, 5, UNSIGNED_FLAG), "65535", "65535"},
        {"INT", Column(3, 11), "-2147483648", "-2147483648"},
        {"INT UNSIGNED", Column(3, 10, UNSIGNED_FLAG), "4294967295", "4294967295"},
        {"BIGINT(25) ZEROFILL", Column(8, 25, UNSIGNED_FLAG | 64), "0000018446744073709551615",
         "18446744073709551615"},
        {"MEDIUMINT", Column(9, 9), "-8388608", "-8388608"},
        {"BIGINT", Column(8, 20), "-9223372036854775808", "-9223372036854775808"},
        {"BIGINT(25) ZEROFILL signed", Column(8, 25, 64), "-0000009223372036854775807",
         "-9223372036854775807"},
        {"BIGINT UNSIGNED", Column(8, 20, UNSIGNED_FLAG), "18446744073709551615",
         "18446744073709551615"},
        {"BIT(10)", Column(16, 10, UNSIGNED_FLAG), std::string("\x02\x01", 2), "513"},
        {"BIT(64)", Column(16, 64, UNSIGNED_FLAG), ff, "18446744073709551615"},
        {"YEAR", Column(13, 4), "2155", "2155"},
        {"DECIMAL", Column(246, 14, 0, 3), "-123456789.125", "-123456789,125"},
        {"FLOAT", Column(4, 12, 0, 31), "3.4e38", "3,4E+38"},
        {"DOUBLE", Column(5, 22, 0, 31), "1.5", "1,5"},
        {"DATE", Column(10, 10), "2024-02-29", "29.02.2024"},
        {"DATE zero", Column(10, 10), "0000-00-00", ""},
        {"DATE impossible", Column(10, 10), "2023-02-29", ""},
        {"DATE garbage", Column(10, 10), "yesterday", ""},
        {"DATETIME fraction cut", Column(12, 26, 0, 6), "2024-01-02 03:04:05.999999",
         "02.01.2024 03:04:05"},
        {"DATETIME zero", Column(12, 19), "0000-00-00 00:00:00", ""},
        {"DATETIME before day zero", Column(12, 19), "1800-06-15 12:30:00", "15.06.1800 12:30:00"},
        {"DATETIME first day", Column(12, 19), "0001-01-01 00:00:00", "01.01.0001 00:00:00"},
        {"TIME -838", Column(11, 13, 0, 2), "-838:59:59.99", "-838:59:59"},
        {"TIME 08:30", Column(11, 10), "08:30:00", "08:30:00"},
        {"TIMESTAMP", Column(7, 19), "2038-01-19 03:14:07", "19.01.2038 03:14:07"},
        {"TIMESTAMP(3)", Column(7, 23, 0, 3), "2038-01-19 03:14:07.999", "19.01.2038 03:14:07"},
        {"TIMESTAMP in utf8", Column(7, 57, 0, 0, 33), "2024-01-02 03:04:05",
         "02.01.2024 03:04:05"},
        {"TIMESTAMP 14", Column(7, 14), "20240102030405", "02.01.2024 03:04:05"},
        {"TIMESTAMP 12", Column(7, 12), "690102030405", "02.01.2069 03:04:05"},
        {"TIMESTAMP 10", Column(7, 10), "7001020304", "02.01.1970 03:04:00"},
        {"TIMESTAMP 8", Column(7, 8), "20240229", "29.02.2024 00:00:00"},
        {"TIMESTAMP 6", Column(7, 6), "991231", "31.12.1999 00:00:00"},
        {"TIMESTAMP 4", Column(7, 4), "2402", "01.02.2024 00:00:00"},
        {"TIMESTAMP 2", Column(7, 2), "70", "01.01.1970 00:00:00"},
        {"TIMESTAMP zero", Column(7, 14), "00000000000000", ""},
        {"VARBINARY(8) holding 00", Column(253, 8, BINARY_FLAG, 0, 63), std::string(1, '\0'),
         std::string(1, '\0')},
        {"VARCHAR Turkish latin5", Column(253, 40), "\xC7\xD0\xDD\xF6\xFE\xFC",
         "\xC7\xD0\xDD\xF6\xFE\xFC"},
        {"BLOB", Column(252, 65535, BINARY_FLAG, 0, 63), std::string("\0\xFF\0", 3),
         std::string("\0\xFF\0", 3)},
        {"JSON", Column(245, 0xFFFFFFFF), "{\"a\": 1}", "{\"a\": 1}"},
        {"ENUM", Column(247, 1), "b", "b"},
        {"empty string", Column(253), "", ""},
        {"NULL", Column(3, 11), std::nullopt, ""},
    };
    for (const Case& c : cases)
        EXPECT_EQ(Read(c.column, c.value), c.expect) << c.what;

    // A long text value keeps every byte.
    std::string longText(100000, 'x');
    longText[50000] = '\0';
    EXPECT_EQ(Read(Column(252, 0xFFFFFF), longText), longText);

    // Without NullForZeroDate an impossible date is 0001-01-01.
    TMySQLRecordSetOptions keepZero;
    keepZero.NullForZeroDate = false;
    EXPECT_EQ(Read(Column(10, 10), "0000-00-00", keepZero), "01.01.0001");
    EXPECT_EQ(Read(Column(12, 19), "2024-13-01 00:00:00", keepZero), "01.01.0001 00:00:00");
}

TEST(MySqlValues, ValuesThatCannotBeConverted) {
    struct Case {
        const char* what;
        std::string column;
        std::string value;
        std::string expect;
    } cases[] = {
        {"two points", Column(5), "1.2.3", "'1.2.3' is not a valid floating point value"},
        {"bad exponent", Column(5), "1e+x", "'1e+x' is not a valid integer value"},
        {"no digits", Column(246, 10), "-.", "'-.' is not a valid floating point value"},
        {"empty float", Column(5), "", "'' is not a valid floating point value"},
        {"float overflow", Column(5), "1e999", "'1e999' is not a valid floating point value"},
        {"INT too big", Column(3, 11), "2147483648", "'2147483648' is not a valid integer value"},
        {"TINYINT too small", Column(1, 4), "-129", "'-129' is not a valid integer value"},
        {"not a number", Column(3, 11), "12a", "'12a' is not a valid integer value"},
        {"empty INT", Column(3, 11), "", "'' is not a valid integer value"},
        {"only a minus", Column(8, 20), "-", "'-' is not a valid integer value"},
        {"BIGINT too big", Column(8, 20), "9223372036854775808",
         "'9223372036854775808' is not a valid integer value"},
        {"beyond 64 bits", Column(8, 20, UNSIGNED_FLAG), "18446744073709551616",
         "'18446744073709551616' is not a valid integer value"},
        {"negative unsigned", Column(8, 20, UNSIGNED_FLAG), "-1",
         "'-1' is not a valid integer value"},
        {"BIT of 9 bytes", Column(16, 64), "123456789", "'123456789' is not a valid integer value"},
        {"four hour digits", Column(11, 10), "1234:00:00", "Wrong time format at field v"},
        {"no colon", Column(11, 10), "8", "Wrong time format at field v"},
        {"cut short", Column(11, 10), "08:3", "Wrong time format at field v"},
        {"61 minutes", Column(11, 10), "08:61:00", "Wrong time format at field v"},
        {"TIMESTAMP length", Column(7, 5), "12345",
         "Invalid FIELD_TYPE_TIMESTAMP Field.Length (5)"},
        {"unknown type", Column(17), "x", "Unknown MySQL datatype (17)"},
    };
    for (const Case& c : cases)
        EXPECT_EQ(Read(c.column, c.value), "error: " + c.expect) << c.what;
}

TEST(MySqlValues, FloatsAreCorrectlyRounded) {
    struct Case {
        std::string text;
        double expect;
    } cases[] = {
        // Past the 36th character.
        {"0.000000000000000000000000000000000001234", 1.234e-36},
        {"12345678901234567890123456789012345678901234567890",
         12345678901234567890123456789012345678901234567890.0},
        {"-12345678901234567890123456789012345.123456789012345678901234567890",
         -12345678901234567890123456789012345.123456789012345678901234567890},
        // Halfway between two doubles: ties to even.
        {"9007199254740993", 9007199254740992.0},
        {"0.1", 0.1},
        {"+1.5e3", 1500.0},
        {"2.2250738585072011e-308", 2.2250738585072011e-308},
        {"1.7976931348623157e308", 1.7976931348623157e308},
    };
    for (const Case& c : cases) {
        MemoryServer m(ResultReply({Column(246, 70, 0, 30)}, {{c.text}}));
        EXPECT_EQ(m.Open("SELECT v").Fields(0).AsFloat(), c.expect) << c.text;
    }
}

TEST(MySqlQuery, NullEmptyAndTypedReads) {
    MemoryServer m(ResultReply({ColumnDef("Id", 8, 20), ColumnDef("ad"), ColumnDef("b", 1, 1),
                                ColumnDef("u", 8, 20, UNSIGNED_FLAG)},
                               {{"-9223372036854775808", std::nullopt, "1", "18446744073709551615"},
                                {"7", "", "0", "5"}}));
    TMyQuery& q = m.Open("SELECT *");
    EXPECT_EQ(q.RecordCount(), 2u);
    EXPECT_EQ(q.FieldByName("ID").AsInteger(), INT64_MIN);
    EXPECT_TRUE(q.FieldByName("AD").IsNull());
    EXPECT_TRUE(q.FieldByName("b").AsBoolean());
    EXPECT_THROW(q.FieldByName("u").AsInteger(), EDatabaseError);
    EXPECT_EQ(q.FieldByName("u").AsFloat(), 18446744073709551615.0);
    q.Next();
    EXPECT_FALSE(q.FieldByName("ad").IsNull());
    EXPECT_EQ(q.FieldByName("ad").AsString(), "");
    EXPECT_EQ(q.FieldByName("id").AsFloat(), 7.0);
    EXPECT_EQ(q.FieldByName("u").AsInteger(), 5);
    try {
        q.FieldByName("soyad");
        ADD_FAILURE();
    } catch (const EDatabaseError& e) {
        EXPECT_STREQ(e.what(), "Field 'soyad' not found");
    }
}

TEST(MySqlQuery, ClosedQueryRefusesWork) {
    MemoryServer m(ResultReply({ColumnDef("a")}, {{"x"}}) + ResultReply({ColumnDef("b")}, {}));
    TMyQuery& q = m.query;
    const std::string closed = "Cannot perform this operation on a closed dataset";
    auto message = [](auto f) {
        try {
            f();
        } catch (const EDatabaseError& e) {
            return std::string(e.what());
        }
        return std::string("no error");
    };
    EXPECT_TRUE(q.Eof());
    EXPECT_EQ(message([&] { q.First(); }), closed);
    EXPECT_EQ(message([&] { q.Next(); }), closed);
    EXPECT_EQ(message([&] { q.RecordCount(); }), closed);
    EXPECT_EQ(message([&] { q.FieldByName("a"); }), closed);

    // A field kept from an earlier opening reads nothing freed.
    TField a = m.Open("SELECT a").FieldByName("a");
    EXPECT_EQ(a.AsString(), "x");
    q.Close();
    EXPECT_EQ(message([&] { a.AsString(); }), closed);
    q.Open(); // the second reply: no records, Eof at once, fields still there
    EXPECT_EQ(message([&] { a.AsString(); }), closed);
    EXPECT_EQ(q.RecordCount(), 0u);
    EXPECT_TRUE(q.Eof());
    EXPECT_EQ(q.FieldByName("B").AsString(), "");
    EXPECT_TRUE(q.FieldByName("b").IsNull());
}

TEST(MySqlQuery, BlocksAreFetchedAsTheCursorMoves) {
    MemoryServer m(ResultReply({ColumnDef("n", 3, 11)}, Numbers(1, 7)) +
                   ResultReply({ColumnDef("n", 3, 11)}, Numbers(1, 5)) +
                   ResultReply({ColumnDef("m")}, {{"sonraki"}}));
    TMyQuery& q = m.query;
    q.FetchAll = false;
    q.FetchRows = 3;
    m.Open("SELECT n");
    EXPECT_EQ(q.RecordCount(), 3u);
    EXPECT_EQ(Column0(q), (std::vector<std::string>{"1", "2", "3", "4", "5", "6", "7"}));
    EXPECT_EQ(q.RecordCount(), 7u);
    q.First(); // the records stay for going back
    EXPECT_EQ(q.Fields(0).AsString(), "1");

    // Closing after 4 of 5 rows drops the rest: the next statement reads its own reply.
    q.Close();
    m.Open("SELECT n");
    for (int i = 0; i < 3; ++i)
        q.Next();
    EXPECT_EQ(q.Fields(0).AsString(), "4");
    q.Close();
    q.FetchAll = true;
    EXPECT_EQ(Column0(m.Open("SELECT m")), std::vector<std::string>{"sonraki"});
}

TEST(MySqlQuery, BadValueClosesTheQueryAndKeepsTheSession) {
    for (bool fetchAll : {true, false}) {
        std::vector<Row> rows = Numbers(1, 60);
        rows[40] = {"kırk"};
        MemoryServer m(ResultReply({ColumnDef("n", 3, 11)}, rows) +
                       ResultReply({ColumnDef("m")}, {{"sonraki"}}));
        TMyQuery& q = m.query;
        q.FetchAll = fetchAll;
        try {
            m.Open("SELECT n");
            while (!q.Eof())
                q.Next();
            ADD_FAILURE();
        } catch (const EDatabaseError& e) {
            EXPECT_STREQ(e.what(), "'kırk' is not a valid integer value");
        }
        EXPECT_FALSE(q.Active());
        EXPECT_TRUE(m.connection.Connected());
        EXPECT_EQ(Column0(m.Open("SELECT m")), std::vector<std::string>{"sonraki"});
    }
}

TEST(MySqlQuery, StatementWithoutRowsAndTheStatementText) {
    MemoryServer m(Packet(1, OkPayload(3)) + Packet(1, OkPayload(4)));
    TMyQuery& q = m.query;
    q.SQL.Add("UPDATE personel");
    q.SQL.Add("SET ad = 'x'");
    EXPECT_EQ(q.SQL.Text(), "UPDATE personel\r\nSET ad = 'x'");
    try {
        q.Open();
        ADD_FAILURE();
    } catch (const EDatabaseError& e) {
        EXPECT_STREQ(e.what(), "SQL statement doesn't return rows");
    }
    EXPECT_FALSE(q.Active());
    q.ExecSQL();
    EXPECT_EQ(q.RowsAffected(), 4);

    q.SQL.SetText("a\r\nb\nc\rd\n");
    EXPECT_EQ(q.SQL.Count(), 4u);
    EXPECT_EQ(q.SQL.Text(), "a\r\nb\r\nc\r\nd");
}
