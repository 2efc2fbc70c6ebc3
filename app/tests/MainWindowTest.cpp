#include "app/TfrmDM.h"
#include "app/Tfrmgiris.h"
#include "app/testing/RecordingOperator.h"
#include "app/testing/TestFiles.h"

#include <QAction>
#include <QCheckBox>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QProgressBar>
#include <QPushButton>
#include <QTemporaryDir>
#include <gtest/gtest.h>

namespace {

class MainWindowTest : public ::testing::Test {
protected:
    void SetUp() override {
        createDatabaseFromSchema(dir() + "Data.mdb", "Data.sql");
        createDatabaseFromSchema(dir() + "Log.mdb", "Log.sql");
        window = std::make_unique<Tfrmgiris>(dm, dir(), &op);
    }
    QString dir() const { return tmp.path() + u'/'; }
    QTemporaryDir tmp;
    RecordingOperator op;
    TfrmDM dm;
    std::unique_ptr<Tfrmgiris> window;
};

TEST_F(MainWindowTest, ControlsCarryTheirNamesAndCaptions) {
    const std::pair<const char*, const char*> buttons[] = {
        {"BitBtn1", "Ekle"},           {"BitBtn2", "Değiştir"},
        {"BitBtn3", "Sil"},            {"BitBtn4", "BAGLAN"},
        {"BitBtn5", "Verileri Aktar"}, {"BitBtn6", "Tarih-Saat Ayarla"},
        {"BitBtn7", "Tarih-Saat Oku"}, {"BitBtn8", "Admin Sil"},
        {"BitBtn9", "Zil Saatleri"},   {"BitBtn10", "Parmakizi"},
        {"BitBtn11", "Kapat"},         {"Button1", "sdkart->text (veri.txt)"},
        {"Button2", "kaydet"},
    };
    for (const auto& [name, caption] : buttons) {
        auto* b = window->findChild<QPushButton*>(name);
        ASSERT_NE(b, nullptr) << name;
        EXPECT_EQ(b->text(), QString::fromUtf8(caption)) << name;
        EXPECT_TRUE(b->geometry().right() < 820 && b->geometry().bottom() < 400) << name;
    }
    EXPECT_EQ(window->size(), QSize(820, 400));
    EXPECT_EQ(window->CheckBox1->text(), QStringLiteral("2. veri dosyası kaydet"));
    EXPECT_FALSE(window->Label1->isVisibleTo(window.get()));
    EXPECT_FALSE(window->LabelTotal->isVisibleTo(window.get()));
    EXPECT_GE(window->Edit1->x(), 820) << "scratch edit stays off screen";
    QStringList items;
    for (QAction* a : window->PopupMenu1->actions()) items << (a->isSeparator() ? "-" : a->text());
    EXPECT_EQ(items, (QStringList{QStringLiteral("Terminalde Tanımlı Tüm Parmakizlerini Sil"), "-",
                                  QStringLiteral("Tüm Verileri Al (silmez)"),
                                  QStringLiteral("Tüm Verileri Al(aldıktan sonra cihazdan sil)")}));
}

TEST_F(MainWindowTest, OnlyTheSixTerminalCommandsWaitForAConnection) {
    const QList<QPushButton*> terminal = {window->BitBtn5, window->BitBtn6, window->BitBtn7,
                                          window->BitBtn8, window->BitBtn9, window->BitBtn10};
    for (QPushButton* b : window->findChildren<QPushButton*>()) {
        EXPECT_EQ(b->isEnabled(), !terminal.contains(b)) << b->objectName().toStdString();
    }
    for (QAction* a : window->PopupMenu1->actions()) EXPECT_TRUE(a->isEnabled());
    window->setTerminalCommandsEnabled(true);
    for (QPushButton* b : terminal) EXPECT_TRUE(b->isEnabled());
}

TEST_F(MainWindowTest, KaydetCreatesTheSettingsFile) {
    window->CheckBox1->setChecked(true);
    window->Button2->click();
    EXPECT_EQ(readFile(dir() + "Settings.ini"), QByteArray("[Options]\r\nveriDosya2=1\r\n"));
    window->CheckBox1->setChecked(false);
    window->Button2->click();
    EXPECT_EQ(readFile(dir() + "Settings.ini"), QByteArray("[Options]\r\nveriDosya2=0\r\n"));
}

} // namespace
