// The editor window on the row check: a refused field gets the focus, and a
// stored row with odd values opens whole with a note under the fields.

#include "registry/Tfrmyeni.h"

#include "core/TfrmDM.h"
#include "core/testing/RecordingOperator.h"
#include "core/testing/TestProgramDir.h"
#include "registry/TerminalCheck.h"
#include "registry/TerminalList.h"

#include <QApplication>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>

#include <gtest/gtest.h>

namespace {

class TfrmyeniTest : public ::testing::Test {
  protected:
    void SetUp() override {
        files.openOn(dm);
        reopenTerminalList(dm);
        yeni.mode = "yeni";
        yeni.Edit1->setText("Kapı");
    }
    TestProgramDir files;
    TfrmDM dm;
    RecordingOperator op;
    Tfrmyeni yeni{dm, op};
};

TEST_F(TfrmyeniTest, RefusedFieldGetsTheFocusAndTheEditorStaysOpen) {
    const struct {
        int typeIndex;
        QLineEdit* Tfrmyeni::*field;
        const char* typed;
    } cases[] = {
        {1, &Tfrmyeni::Edit4, "127.0.0.1:5005"}, {1, &Tfrmyeni::Edit5, "+5"},
        {0, &Tfrmyeni::Edit3, "12345"},          {0, &Tfrmyeni::Edit7, "1e3"},
        {2, &Tfrmyeni::Edit1, "Kapı\x1b"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.typed);
        yeni.ComboBox1->setCurrentIndex(c.typeIndex);
        yeni.showGroupFor(c.typeIndex);
        QLineEdit* field = yeni.*c.field;
        const QString before = field->text();
        field->setText(c.typed);
        op.messages.clear();
        yeni.setResult(QDialog::Rejected);
        yeni.BitBtn2Click();
        EXPECT_NE(yeni.result(), QDialog::Accepted);
        ASSERT_EQ(op.messages.size(), 1u);
        EXPECT_EQ(op.messages[0].title, "UYARI");
        EXPECT_EQ(yeni.focusWidget(), field);
        field->setText(before);
    }
    EXPECT_EQ(dm.qrycihaz.rowCount(), 0);
}

TEST_F(TfrmyeniTest, OddStoredRowOpensWholeWithANoteUntilTheEditorCloses) {
    EXPECT_EQ(yeni.Edit1->maxLength(), kTerminalNameMax);
    TerminalFields odd;
    odd.name = QString(kTerminalNameMax + 5, u'a');
    odd.machineNo = "1";
    odd.typeIndex = 1;
    odd.ip = "10.0.0.9";
    odd.netPort = "5005";
    odd.password = "0";
    yeni.setFields(odd);
    EXPECT_EQ(yeni.Edit1->text(), odd.name) << "nothing cut";
    EXPECT_FALSE(yeni.lblRowProblem->isHidden());
    EXPECT_TRUE(yeni.lblRowProblem->text().contains("en çok 50 karakter"))
        << yeni.lblRowProblem->text().toStdString();

    yeni.Button1Click();
    EXPECT_TRUE(yeni.lblRowProblem->isHidden()) << "the note was for that row";

    odd.name = "Kapı";
    yeni.setFields(odd);
    EXPECT_TRUE(yeni.lblRowProblem->isHidden());
    EXPECT_EQ(yeni.Edit1->maxLength(), kTerminalNameMax);
}

} // namespace

int main(int argc, char** argv) {
    qputenv("QT_QPA_PLATFORM", "offscreen");
    ::testing::InitGoogleTest(&argc, argv);
    QApplication app(argc, argv);
    return RUN_ALL_TESTS();
}
