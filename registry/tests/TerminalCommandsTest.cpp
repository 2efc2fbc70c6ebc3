#include "registry/TerminalCommands.h"

#include "core/AppError.h"
#include "core/Database.h"
#include "core/TfrmDM.h"
#include "core/testing/RecordingOperator.h"
#include "core/testing/TestProgramDir.h"
#include "registry/TerminalCheck.h"
#include "registry/TerminalList.h"

#include <QSqlQuery>

#include <gtest/gtest.h>

namespace {

class TerminalCommandsTest : public ::testing::Test {
  protected:
    void SetUp() override {
        files.openOn(dm);
        reopenTerminalList(dm);
    }

    static TerminalFields fields(const QString& name, int typeIndex = 1) {
        TerminalFields f;
        f.name = name;
        f.machineNo = " 7 ";
        f.typeIndex = typeIndex;
        f.comPort = "2";
        f.comBaud = "19200";
        f.ip = " 10.0.0.9 ";
        f.netPort = "5005";
        f.password = "0";
        return f;
    }

    QStringList names() const {
        QStringList out;
        for (int r = 0; r < dm.qrycihaz.rowCount(); ++r) {
            out << dm.qrycihaz.record(r).value("Terminal").toString();
        }
        return out;
    }

    QSqlRecord rowNamed(const QString& name) const {
        for (int r = 0; r < dm.qrycihaz.rowCount(); ++r) {
            if (dm.qrycihaz.record(r).value("Terminal").toString() == name) {
                return dm.qrycihaz.record(r);
            }
        }
        return {};
    }

