#include "LinkOperations.h"

#include "DeviceState.h"

#include <array>

namespace wire {

namespace {

constexpr size_t kSetEnrollInts = 6 + std::tuple_size_v<EnrollTemplate>;
constexpr size_t kSetBellInts = 2 + 3 * kBellCount;

} // namespace

// The table lives in the one function the device model lets name its handlers.
const LinkOperation* linkOperation(Op op) {
    using enum Saving;
    using M = DeviceModel;
    // Read-ahead is kept only across the requests of walking the enrollment
    // list: the fetches of the list and the reads it answers from.
    static const std::array kOperations = {
        // clang-format off
    //            op                        name                       ints            keeps  saving   since handler
    LinkOperation{Op::Hello,                 "OpenCommPort",            2,              false, None,    4,     &M::onHello},
    LinkOperation{Op::EnableDevice,          "EnableDevice",            2,              false, None,    4,     &M::onEnableDevice},
    LinkOperation{Op::SetDeviceTime,         "SetDeviceTime",           7,              false, Changed, 4,     &M::onSetDeviceTime},
    LinkOperation{Op::GetDeviceTime,         "GetDeviceTime",           1,              false, None,    4,     &M::onGetDeviceTime},
    LinkOperation{Op::ReadGeneralLogData,    "ReadGeneralLogData",      2,              false, None,    4,     &M::onReadLogs},
    LinkOperation{Op::ReadAllGeneralLogData, "ReadAllGeneralLogData",   1,              false, None,    4,     &M::onReadLogs},
    LinkOperation{Op::FetchLogs,             "GetGeneralLogData",       2,              false, None,    4,     &M::onFetchLogs},
    LinkOperation{Op::ReadAllUserID,         "ReadAllUserID",           1,              false, None,    4,     &M::onReadAllUserID},
    LinkOperation{Op::FetchUsers,            "GetAllUserID",            2,              true,  None,    4,     &M::onFetchUsers},
    LinkOperation{Op::GetEnrollData,         "GetEnrollData",           4,              true,  None,    4,     &M::onGetEnrollData},
    LinkOperation{Op::SetEnrollData,         "SetEnrollData",           kSetEnrollInts, false, Changed, 4,     &M::onSetEnrollData},
    LinkOperation{Op::GetEnrollDataWithString, "GetEnrollDataWithString", 4,            false, None,    4,     &M::onGetEnrollData},
    LinkOperation{Op::SetEnrollDataWithString, "SetEnrollDataWithString", kSetEnrollInts, false, Changed, 4,     &M::onSetEnrollData},
    LinkOperation{Op::DeleteEnrollData,      "DeleteEnrollData",        4,              false, Changed, 4,     &M::onDeleteEnrollData},
    LinkOperation{Op::ModifyPrivilege,       "ModifyPrivilege",         5,              false, Changed, 4,     &M::onModifyPrivilege},
    LinkOperation{Op::EmptyEnrollData,       "EmptyEnrollData",         1,              false, Changed, 4,     &M::onEmptyEnrollData},
    LinkOperation{Op::ClearKeeperData,       "ClearKeeperData",         1,              false, Changed, 4,     &M::onEmptyEnrollData},
    LinkOperation{Op::GetUserName,           "GetUserName",             2,              true,  None,    4,     &M::onGetUserName},
    LinkOperation{Op::SetUserName,           "SetUserName",             2,              false, Changed, 4,     &M::onSetUserName},
    LinkOperation{Op::GetBellTime,           "GetBellTime",             1,              false, None,    4,     &M::onGetBellTime},
    LinkOperation{Op::SetBellTime,           "SetBellTime",             kSetBellInts,   false, Changed, 4,     &M::onSetBellTime},
    LinkOperation{Op::CommitNewRecords,      "commitNewRecords",        3,              false, Now,     4,     &M::onCommitNewRecords},
    LinkOperation{Op::GetEnrollDataBatch,    "GetEnrollData",           1,              true,  None,    4,     &M::onGetEnrollDataBatch},
    LinkOperation{Op::GetUserNameBatch,      "GetUserName",             1,              true,  None,    4,     &M::onGetUserNameBatch},
    LinkOperation{Op::GetSerialNumber,       "GetSerialNumber",         1,              false, None,    4,     &M::onGetSerialNumber},
    LinkOperation{Op::GetDeviceCounts,       "GetDeviceCounts",         1,              false, None,    4,     &M::onGetDeviceCounts},
    LinkOperation{Op::WaitForNewRecords,     "WaitForNewRecords",       3,              false, None,    5,     &M::onWaitForNewRecords},
    LinkOperation{Op::Error,                 "Error",                   1,              false, None,    4,     nullptr},
        // clang-format on
    };
    for (const LinkOperation& row : kOperations)
        if (row.op == op) return &row;
    return nullptr;
}

const char* opName(Op op) {
    const LinkOperation* row = linkOperation(op);
    return row ? row->name : nullptr;
}

} // namespace wire
