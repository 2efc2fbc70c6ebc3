#pragma once

// Every operation of the link in one table: the control operation it stands
// for, what a request must carry, how it treats the control's read-ahead,
// what the terminal saves after it, the version that brought it, what its
// reply carries, and the device model's handler. Adding
// an operation is one row in LinkOperations.cpp and one handler.

#include "terminal/DeviceModel.h"
#include "terminal/LinkProtocol.h"

#include <cstddef>

namespace wire {

// When the device model writes its state file after the operation succeeds.
enum class Saving {
    None,    // nothing changed
    Changed, // at the release of the lock, or at once when nobody holds it
    Now,     // before the reply goes out (the new-record mark)
};

// What a successful reply carries: between minInts and maxInts integers,
// and no blob, one, or one per integer. A refusal (a non-zero code) carries
// nothing that is read.
struct ReplyShape {
    enum class Blobs : uint8_t { None, One, OnePerInt };
    size_t minInts = 0;
    size_t maxInts = 0;
    Blobs blobs = Blobs::None;

    bool fits(const Message& reply) const;
};

struct LinkOperation {
    Op op;
    // The control operation it stands for, as the emulator's --fail OP=CODE
    // names it; batch reads fail as the operation they read ahead for.
    const char* name;
    size_t minInts; // a request carries at least these ints, the machine number first
    // The control's read-ahead (enrollment data and names of the rows after
    // the current one) stays valid across this request.
    bool keepsReadAhead;
    Saving saving;
    // The protocol version that brought it (kMinVersion: known to every
    // version still spoken). A control never sends it to an older terminal.
    uint8_t since;
    // The control takes no other reply (ERR_READ_FAIL); the device model
    // sends no other (ERR_MEMORY instead: its own fault).
    ReplyShape reply;
    DeviceModel::Handler handler; // nullptr: refused as a malformed request
};

// The row of op; nullptr for a number that is no operation.
const LinkOperation* linkOperation(Op op);

} // namespace wire
