#include "registry/TerminalCommands.h"
#include "core/AppError.h"
#include "core/Database.h"
#include "core/TfrmDM.h"
#include "core/testing/RecordingOperator.h"
#include "core/testing/TestProgramDir.h"
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

TEST_F(TerminalCommandsTest, NameCheck) {
    const SaveResult refused = addTerminal(dm, fields(""), op);
    EXPECT_FALSE(refused.saved);
    ASSERT_EQ(op.messages.size(), 1u);
    EXPECT_EQ(op.messages[0].text, QStringLiteral("Terminal Adını Giriniz."));
    EXPECT_EQ(op.messages[0].title, QStringLiteral("UYARI"));
    EXPECT_EQ(dm.qrycihaz.rowCount(), 0);

    // Blanks pass the check and are stored trimmed to nothing.
    EXPECT_TRUE(addTerminal(dm, fields("   "), op).saved);
    EXPECT_EQ(names(), QStringList{""});
    EXPECT_FALSE(updateTerminal(dm, 0, fields(""), op).saved);
    EXPECT_EQ(op.messages.size(), 2u);
}

TEST_F(TerminalCommandsTest, NamesAreBoundNotSpliced) {
    const QString tricky = "O'Brien'; drop table Terminal; --";
    addTerminal(dm, fields(tricky), op);
    EXPECT_EQ(names(), QStringList{tricky});
}

TEST_F(TerminalCommandsTest, NumericFieldsTakeOnlyWholeNumbersInTheIntegerRange) {
    using Setter = void (*)(TerminalFields&, const QString&);
    const std::pair<const char*, Setter> numericFields[] = {
        {"TerminalNo", [](TerminalFields& f, const QString& v) { f.machineNo = v; }},
        {"NetPort", [](TerminalFields& f, const QString& v) { f.netPort = v; }},
        {"Sifre", [](TerminalFields& f, const QString& v) { f.password = v; }},
    };
    addTerminal(dm, fields("Kapı"), op);
    for (const auto& [column, set] : numericFields) {
        SCOPED_TRACE(column);
        for (const char* typed :
             {"50a5", "bir", "1e3", "12.0", "0x10", "99999999999", "2147483648", "-2147483649"}) {
            TerminalFields f = fields("Hatalı");
            set(f, typed);
            for (const bool adding : {true, false}) {
                try {
                    adding ? addTerminal(dm, f, op) : updateTerminal(dm, 0, f, op);
                    ADD_FAILURE() << typed << " accepted";
                } catch (const AppError& e) {
                    EXPECT_EQ(e.text(),
                              QStringLiteral("'%1' geçerli bir tam sayı değil.").arg(typed));
                }
            }
        }
        // The ends of the range are whole numbers; blanks around them go.
        for (const char* typed : {" -2147483648 ", "2147483647"}) {
            TerminalFields f = fields("Kapı");
            set(f, typed);
            ASSERT_TRUE(updateTerminal(dm, 0, f, op).saved);
            EXPECT_EQ(rowNamed("Kapı").value(column).toLongLong(),
                      QString(typed).trimmed().toLongLong());
        }
    }
    EXPECT_EQ(names(), QStringList{"Kapı"}) << "nothing refused was stored";

    // An empty numeric field leaves the column empty.
    TerminalFields empty = fields("Boş");
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
