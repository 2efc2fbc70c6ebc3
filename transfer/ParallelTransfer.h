#pragma once

#include "TransferCommands.h"

#include <QDate>
#include <QString>

#include <cstdint>
#include <mutex>

class Operator;
class TFP_CLOCK;

// What the terminals of one run share: their turn in the files, one batch at
// a time (they hand it on at once; the directory's lock alone would make
// them poll), and one wait for another program that holds the program
// directory, so that a run of twenty terminals is refused after
// DirectoryLock::kWaitMs, not twenty times that.
class DeliveryTurns {
  public:
    DeliveryTurns() = default;
    DeliveryTurns(const DeliveryTurns&) = delete;
    DeliveryTurns& operator=(const DeliveryTurns&) = delete;

  private:
    friend class DeliveryTurn;
    std::timed_mutex turn_;
    bool waitSpent_ = false; // under turn_: a batch of the run waited in vain
};

// "Verileri Aktar" for one of several terminals read at the same time, each
// on a thread of its own with a control made on that thread.
//
// The terminal is locked and its new records read into memory first, with
// the program directory free, so the slow part runs side by side. Then the
// batch waits for its turn among turns: one batch at a time takes the
// directory's lock (as transferNewRecords does; for another program the run
// waits once, DirectoryLock::kWaitMs), settles what a killed run left, goes into
// veri.txt, the month's file and with secondFile veri2.txt through the
// delivery journal (Delivery.h), and is committed to the terminal before the
// lock is let go. So each batch lands whole and once, never mixed with
// another's lines, in the order the batches were committed; a run killed
// between the files and the commit is finished by the next one without
// writing the batch twice.
//
// withTotal: ask the terminal first how many new records it holds, and give
// the operator progress against it (setProgressRange(0, total), then
// setProgress(records read)); an extra round trip that only a screen needs.
// A stop the operator asks for (cancelRequested) while the records are read
// drops them unwritten: they stay new on the terminal, and the result counts
// no record. Once a batch is going into the files it is finished first.
// Every ending is noted in the history of transfers, the terminal named
// terminalName there.
TransferResult transferNewRecordsInTurn(TFP_CLOCK& clock, int32_t machineNumber,
                                        const QString& programDir, bool secondFile,
                                        DeliveryTurns& turns, bool withTotal, Operator& op,
                                        const QDate& startDate = QDate::currentDate(),
                                        const QString& terminalName = QString());

struct HistoryEntry;
// Appends entry to the history of transfers (TransferHistory.h) in its turn
// among turns, for an ending that did not hold the directory: a terminal
// that could not be reached, or had nothing new. A failure is told to op.
void recordInTurn(DeliveryTurns& turns, const QString& programDir, const HistoryEntry& entry,
                  Operator& op);
