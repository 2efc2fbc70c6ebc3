// A bell schedule from a file or standard input: parsing never fails
// badly, the verdict never lets a value out of range through, and an
// accepted schedule prints as JSON that reads back the same.

#include "bells/BellSchedule.h"

#include <cstdint>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const QByteArray bytes(reinterpret_cast<const char*>(data), static_cast<qsizetype>(size));
    if (const std::optional<int> v = bellFieldValue(QString::fromUtf8(bytes), 59))
        if (*v < 0 || *v > 59) std::abort();

    const std::optional<BellForm> form = bellFormFromJson(bytes, nullptr);
    if (!form) return 0;
    BellSchedule schedule;
    if (!schedule.collect(*form)) return 0;
    for (size_t i = 0; i < kBellCount; ++i) {
        if (schedule.table()[i] > 1 || schedule.table()[kBellCount + i] > 23 ||
            schedule.table()[2 * kBellCount + i] > 59)
            std::abort();
    }
    const std::optional<BellForm> back = bellFormFromJson(schedule.toJson(), nullptr);
    BellSchedule again;
    if (!back || !again.collect(*back) || again.table() != schedule.table() ||
        again.ringDuration() != schedule.ringDuration())
        std::abort();
    return 0;
}
