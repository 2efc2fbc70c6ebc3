// Arbitrary messages as requests to a terminal that holds enrollments and
// names, and as batch answers to the control's splitter.

#include "terminal/DeviceModel.h"
#include "terminal/LinkProtocol.h"

#include <cstddef>
#include <cstdint>

namespace {

DeviceState smallTerminal() {
    DeviceState s;
    for (int32_t u = 1; u <= 3; ++u) {
        Enrollment finger;
        finger.enroll = u, finger.backup = 12 + u;
        finger.fingerprint.fill(u);
        Enrollment card;
        card.enroll = u, card.backup = kCardBackup, card.password = -u;
        s.enrollments.push_back(finger);
        s.enrollments.push_back(card);
        s.names[u] = QStringLiteral("AD %1").arg(u);
    }
    return s;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const auto message = wire::decodePayload(reinterpret_cast<const char*>(data), size);
    if (!message) return 0;

    DeviceModel device(smallTerminal());
    const auto client = device.connectClient();
    wire::Message hello;
    hello.op = wire::Op::Hello;
    hello.ints = {1, 0};
    device.handle(client, hello);
    wire::Message lock;
    lock.op = wire::Op::EnableDevice;
    lock.ints = {1, 0, -1};
    device.handle(client, lock);
    const DeviceModel::Reply reply = device.handle(client, *message);
    // Whatever the request, the reply fits in a frame, also a held wait's
    // when it ends; and only a wait, within its limit, is ever held.
    if (wire::payloadSize(reply.message) > wire::kMaxPayload) __builtin_trap();
    if (reply.waitMs != 0) {
        if (message->op != wire::Op::WaitForNewRecords || reply.waitMs < 0 ||
            reply.waitMs > wire::kMaxWaitMs)
            __builtin_trap();
        if (wire::payloadSize(device.endWait(*message)) > wire::kMaxPayload) __builtin_trap();
    }

    // As an answer: the first integer says how many keys were asked.
    if (message->ints.empty()) return 0;
    const size_t asked = size_t(uint32_t(message->ints[0]) % 300);
    const std::vector<int32_t> ints(message->ints.begin() + 1, message->ints.end());
    std::vector<wire::EnrollDataAnswer> answers;
    if (wire::splitEnrollDataAnswers(ints, asked, answers)) {
        // Whole answers put back together give the same integers.
        std::vector<int32_t> again;
        for (const auto& a : answers)
            wire::appendEnrollDataAnswer(again, a);
        if (again != ints || answers.size() > asked) __builtin_trap();
    }
    return 0;
}
