// Feeds arbitrary bytes to the state-file loader.

#include "terminal/DeviceState.h"

#include <cstddef>
#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    QString error;
    const auto state = parseDeviceState(
        QByteArray(reinterpret_cast<const char*>(data), static_cast<qsizetype>(size)), &error);
    if (state) {
        // What loads must save and load back unchanged.
        const auto again = parseDeviceState(serializeDeviceState(*state), &error);
        if (!again || !(*again == *state)) __builtin_trap();
    } else if (error.isEmpty()) {
        __builtin_trap(); // a refusal always says why
    }
    return 0;
}
