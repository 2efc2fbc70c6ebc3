// Column definitions in both forms, and a whole result header as a stream.
#include "mysql/MySqlApi.h"

#include <cstdint>
#include <string>

using namespace v270::mysql;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    uint8_t mode = data[0];
    ++data;
    --size;
    try {
        TMySqlFieldInfo f = ParseColumnDefinition(data, size, mode & 1, mode & 2);
        (void)f;
    } catch (const EMySqlException&) {
    }
    if (mode & 4) {
        // The bytes as a server's reply to a query: header, definitions, rows.
        TMySqlSession s;
        s.clientFlags = (mode & 1) ? CLIENT_PROTOCOL_41 : 0;
        s.serverCapabilities = (mode & 2) ? CLIENT_LONG_FLAG : 0;
        s.net.AttachVio(
            std::make_unique<MemoryVio>(std::string(reinterpret_cast<const char*>(data), size)));
        try {
            s.ReadQueryResult();
            if (s.hasFieldInfos) {
                TMySqlResultSet r(&s, std::move(s.fieldInfos));
                s.status = MYSQL_STATUS_USE_RESULT;
                for (int i = 0; i < 100 && r.FetchRow(); ++i) {
                }
            }
        } catch (const EMySqlException&) {
        }
    }
    return 0;
}
