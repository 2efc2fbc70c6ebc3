#pragma once

// Corrupts the emulator's reply frames on their way out, to soak the control
// against a terminal or a line that misbehaves. Each frame, with probability
// p, gets one fault, the five equally likely:
//   flip       1 to 3 bits anywhere in the frame are inverted;
//   truncate   only the first 1 to size-1 bytes go out, the rest never;
//   duplicate  the frame goes out twice in a row;
//   reorder    the frame is held back and goes out right after the next
//              reply of the same connection (a client that waits for it
//              runs into its time limit first; on a serial line it then
//              finds it out of turn);
//   drop       nothing goes out.
// The faults come from a generator seeded once, so the same seed and the
// same requests give the same faults.

#include <QByteArray>
#include <QString>

#include <cstdint>
#include <random>

class ReplyMutator {
  public:
    ReplyMutator(double probability, uint64_t seed) : probability_(probability), random_(seed) {}

    // The bytes to write now for the reply frame `frame`. `held` is the
    // connection's frame held back by an earlier reorder: it goes out after
    // this one (or is replaced by it).
    QByteArray pass(const QByteArray& frame, QByteArray& held);

    // What the last pass did, for the log: empty when it left the frame alone.
    const QString& lastFault() const { return lastFault_; }

  private:
    uint64_t below(uint64_t n) {
        return std::uniform_int_distribution<uint64_t>(0, n - 1)(random_);
    }

    double probability_;
    std::mt19937_64 random_;
    QString lastFault_;
};
