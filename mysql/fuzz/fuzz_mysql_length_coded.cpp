// Length-coded integers and the other field reads, driven by the input.
#include "mysql/MySqlPacket.h"

#include <cstdint>

using namespace v270::mysql;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    PacketReader r(data, size);
    try {
        while (r.Remaining()) {
            switch (r.ReadByte() % 6) {
            case 0: {
                int64_t n = r.ReadLengthCoded();
                if (n > 0 && static_cast<uint64_t>(n) <= r.Remaining())
                    r.Skip(static_cast<size_t>(n));
                break;
            }
            case 1:
                r.ReadNulString();
                break;
            case 2:
                r.ReadUInt24();
                break;
            case 3:
                r.ReadInt64();
                break;
            case 4:
                r.ReadInt16();
                break;
            default:
                r.ReadLengthCoded();
                break;
            }
        }
    } catch (const EMySqlException&) {
    }
    return 0;
}
