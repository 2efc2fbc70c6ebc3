// Feeds arbitrary bytes to the frame decoder, whole and split in two.

#include "terminal/LinkProtocol.h"

#include <cstddef>
#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const char* bytes = reinterpret_cast<const char*>(data);
    wire::Message m;
    wire::FrameDecoder whole;
    whole.append(bytes, size);
    while (whole.next(m) == wire::FrameDecoder::Status::Frame) {
        // A decoded frame encodes back to a frame that decodes the same.
        wire::FrameDecoder again;
        again.append(wire::encodeFrame(m));
        wire::Message back;
        if (again.next(back) != wire::FrameDecoder::Status::Frame || !(back == m)) __builtin_trap();
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
