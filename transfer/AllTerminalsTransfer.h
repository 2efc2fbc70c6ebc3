#pragma once

#include "ParallelTransfer.h"

#include <QDate>
#include <QSqlRecord>
#include <QString>
#include <QThread>

#include <atomic>
#include <memory>
#include <mutex>
#include <vector>

// "Tüm Terminallerden Aktar": the new-record transfer of every terminal of
// the list, several at once, each on a thread of its own with a control made
// on that thread and its batch delivered in its turn (ParallelTransfer.h).
// The window polls snapshot() to show how each terminal stands.
class AllTerminalsTransfer {
  public:
    enum class Stage { Waiting, Connecting, Reading, Done };

    // How one terminal stands, as the window shows it.
    struct Row {
        QString name;
        Stage stage = Stage::Waiting;
        long long done = 0;
        long long total = -1; // -1: not known
        bool connected = false;
        TransferResult result;
        QString message; // the last thing the command said; the failure's text
    };

    // settingsFile: Settings.ini, whose [Ports] names serial and USB devices.
    // jobs: how many terminals at once (at least 1).
    AllTerminalsTransfer(std::vector<QSqlRecord> rows, QString programDir, QString settingsFile,
                         bool secondFile, int jobs, QDate startDate = QDate::currentDate());
    // Asks the run to stop and waits for it: no thread outlives the run.
    ~AllTerminalsTransfer();
    AllTerminalsTransfer(const AllTerminalsTransfer&) = delete;
    AllTerminalsTransfer& operator=(const AllTerminalsTransfer&) = delete;

    void start();
    // Terminals not started yet are left alone; a terminal being read drops
    // what it read (it stays new on the terminal); a batch going into the
    // files is finished first.
    void requestCancel() { cancel_ = true; }
    bool cancelRequested() const { return cancel_; }
    bool finished() const;
    void wait();

    std::vector<Row> snapshot() const;

    // A row's result in a few words: "700 kayıt aktarıldı", "Bağlanamadı", ...
    static QString resultText(const Row& row);

  private:
    class JobOperator;
    void work();
    void runOne(size_t index);

    std::vector<QSqlRecord> records_;
    QString programDir_;
    QString settingsFile_;
    bool secondFile_;
    int jobs_;
    QDate startDate_;
    DeliveryTurns turns_;
    std::atomic_bool cancel_{false};
    std::atomic<size_t> next_{0};
    std::atomic<int> running_{0};
    mutable std::mutex mutex_; // guards rows_
    std::vector<Row> rows_;
    std::vector<std::unique_ptr<QThread>> threads_;
};
