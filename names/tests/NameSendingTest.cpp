// Names from the list to an in-process terminal.

#include "names/NameSending.h"

#include "core/testing/RecordingOperator.h"
#include "terminal/DeviceModel.h"
#include "terminal/TFP_CLOCK.h"

#include <functional>
#include <gtest/gtest.h>

namespace {

class NameSending : public ::testing::Test {
  protected:
    void SetUp() override {
        DeviceState state;
        state.machine = 3;
        device = std::make_shared<DeviceModel>(state);
        device->setRequestObserver([this](const wire::Message& m) {
            if (m.op == wire::Op::SetUserName)
                sentNames << QString::fromUtf8(m.blobs.empty() ? QByteArray() : m.blobs[0]);
        });
        clock.setInProcessDevice(device);
        ASSERT_TRUE(clock.OpenCommPort(3));
    }

    std::shared_ptr<DeviceModel> device;
    TFP_CLOCK clock;
    RecordingOperator op;
    QStringList sentNames; // as they went over the link
};

TEST_F(NameSending, AllNamesGoFoldedAndWholeAndEmptyOnesAreSkipped) {
    const std::vector<NameRow> rows = {
        {"00001", QStringLiteral("Şükrü Öztürk")},
        {"00002", ""},
        {"00003", "ABCDEFGHIJKLMNOPQRST"}, // 20 characters
        {"00003", "ABCDEFGHIJKLMNOPQRST"}, // a second enrollment: sent again
    };
    const SendResult r = sendAllNames(clock, 3, rows, op);
    EXPECT_EQ(sentNames,
              QStringList({"Sukru Ozturk", "ABCDEFGHIJKLMNOPQRST", "ABCDEFGHIJKLMNOPQRST"}));
    EXPECT_EQ(device->state().names.at(1), "Sukru Ozturk");
    EXPECT_EQ(device->state().names.at(3), "ABCDEFGHIJKL"); // what the terminal keeps
    EXPECT_EQ(device->state().names.count(2), 0u);
    EXPECT_EQ(r.sent, 3);
    EXPECT_EQ(r.skipped, 1);
    EXPECT_EQ(op.statuses, QStringList(3, "SetUserName OK"));
    EXPECT_EQ(op.busyDepth, 0);
    EXPECT_EQ(op.busyCount, 1);
}

TEST_F(NameSending, CancelStopsBeforeTheNextName) {
    op.cancelAfterChecks = 1;
    const SendResult r = sendAllNames(clock, 3, {{"00001", "A"}, {"00002", "B"}}, op);
    EXPECT_TRUE(r.cancelled);
    EXPECT_EQ(r.sent, 1);
    EXPECT_EQ(sentNames, QStringList{"A"});
    EXPECT_EQ(op.statuses.last(), QStringLiteral("İptal edildi: 1 isim gönderildi."));
}

TEST_F(NameSending, RefusedNameIsShownAndTheRestStillGo) {
    device->faults().failOps["SetUserName"] = ERR_NON_CARRYOUT;
    const SendResult r = sendAllNames(clock, 3, {{"00001", "A"}, {"00002", "B"}}, op);
    EXPECT_EQ(r.refused, 2);
    EXPECT_EQ(op.statuses, QStringList(2, "ERR_NON_CARRYOUT"));
    EXPECT_EQ(refusedNamesText(r), "Terminal 2 ismi almadı (son hata: ERR_NON_CARRYOUT).");
}

// The reason given for refused names is the refusal's own error, not the
// status of a name that went after it.
TEST_F(NameSending, RefusalKeepsItsOwnReasonWhenLaterNamesGo) {
    const struct {
        const char* name;
        std::function<void(std::vector<NameRow>&)> refuseSecond;
        QString error;
    } cases[] = {
        {"refused by the terminal",
         [&](std::vector<NameRow>&) {
             int seen = 0;
             device->setRequestObserver([this, seen](const wire::Message& m) mutable {
                 if (m.op != wire::Op::SetUserName) return;
                 if (++seen == 2)
                     device->faults().failOps["SetUserName"] = ERR_NON_CARRYOUT;
                 else
                     device->faults().failOps.clear();
             });
         },
         "ERR_NON_CARRYOUT"},
        {"too long for the link",
         [](std::vector<NameRow>& rows) { rows[1].isim = QString(1 << 20, u'A'); },
         "ERR_INVALID_PARAM"},
    };
    for (const auto& c : cases) {
        std::vector<NameRow> rows = {{"00001", "A"}, {"00002", "B"}, {"00003", "C"}};
        c.refuseSecond(rows);
        op.statuses.clear();
        const SendResult r = sendAllNames(clock, 3, rows, op);
        EXPECT_EQ(r.sent, 2) << c.name;
        EXPECT_EQ(r.refused, 1) << c.name;
        EXPECT_EQ(op.statuses.last(), "SetUserName OK") << c.name;
        EXPECT_EQ(r.refusal, c.error) << c.name;
        EXPECT_EQ(refusedNamesText(r), "Terminal 1 ismi almadı (" + c.error + ").") << c.name;
    }
}

TEST_F(NameSending, KartnoThatIsNoNumberStopsTheSend) {
    const std::vector<NameRow> rows = {{"00001", "A"}, {"12a", "B"}, {"00003", "C"}};
    try {
        sendAllNames(clock, 3, rows, op);
        ADD_FAILURE() << "no error";
    } catch (const NameSendStopped& e) {
        EXPECT_EQ(e.text(), QStringLiteral("'12a' geçerli bir tam sayı değil."));
        EXPECT_EQ(e.soFar.sent, 1);
    }
    EXPECT_EQ(sentNames, QStringList{"A"});
    EXPECT_EQ(op.busyDepth, 0);

    EXPECT_THROW(sendSelectedName(clock, 3, NameRow{"'", "B"}, op), AppError);
    EXPECT_EQ(op.busyDepth, 0);
}

TEST_F(NameSending, SelectedNameGoesAloneAndNoSelectionSendsNothing) {
    EXPECT_EQ(sendSelectedName(clock, 3, std::nullopt, op).sent, 0);
    EXPECT_EQ(sendSelectedName(clock, 3, NameRow{"00042", QStringLiteral("Ilgaz Işık")}, op).sent,
              1);
    EXPECT_EQ(sentNames, QStringList{"Ilgaz Isik"});
    EXPECT_EQ(op.statuses, QStringList{"SetUserName OK"});
}

TEST_F(NameSending, ControlCharactersReachTheTerminalAsBlanks) {
    const struct {
        const char* name;
        QString isim;
        QString sent;
    } cases[] = {
        {"NUL", QStringLiteral("Ali") + QChar(0) + QStringLiteral("Veli"), "Ali Veli"},
        {"CR LF", QStringLiteral("Şule\r\nÖz"), "Sule  Oz"},
        {"TAB", QStringLiteral("Can\tUğur"), "Can Ugur"},
        {"other controls", QStringLiteral("A\x1b[2JB\x7f\u0085C"), "A [2JB  C"},
        {"line separator", QStringLiteral("İpek\u2028Işık"), "Ipek Isik"},
    };
    for (const auto& c : cases) {
        sentNames.clear();
        EXPECT_EQ(sendSelectedName(clock, 3, NameRow{"00005", c.isim}, op).sent, 1) << c.name;
        EXPECT_EQ(sentNames, QStringList{c.sent}) << c.name;
    }
}

} // namespace
