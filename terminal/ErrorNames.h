#pragma once

#include <QString>

#include <cstdint>

// Codes returned through TFP_CLOCK::GetLastError.
enum TerminalError : int32_t {
    SUCCESS = 0,
    ERR_COMPORT_ERROR = 1,
    ERR_WRITE_FAIL = 2,
    ERR_READ_FAIL = 3,
    ERR_INVALID_PARAM = 4,
    ERR_NON_CARRYOUT = 5,
    ERR_LOG_END = 6,
    ERR_MEMORY = 7,
    ERR_MULTIUSER = 8,
    ERR_NOSUPPORT = 9,
};

// The device error name of a code: "SUCCESS", "ERR_…" for 1 to 9, and the
// empty text for any other code, negative ones included.
QString deviceErrorName(int32_t code);