    TestProgramDir files;
    TfrmDM dm;
    RecordingOperator op;
};

TEST_F(TerminalCommandsTest, AddEditDeleteAndTheSelectionAfterEach) {
    EXPECT_EQ(addTerminal(dm, fields("Şube"), op).selectRow, 0);
    EXPECT_EQ(addTerminal(dm, fields("Çarşı"), op).selectRow, 0);
    const SaveResult added = addTerminal(dm, fields("Ambar"), op);
    EXPECT_TRUE(added.saved);
    EXPECT_EQ(added.selectRow, 0);
    EXPECT_EQ(names(), (QStringList{"Ambar", "Çarşı", "Şube"}));

    const QSqlRecord stored = rowNamed("Ambar");
    EXPECT_EQ(stored.value("TerminalNo").toInt(), 7);
    EXPECT_EQ(stored.value("Ip").toString(), "10.0.0.9") << "fields are trimmed";
    EXPECT_EQ(stored.value("NetPort").toInt(), 5005);

    // Editing "Çarşı" (row 1) into "Zemin" moves it last; the selection
    // follows the edited row.
    const SaveResult updated = updateTerminal(dm, 1, fields("Zemin"), op);
    EXPECT_TRUE(updated.saved);
    EXPECT_EQ(names(), (QStringList{"Ambar", "Şube", "Zemin"}));
    EXPECT_EQ(updated.selectRow, 2);

    op.answers = {false};
    EXPECT_FALSE(deleteTerminal(dm, 1, op).has_value());
    EXPECT_EQ(names().size(), 3);
    op.answers = {true};
    EXPECT_EQ(deleteTerminal(dm, 1, op), std::optional<int>(0));
    EXPECT_EQ(names(), (QStringList{"Ambar", "Zemin"}));
    EXPECT_EQ(op.questions.last(),
              QStringLiteral("UYARI: Seçili kaydı Silmek İstiyor musunuz...?"));
}

TEST_F(TerminalCommandsTest, TypeListMapsToTipInBothRoutines) {
    const char* tips[] = {"com", "ethernet", "usb"};
    for (int index = 0; index < 3; ++index) {
        addTerminal(dm, fields(QString("T%1").arg(index), index), op);
        EXPECT_EQ(rowNamed(QString("T%1").arg(index)).value("Tip").toString(), tips[index]);
    }
    // Update the ethernet one to each type in turn.
    for (int index = 0; index < 3; ++index) {
        const int row = names().indexOf("T1");
        updateTerminal(dm, row, fields("T1", index), op);
        EXPECT_EQ(rowNamed("T1").value("Tip").toString(), tips[index]);
        EXPECT_EQ(fieldsFromRow(rowNamed("T1")).typeIndex, index);
    }
}

TEST_F(TerminalCommandsTest, EmptyNameIsRefusedInBothRoutines) {
    const SaveResult refused = addTerminal(dm, fields(""), op);
    EXPECT_FALSE(refused.saved);
    EXPECT_EQ(refused.badField, TerminalField::Name);
    ASSERT_EQ(op.messages.size(), 1u);
    EXPECT_EQ(op.messages[0].text, QStringLiteral("Terminal Adını Giriniz."));
    EXPECT_EQ(op.messages[0].title, QStringLiteral("UYARI"));
    EXPECT_EQ(dm.qrycihaz.rowCount(), 0);

    EXPECT_TRUE(addTerminal(dm, fields("Kapı"), op).saved);
    EXPECT_FALSE(updateTerminal(dm, 0, fields(""), op).saved);
    EXPECT_EQ(op.messages.size(), 2u);
    EXPECT_EQ(names(), QStringList{"Kapı"});
}

// Each value both routines and the command line check, on a TCP or serial
// row: refused with a message that names the field, or stored as given here.
TEST_F(TerminalCommandsTest, RowCheckTakesOnlyValuesAConnectCanUse) {
    using Edit = void (*)(TerminalFields&);
    const QString fifty(kTerminalNameMax, u'ş');
    static QString longName; // a capture-free lambda below reads it
    longName = fifty;
    const struct {
        const char* what;
        Edit edit;
        std::optional<TerminalField> refusedField; // empty: accepted
        const char* column = nullptr;              // accepted: the column to look at
        QVariant stored = {};
    } cases[] = {
        // The name: printable, not blank, within the column's width.
        {"blank name", [](TerminalFields& f) { f.name = "   "; }, TerminalField::Name},
        {"newline", [](TerminalFields& f) { f.name = "Kapı\nİki"; }, TerminalField::Name},
        {"carriage return", [](TerminalFields& f) { f.name = "Kapı\rX"; }, TerminalField::Name},
        {"escape", [](TerminalFields& f) { f.name = "\x1b[2JKapı"; }, TerminalField::Name},
        {"bell", [](TerminalFields& f) { f.name = "Kapı\a"; }, TerminalField::Name},
        {"tab", [](TerminalFields& f) { f.name = "Kapı\tİki"; }, TerminalField::Name},
        {"C1 control", [](TerminalFields& f) { f.name = QString("Kapı") + QChar(0x9b); },
         TerminalField::Name},
        {"bidi override", [](TerminalFields& f) { f.name = QString("Kapı") + QChar(0x202e); },
         TerminalField::Name},
        {"line separator", [](TerminalFields& f) { f.name = QString("A") + QChar(0x2028) + "B"; },
         TerminalField::Name},
        {"width + 1", [](TerminalFields& f) { f.name = longName + "x"; }, TerminalField::Name},
        {"width", [](TerminalFields& f) { f.name = longName; }, {}, "Terminal", fifty},
        {"blanks around go",
         [](TerminalFields& f) { f.name = "  Çarşı Kapısı  "; },
         {},
         "Terminal",
         "Çarşı Kapısı"},
        // The address: IPv4 parts 0-255, a host name or IPv6, never a port.
        {"port in address", [](TerminalFields& f) { f.ip = "127.0.0.1:5005"; }, TerminalField::Ip},
        {"part over 255", [](TerminalFields& f) { f.ip = "999.1.1.1"; }, TerminalField::Ip},
        {"three parts", [](TerminalFields& f) { f.ip = "10.0.0"; }, TerminalField::Ip},
        {"five parts", [](TerminalFields& f) { f.ip = "10.0.0.1.2"; }, TerminalField::Ip},
        {"leading zero", [](TerminalFields& f) { f.ip = "010.0.0.1"; }, TerminalField::Ip},
        {"numeric last label", [](TerminalFields& f) { f.ip = "kapi.5"; }, TerminalField::Ip},
        {"underscore", [](TerminalFields& f) { f.ip = "kapı_1"; }, TerminalField::Ip},
        {"hyphen first", [](TerminalFields& f) { f.ip = "-kapi"; }, TerminalField::Ip},
        {"brackets", [](TerminalFields& f) { f.ip = "[::1]"; }, TerminalField::Ip},
        {"blank address", [](TerminalFields& f) { f.ip = " "; }, TerminalField::Ip},
        {"IPv4", [](TerminalFields& f) { f.ip = " 255.0.10.1 "; }, {}, "Ip", "255.0.10.1"},
        {"host name",
         [](TerminalFields& f) { f.ip = "terminal-1.fabrika.local"; },
         {},
         "Ip",
         "terminal-1.fabrika.local"},
        {"IPv6", [](TerminalFields& f) { f.ip = "fe80::1"; }, {}, "Ip", "fe80::1"},
        {"IPv4 in IPv6",
         [](TerminalFields& f) { f.ip = "::ffff:10.0.0.9"; },
         {},
         "Ip",
         "::ffff:10.0.0.9"},
        {"trailing dot", [](TerminalFields& f) { f.ip = "10.0.0.9."; }, TerminalField::Ip},
        // The TCP port: 1-65535 in digits, stored as a number.
        {"port with sign", [](TerminalFields& f) { f.netPort = "+5"; }, TerminalField::NetPort},
        {"port zero-filled", [](TerminalFields& f) { f.netPort = "00005"; },
         TerminalField::NetPort},
        {"port 0", [](TerminalFields& f) { f.netPort = "0"; }, TerminalField::NetPort},
        {"port 65536", [](TerminalFields& f) { f.netPort = "65536"; }, TerminalField::NetPort},
        {"no port", [](TerminalFields& f) { f.netPort = ""; }, TerminalField::NetPort},
        {"port 65535", [](TerminalFields& f) { f.netPort = "65535"; }, {}, "NetPort", 65535},
        // The serial row: a port number from 1 and a standard speed.
        {"baud 12345",
         [](TerminalFields& f) {
             f.typeIndex = 0;
             f.comBaud = "12345";
         },
         TerminalField::ComBaud},
        {"baud with sign",
         [](TerminalFields& f) {
             f.typeIndex = 0;
             f.comBaud = "+9600";
         },
         TerminalField::ComBaud},
        {"baud zero-filled",
         [](TerminalFields& f) {
             f.typeIndex = 0;
             f.comBaud = "09600";
         },
         TerminalField::ComBaud},
        {"baud 115200",
         [](TerminalFields& f) {
             f.typeIndex = 0;
             f.comBaud = "115200";
         },
         {},
         "ComBaud",
         "115200"},
        {"com port 0",
         [](TerminalFields& f) {
             f.typeIndex = 0;
             f.comPort = "0";
         },
         TerminalField::ComPort},
        {"com port with sign",
         [](TerminalFields& f) {
             f.typeIndex = 0;
             f.comPort = "+2";
         },
         TerminalField::ComPort},
        {"serial row keeps a TCP port it doesn't use",
         [](TerminalFields& f) {
             f.typeIndex = 0;
             f.netPort = "0";
         },
         {},
         "NetPort",
         0},
        // The machine number keeps the 32-bit signed range.
        {"machine 2^31", [](TerminalFields& f) { f.machineNo = "2147483648"; },
         TerminalField::MachineNo},
        {"machine -2^31",
         [](TerminalFields& f) { f.machineNo = "-2147483648"; },
         {},
         "TerminalNo",
         qlonglong(INT32_MIN)},
        {"type outside the list", [](TerminalFields& f) { f.typeIndex = 3; }, TerminalField::Type},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        TerminalFields f = fields("Kapı");
        c.edit(f);
        op.messages.clear();
        const std::optional<FieldProblem> problem = checkTerminalFields(f);
        const SaveResult added = addTerminal(dm, f, op);
        if (c.refusedField) {
            ASSERT_TRUE(problem.has_value());
            EXPECT_EQ(problem->field, *c.refusedField);
            EXPECT_FALSE(added.saved);
            EXPECT_EQ(added.badField, c.refusedField);
            ASSERT_EQ(op.messages.size(), 1u);
            EXPECT_EQ(op.messages[0].title, QStringLiteral("UYARI"));
            EXPECT_EQ(op.messages[0].text, problem->text);
            for (const QChar ch : problem->text)
                EXPECT_TRUE(ch.isPrint()) << "the message shows values escaped";
            EXPECT_EQ(dm.qrycihaz.rowCount(), 0) << "nothing stored";
        } else {
            EXPECT_FALSE(problem.has_value()) << problem->text.toStdString();
            ASSERT_TRUE(added.saved);
            ASSERT_EQ(dm.qrycihaz.rowCount(), 1);
            EXPECT_EQ(dm.qrycihaz.record(0).value(c.column), c.stored);
            execSql(dm.ADOConnection1(), "delete from Terminal");
            reopenTerminalList(dm);
        }
    }
}

// A row stored by an older version, with values the check now refuses,
// still lists and opens in the editor as it is; the check names what is
// wrong with it, and nothing rewrites it.
TEST_F(TerminalCommandsTest, OldOddRowLoadsUnchangedAndTheCheckNamesItsFault) {
    execSql(dm.ADOConnection1(),
            "insert into Terminal (TerminalNo, Terminal, Tip, ComPort, ComBaud, Ip, NetPort, "
            "Sifre) values (4, ?, 'ethernet', '1', '9600', '127.0.0.1:5005', 6, 0)",
            {QString("Kapı\x1b[2J")});
    execSql(dm.ADOConnection1(),
            "insert into Terminal (TerminalNo, Terminal, Tip, ComPort, ComBaud, Ip, NetPort, "
            "Sifre) values (5, 'Depo', 'ETHERNET', '', '', '10.0.0.9', 5005, 0)");
    reopenTerminalList(dm);
    ASSERT_EQ(dm.qrycihaz.rowCount(), 2);

    const std::optional<FieldProblem> depo = checkTerminalRow(terminalRow(dm, 0));
    ASSERT_TRUE(depo.has_value());
    EXPECT_EQ(depo->field, TerminalField::Type);
    EXPECT_TRUE(depo->text.contains("'ETHERNET'")) << depo->text.toStdString();

    const std::optional<FieldProblem> kapi = checkTerminalRow(terminalRow(dm, 1));
    ASSERT_TRUE(kapi.has_value());
    EXPECT_EQ(kapi->field, TerminalField::Name);
    EXPECT_TRUE(kapi->text.contains("'Kapı\\x1B[2J'")) << kapi->text.toStdString();

    const EditStart start = startEdit(dm, 1);
    ASSERT_TRUE(start.fields.has_value());
    EXPECT_EQ(start.fields->name, "Kapı\x1b[2J");
    EXPECT_EQ(start.fields->ip, "127.0.0.1:5005");
    EXPECT_EQ(start.fields->netPort, "6");

    // Saving it as it is: refused at the name, the stored row untouched.
    EXPECT_FALSE(updateTerminal(dm, 1, *start.fields, op).saved);
    QSqlQuery stored = execSql(dm.ADOConnection1(), "select Terminal, Ip, NetPort from Terminal "
                                                    "where TerminalNo = 4");
    ASSERT_TRUE(stored.next());
    EXPECT_EQ(stored.value(0).toString(), "Kapı\x1b[2J");
    EXPECT_EQ(stored.value(1).toString(), "127.0.0.1:5005");
    EXPECT_EQ(stored.value(2).toInt(), 6);
}

TEST(EscapedText, ShowsEveryUnprintableCharacterAsAnEscape) {
    const struct {
        QString raw;
        QString shown;
    } cases[] = {
        {"Çarşı Kapısı", "Çarşı Kapısı"},
        {"a\nb\rc\td", "a\\x0Ab\\x0Dc\\x09d"},
        {"\x1b[2J\a\x7f", "\\x1B[2J\\x07\\x7F"},
        {QString("x") + QChar(0x9b) + QChar(0x202e) + QChar(0x2028), "x\\x9B\\u202E\\u2028"},
        {QString("lone ") + QChar(0xd800), "lone \\uD800"},
        {QString::fromUcs4(U"yüz \U0001F600"), QString::fromUcs4(U"yüz \U0001F600")},
    };
    for (const auto& c : cases)
        EXPECT_EQ(escapedText(c.raw), c.shown) << c.raw.toStdString();
}

TEST_F(TerminalCommandsTest, NamesAreBoundNotSpliced) {
    const QString tricky = "O'Brien'; drop table Terminal; --";
    addTerminal(dm, fields(tricky), op);
    EXPECT_EQ(names(), QStringList{tricky});
}

// On a USB row, where the port rules don't apply: what the numeric columns
// hold at all.
TEST_F(TerminalCommandsTest, NumericFieldsTakeOnlyWholeNumbersInTheIntegerRange) {
    using Setter = void (*)(TerminalFields&, const QString&);
    const struct {
        const char* column;
        const char* label;
        Setter set;
    } numericFields[] = {
        {"TerminalNo", "Cihaz No", [](TerminalFields& f, const QString& v) { f.machineNo = v; }},
        {"NetPort", "TCP portu", [](TerminalFields& f, const QString& v) { f.netPort = v; }},
        {"Sifre", "Şifre", [](TerminalFields& f, const QString& v) { f.password = v; }},
    };
    const int usb = 2;
    addTerminal(dm, fields("Kapı", usb), op);
    for (const auto& [column, label, set] : numericFields) {
        SCOPED_TRACE(column);
        for (const char* typed :
             {"50a5", "bir", "1e3", "12.0", "0x10", "99999999999", "2147483648", "-2147483649"}) {
            TerminalFields f = fields("Hatalı", usb);
            set(f, typed);
            for (const bool adding : {true, false}) {
                op.messages.clear();
                const SaveResult r = adding ? addTerminal(dm, f, op) : updateTerminal(dm, 0, f, op);
                EXPECT_FALSE(r.saved) << typed;
                ASSERT_EQ(op.messages.size(), 1u);
                EXPECT_EQ(op.messages[0].text,
                          QStringLiteral("%1: '%2' geçerli bir tam sayı değil.").arg(label, typed));
            }
        }
        // The ends of the range are whole numbers; blanks around them go.
        for (const char* typed : {" -2147483648 ", "2147483647"}) {
            TerminalFields f = fields("Kapı", usb);
            set(f, typed);
            ASSERT_TRUE(updateTerminal(dm, 0, f, op).saved);
            EXPECT_EQ(rowNamed("Kapı").value(column).toLongLong(),
                      QString(typed).trimmed().toLongLong());
        }
    }
    EXPECT_EQ(names(), QStringList{"Kapı"}) << "nothing refused was stored";

    // An empty numeric field leaves the column empty.
    TerminalFields empty = fields("Boş", usb);
    empty.netPort = " ";
    EXPECT_TRUE(addTerminal(dm, empty, op).saved);
    EXPECT_TRUE(rowNamed("Boş").isNull("NetPort"));
}

TEST_F(TerminalCommandsTest, UpdateOfARowDeletedMeanwhileIsNotSaved) {
    addTerminal(dm, fields("Ambar"), op);
    addTerminal(dm, fields("Depo"), op);
    // Another copy of the program deletes "Ambar" while the editor is open
    // on it; the list still shows it.
    execSql(dm.ADOConnection1(), "delete from Terminal where Terminal = 'Ambar'");
    ASSERT_EQ(names(), (QStringList{"Ambar", "Depo"}));

    EXPECT_FALSE(updateTerminal(dm, 0, fields("Ambar Yeni"), op).saved);
    ASSERT_EQ(op.messages.size(), 1u);
    EXPECT_EQ(op.messages[0].title, QStringLiteral("UYARI"));
    EXPECT_TRUE(op.messages[0].text.startsWith(QStringLiteral("Bu terminal kaydı artık yok")));
    QSqlQuery left = execSql(dm.ADOConnection1(), "select Terminal from Terminal");
    ASSERT_TRUE(left.next());
    EXPECT_EQ(left.value(0).toString(), "Depo");
    EXPECT_FALSE(left.next());
}

TEST_F(TerminalCommandsTest, EditStartsOnlyWithARow) {
    EXPECT_FALSE(startEdit(dm, -1).open) << "empty list: nothing happens";
    addTerminal(dm, fields("Depo", 2), op);
    const EditStart start = startEdit(dm, 0);
    ASSERT_TRUE(start.open);
    ASSERT_TRUE(start.fields.has_value());
    EXPECT_EQ(start.fields->name, "Depo");
    EXPECT_EQ(start.fields->machineNo, "7");
    EXPECT_EQ(start.fields->typeIndex, 2);
}

} // namespace
