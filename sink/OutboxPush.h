#pragma once

// Sends the outbox to the central database: transactions of up to 1,000
// records (INSERT IGNORE on the record's key, and the terminals' progress),
// then the cursor moves past them. A deadlock or certification conflict
// (1213), a lock wait timeout (1205) and a lost connection start the whole
// transaction again after a pause that grows, a bounded number of times; a
// host that is down hands over to the next of [Merkez]'s hosts.

#include "CentralDatabase.h"
#include "core/CentralOutbox.h"

#include <QString>

#include <functional>

struct PushResult {
    long long sent = 0; // records committed in the central database by this push
    long long left = 0; // still in the outbox
    bool busy = false;  // another push of this directory was running; nothing sent
};

struct PushOptions {
    size_t batchRecords = 1000;
    int attempts = 8;          // per transaction
    int firstPauseMs = 50;     // doubled after each retry,
    int longestPauseMs = 2000; // up to this
    int lockWaitMs = 10000;    // for another push of the same directory
    // Called after each committed transaction, before the cursor is
    // written (tests stop a push there).
    std::function<void(long long sentSoFar)> afterCommit;
};

// The insert and the progress upsert of one transaction.
std::vector<std::string> pushStatements(const std::vector<OutboxRecord>& records,
                                        const QString& site);

// Whether a failure is worth the whole transaction again, and whether it
// means the host is gone (the next one is tried).
bool retryableCentralError(int code);
bool hostGoneError(int code);

// Pushes what the outbox holds past its cursor; when it is all in, empties
// the outbox (if the directory's lock is free at once). Throws AppError
// when the central database stays unreachable or refuses: the outbox keeps
// everything not committed.
PushResult pushOutbox(const QString& programDir, CentralConnection& connection,
                      const PushOptions& options = {});
