#include "ErrorNames.h"

#include <array>

QString deviceErrorName(int32_t code) {
    static constexpr std::array<const char*, 10> names = {
        "SUCCESS",           "ERR_COMPORT_ERROR", "ERR_WRITE_FAIL", "ERR_READ_FAIL",
        "ERR_INVALID_PARAM", "ERR_NON_CARRYOUT",  "ERR_LOG_END",    "ERR_MEMORY",
        "ERR_MULTIUSER",     "ERR_NOSUPPORT"};
    if (code < 0 || code >= static_cast<int32_t>(names.size())) return QString();
    return QString::fromLatin1(names[static_cast<size_t>(code)]);
}
