#include "LinkOperations.h"

#include "DeviceState.h"

#include <array>

namespace wire {

namespace {

constexpr size_t kSetEnrollInts = 6 + std::tuple_size_v<EnrollTemplate>;
constexpr size_t kSetBellInts = 2 + 3 * kBellCount;

constexpr ReplyShape exactly(size_t ints, ReplyShape::Blobs blobs = ReplyShape::Blobs::None) {
    return {ints, ints, blobs};
}
constexpr ReplyShape kNothing = exactly(0);
constexpr ReplyShape kOneBlob = exactly(0, ReplyShape::Blobs::One);
// The version from version 5 on, nothing before.
constexpr ReplyShape kHelloReply{0, 1, ReplyShape::Blobs::None};
// Privilege and password, then a template for a template backup.
constexpr ReplyShape kEnrollReply{2, 2 + kTemplateInts, ReplyShape::Blobs::None};
// How many records, the position of the first, the records in compact form.
constexpr ReplyShape kLogChunk = exactly(2, ReplyShape::Blobs::One);
// The position of the first, then whole rows of a chunk.
constexpr ReplyShape kUserChunk{1, 1 + size_t(kMaxChunkRows) * kUserInts, ReplyShape::Blobs::None};
// Code, privilege, password, count and template of 1 to 256 keys.
constexpr ReplyShape kEnrollBatch{4, size_t(kMaxBatchKeys) * (4 + kTemplateInts),
                                  ReplyShape::Blobs::None};
constexpr ReplyShape kNameBatch{1, size_t(kMaxBatchKeys), ReplyShape::Blobs::OnePerInt};

} // namespace

bool ReplyShape::fits(const Message& reply) const {
    const size_t ints = reply.ints.size();
    if (ints < minInts || ints > maxInts) return false;
    switch (blobs) {
    case Blobs::None:
        return reply.blobs.empty();
    case Blobs::One:
        return reply.blobs.size() == 1;
    case Blobs::OnePerInt:
        return reply.blobs.size() == ints;
    }
    return false;
}

// The table lives in the one function the device model lets name its handlers.
const LinkOperation* linkOperation(Op op) {
    using enum Saving;
    using M = DeviceModel;
    // Read-ahead is kept only across the requests of walking the enrollment
    // list: the fetches of the list and the reads it answers from.
    static const std::array kOperations = {
        // clang-format off
    //            op                        name                       ints            keeps  saving   since reply                         handler
    LinkOperation{Op::Hello,                 "OpenCommPort",            2,              false, None,    4,     kHelloReply,                  &M::onHello},
    LinkOperation{Op::EnableDevice,          "EnableDevice",            2,              false, None,    4,     kNothing,                     &M::onEnableDevice},
    LinkOperation{Op::SetDeviceTime,         "SetDeviceTime",           7,              false, Changed, 4,     kNothing,                     &M::onSetDeviceTime},
    LinkOperation{Op::GetDeviceTime,         "GetDeviceTime",           1,              false, None,    4,     exactly(6),                   &M::onGetDeviceTime},
    LinkOperation{Op::ReadGeneralLogData,    "ReadGeneralLogData",      2,              false, None,    4,     exactly(2),                   &M::onReadLogs},
    LinkOperation{Op::ReadAllGeneralLogData, "ReadAllGeneralLogData",   1,              false, None,    4,     exactly(2),                   &M::onReadLogs},
    LinkOperation{Op::FetchLogs,             "GetGeneralLogData",       2,              false, None,    4,     kLogChunk,                    &M::onFetchLogs},
    LinkOperation{Op::ReadAllUserID,         "ReadAllUserID",           1,              false, None,    4,     exactly(1),                   &M::onReadAllUserID},
    LinkOperation{Op::FetchUsers,            "GetAllUserID",            2,              true,  None,    4,     kUserChunk,                   &M::onFetchUsers},
    LinkOperation{Op::GetEnrollData,         "GetEnrollData",           4,              true,  None,    4,     kEnrollReply,                 &M::onGetEnrollData},
    LinkOperation{Op::SetEnrollData,         "SetEnrollData",           kSetEnrollInts, false, Changed, 4,     kNothing,                     &M::onSetEnrollData},
    LinkOperation{Op::GetEnrollDataWithString, "GetEnrollDataWithString", 4,            false, None,    4,     kEnrollReply,                 &M::onGetEnrollData},
    LinkOperation{Op::SetEnrollDataWithString, "SetEnrollDataWithString", kSetEnrollInts, false, Changed, 4,     kNothing,                     &M::onSetEnrollData},
    LinkOperation{Op::DeleteEnrollData,      "DeleteEnrollData",        4,              false, Changed, 4,     kNothing,                     &M::onDeleteEnrollData},
    LinkOperation{Op::ModifyPrivilege,       "ModifyPrivilege",         5,              false, Changed, 4,     kNothing,                     &M::onModifyPrivilege},
    LinkOperation{Op::EmptyEnrollData,       "EmptyEnrollData",         1,              false, Changed, 4,     kNothing,                     &M::onEmptyEnrollData},
    LinkOperation{Op::ClearKeeperData,       "ClearKeeperData",         1,              false, Changed, 4,     kNothing,                     &M::onEmptyEnrollData},
    LinkOperation{Op::GetUserName,           "GetUserName",             2,              true,  None,    4,     kOneBlob,                     &M::onGetUserName},
    LinkOperation{Op::SetUserName,           "SetUserName",             2,              false, Changed, 4,     kNothing,                     &M::onSetUserName},
    LinkOperation{Op::GetBellTime,           "GetBellTime",             1,              false, None,    4,     exactly(1 + 3 * kBellCount),  &M::onGetBellTime},
    LinkOperation{Op::SetBellTime,           "SetBellTime",             kSetBellInts,   false, Changed, 4,     kNothing,                     &M::onSetBellTime},
    LinkOperation{Op::CommitNewRecords,      "commitNewRecords",        3,              false, Now,     4,     exactly(1),                   &M::onCommitNewRecords},
    LinkOperation{Op::GetEnrollDataBatch,    "GetEnrollData",           1,              true,  None,    4,     kEnrollBatch,                 &M::onGetEnrollDataBatch},
    LinkOperation{Op::GetUserNameBatch,      "GetUserName",             1,              true,  None,    4,     kNameBatch,                   &M::onGetUserNameBatch},
    LinkOperation{Op::GetSerialNumber,       "GetSerialNumber",         1,              false, None,    4,     kOneBlob,                     &M::onGetSerialNumber},
    LinkOperation{Op::GetDeviceCounts,       "GetDeviceCounts",         1,              false, None,    4,     exactly(4),                   &M::onGetDeviceCounts},
    LinkOperation{Op::WaitForNewRecords,     "WaitForNewRecords",       3,              false, None,    5,     exactly(1),                   &M::onWaitForNewRecords},
    LinkOperation{Op::Error,                 "Error",                   1,              false, None,    4,     kNothing,                     nullptr},
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
