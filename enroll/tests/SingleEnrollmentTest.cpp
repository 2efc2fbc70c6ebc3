// The tab "tek data(parmak)": read, write and delete one enrollment.

#include "enroll/SingleEnrollment.h"

#include "EnrollTestSupport.h"
#include "core/AppError.h"
#include "terminal/TFP_CLOCK.h"

#include <gtest/gtest.h>

namespace {

class Single : public ::testing::Test {
  protected:
    void SetUp() override {
        DeviceState s;
        s.enrollments = {fingerOf(1, 0, 1, 2), passwordOf(1, 10, 4321), passwordOf(1, 11, -1),
                         fingerOf(1, 13)};
        device = std::make_shared<DeviceModel>(s);
        device->setRequestObserver([this](const wire::Message& rq) { requests.push_back(rq); });
        clock.setInProcessDevice(device);
        ASSERT_TRUE(clock.OpenCommPort(1));
        requests.clear();
    }
    SingleReadResult read(const QString& enroll, const QString& backup) {
        return readSingleEnrollment(clock, 1, enroll, backup, values, op);
    }
    void write(const QString& enroll, const QString& card, const QString& backup,
               const QString& privilege = "0") {
        enrollText = enroll, cardText = card;
        writeSingleEnrollment(clock, 1, enrollText, cardText, backup, privilege, values, op);
    }
    const Enrollment* stored(int32_t enroll, int32_t backup) const {
        for (const Enrollment& e : device->state().enrollments)
            if (e.enroll == enroll && e.backup == backup) return &e;
        return nullptr;
    }

    std::shared_ptr<DeviceModel> device;
    TFP_CLOCK clock;
    std::vector<wire::Message> requests;
    EnrollValues values;
    RecordingOperator op;
    QString enrollText, cardText;
};

TEST_F(Single, CardWithTheTopBitSetShownBothWaysAndWrittenBackTheSame) {
    const SingleReadResult r = read("1", "11");
    ASSERT_TRUE(r.read);
    EXPECT_EQ(r.cardNumber, QStringLiteral("-1"));
    EXPECT_EQ(r.lines, (QStringList{"4294967295", ""}));
    EXPECT_EQ(op.statuses, (QStringList{"Working...", "GetEnrollData OK"}));
    write("5", *r.cardNumber, "11");
    EXPECT_EQ(op.statuses.last(), "SetEnrollData OK");
    ASSERT_NE(stored(5, 11), nullptr);
    EXPECT_EQ(uint32_t(stored(5, 11)->password), 0xFFFFFFFFu);

    // An empty card under 11 becomes "0" and leaves the password value alone.
    values.password = 777;
    write("", "", "11");
    EXPECT_EQ(enrollText, "0");
    EXPECT_EQ(cardText, "0");
    EXPECT_EQ(stored(0, 11)->password, 777);
}

TEST_F(Single, ReadUnderOneNumberWriteUnderAnother) {
    struct Case {
        const char* backup;
        QStringList firstLines; // before the template line
        int32_t privilege;
    };
    const Case cases[] = {{"0", {}, 2}, {"13", {}, 0}, {"10", {"4321"}, 0}};
    for (const Case& c : cases) {
        const SingleReadResult r = read("1", c.backup);
        ASSERT_TRUE(r.read) << c.backup;
        EXPECT_EQ(r.privilege, c.privilege) << c.backup;
        EXPECT_EQ(r.lines.mid(0, r.lines.size() - 1), c.firstLines) << c.backup;
        EXPECT_EQ(r.lines.last(), values.stringTemplate) << c.backup;
        write("5", "", c.backup, QString::number(c.privilege));
        const int32_t backup = QString::fromLatin1(c.backup).toInt();
        ASSERT_NE(stored(5, backup), nullptr) << c.backup;
        EXPECT_EQ(stored(5, backup)->fingerprint, stored(1, backup)->fingerprint) << c.backup;
        EXPECT_EQ(stored(5, backup)->password, stored(1, backup)->password) << c.backup;
        EXPECT_EQ(stored(5, backup)->privilege, c.privilege) << c.backup;
    }
    EXPECT_EQ(values.stringTemplate.size(), 0); // backup 10 has no text form
}

TEST_F(Single, DeleteSendsCihazNoWhateverTheTerminal) {
    deleteSingleEnrollment(clock, 1, "1", "3", "13", op);
    EXPECT_EQ(op.statuses.last(), "DeleteEnrollData OK");
    ASSERT_EQ(requests.size(), 3u); // lock, delete, release
    EXPECT_EQ(requests[1].ints, (std::vector<int32_t>{1, 1, 3, 13}));
    EXPECT_EQ(stored(1, 13), nullptr);
}

TEST_F(Single, FailuresAndBadInput) {
    // Unknown enrollment: nothing listed, the error's name, released.
    const SingleReadResult r = read("99", "0");
    EXPECT_TRUE(r.locked);
    EXPECT_FALSE(r.read);
    EXPECT_TRUE(r.lines.isEmpty());
    EXPECT_EQ(op.statuses.last(), "ERR_NON_CARRYOUT");
    EXPECT_EQ(device->lockHolder(), 0);
    // A write before any good read has no template text to send.
    write("7", "", "0");
    EXPECT_EQ(op.statuses.last(), "ERR_INVALID_PARAM");
    EXPECT_EQ(stored(7, 0), nullptr);

    requests.clear();
    EXPECT_THROW(read("abc", "0"), AppError);
    EXPECT_THROW(write("1", "4294967295", "11"), AppError); // not a 32-bit signed number
    EXPECT_THROW(deleteSingleEnrollment(clock, 1, "1", "x", "0", op), AppError);
    EXPECT_TRUE(requests.empty()); // refused before the terminal is touched

    device->faults().failOps["EnableDevice"] = ERR_NON_CARRYOUT;
    deleteSingleEnrollment(clock, 1, "1", "1", "0", op);
    EXPECT_EQ(op.statuses.last(), "No Device");
    EXPECT_EQ(requests.size(), 1u); // no release after a refused lock
    EXPECT_NE(stored(1, 0), nullptr);
}

} // namespace
