// Feeds arbitrary bytes to the frame decoder, whole and split in two, in
// every version spoken.

#include "terminal/LinkProtocol.h"

#include <cstddef>
#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const char* bytes = reinterpret_cast<const char*>(data);
    wire::Message m;
    // As the newest version reads them, and as a terminal of the oldest does.
    for (const uint8_t newest : {wire::kVersion, wire::kMinVersion}) {
        wire::FrameDecoder whole(newest);
        whole.append(bytes, size);
        while (whole.next(m) == wire::FrameDecoder::Status::Frame) {
            // A decoded frame encodes back, in its version, to a frame that
            // decodes the same.
            if (whole.version() < wire::kMinVersion || whole.version() > newest) __builtin_trap();
            wire::FrameDecoder again(newest);
            again.append(wire::encodeFrame(m, whole.version()));
            wire::Message back;
            if (again.next(back) != wire::FrameDecoder::Status::Frame || !(back == m) ||
                again.version() != whole.version())
                __builtin_trap();
        }
    }
    const size_t half = size / 2;
    wire::FrameDecoder split;
    split.append(bytes, half);
    while (split.next(m) == wire::FrameDecoder::Status::Frame) {
    }
    split.append(bytes + half, size - half);
    while (split.next(m) == wire::FrameDecoder::Status::Frame) {
    }
    wire::decodePayload(bytes, size);
    return 0;
}
