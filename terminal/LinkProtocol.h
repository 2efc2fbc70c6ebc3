#pragma once

// The link protocol between TFP_CLOCK and a terminal (see PROTOCOL.md).
// A frame is: magic "VT", version, payload length, payload, CRC-32. The
// payload is one message: an operation, a result code, integers and blobs.

#include <QByteArray>

#include <cstdint>
#include <optional>
#include <vector>

namespace wire {

// A frame carries the version of its sender's protocol. The oldest version
// still spoken is kMinVersion: a control greets in it, learns the terminal's
// version from the hello's reply and then writes that one; a terminal answers
// in the version of the request.
inline constexpr uint8_t kVersion = 5;
inline constexpr uint8_t kMinVersion = 4;
inline constexpr int kHeaderSize = 7;  // magic(2) version(1) length(4)
inline constexpr int kTrailerSize = 4; // crc32
inline constexpr uint32_t kMaxPayload = 1u << 20;

// Records are fetched in chunks; one chunk must fit in a frame.
inline constexpr int kLogInts = 7;  // enroll, mode, year, month, day, hour, minute
inline constexpr int kUserInts = 5; // enroll, emachine, backup, privilege, enabled
inline constexpr int kMaxChunkRows = 8192;

// Enrollments are read ahead in batches of at most this many keys; a batch
// of templates fits in a frame.
inline constexpr int kMaxBatchKeys = 256;
inline constexpr int kTemplateInts = 356;

// The longest a WaitForNewRecords may ask the terminal to hold its answer.
inline constexpr int32_t kMaxWaitMs = 30000;

enum class Op : uint8_t {
    Hello = 1,
    EnableDevice,
    SetDeviceTime,
    GetDeviceTime,
    ReadGeneralLogData,
    ReadAllGeneralLogData,
    FetchLogs,
    ReadAllUserID,
    FetchUsers,
    GetEnrollData,
    SetEnrollData,
    GetEnrollDataWithString,
    SetEnrollDataWithString,
    DeleteEnrollData,
    ModifyPrivilege,
    EmptyEnrollData,
    ClearKeeperData,
    GetUserName,
    SetUserName,
    GetBellTime,
    SetBellTime,
    CommitNewRecords, // 22
    GetEnrollDataBatch = 32,
    GetUserNameBatch = 33,
    GetSerialNumber = 34,
    GetDeviceCounts = 35,
    WaitForNewRecords = 36, // from version 5
    Error = 255,            // the terminal refuses a malformed frame, then hangs up
};

// The control operation a request stands for, as named on the command line
// of the emulator (--fail OP=CODE); nullptr for an unknown op. Every
// operation's row is in LinkOperations.h.
const char* opName(Op op);

struct Message {
    Op op = Op::Error;
    int32_t code = 0; // result code in a response, 0 in a request
    std::vector<int32_t> ints;
    std::vector<QByteArray> blobs;

    int32_t intAt(size_t i) const { return i < ints.size() ? ints[i] : 0; }
    bool operator==(const Message&) const = default;
};

// One answer of GetEnrollDataBatch: the outs of GetEnrollData for one key.
struct EnrollDataAnswer {
    int32_t code = 0; // 0, or the error GetEnrollData would give
    int32_t privilege = 0;
    int32_t password = 0;
    std::vector<int32_t> data; // kTemplateInts integers for a template, else none
    bool operator==(const EnrollDataAnswer&) const = default;
};
void appendEnrollDataAnswer(std::vector<int32_t>& ints, const EnrollDataAnswer& answer);
// Splits the integers of a GetEnrollDataBatch reply to a request of `asked`
// keys. False when they don't make 1 to `asked` whole answers.
bool splitEnrollDataAnswers(const std::vector<int32_t>& ints, size_t asked,
                            std::vector<EnrollDataAnswer>& answers);

size_t payloadSize(const Message& m);

// Attendance records travel in a compact form, kLogInts integers a record in
// the order above: variable-length integers, the time as the minutes from the
// record before (see PROTOCOL.md). Any int32 values round-trip.
QByteArray encodeLogRows(const int32_t* rows, size_t count);
// Decodes exactly count records filling all of data into rows (replaced);
// false for anything else.
bool decodeLogRows(const char* data, size_t size, size_t count, std::vector<int32_t>& rows);
QByteArray encodePayload(const Message& m);
std::optional<Message> decodePayload(const char* data, size_t size);

QByteArray encodeFrame(const Message& m, uint8_t version = kVersion);

// Incremental decoder for a byte stream. Bytes are appended as they arrive;
// next() takes one whole frame off the front when there is one.
class FrameDecoder {
  public:
    enum class Status { Frame, NeedMore, Malformed };

    // Frames of kMinVersion to newest are taken; any other version, or an op
    // that the frame's version does not know, is malformed.
    explicit FrameDecoder(uint8_t newest = kVersion) : newest_(newest) {}

    void append(const char* data, size_t size) {
        buffer_.append(data, static_cast<qsizetype>(size));
    }
    void append(const QByteArray& bytes) { buffer_.append(bytes); }
    Status next(Message& out);
    void clear() { buffer_.clear(); }
    qsizetype buffered() const { return buffer_.size(); }
    // The version of the frame next() took last.
    uint8_t version() const { return version_; }

  private:
    QByteArray buffer_;
    uint8_t newest_;
    uint8_t version_ = kMinVersion;
};

} // namespace wire
