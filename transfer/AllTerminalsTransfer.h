#pragma once

#include "ParallelTransfer.h"
#include "core/TerminalRunner.h"

#include <QDate>
#include <QSqlRecord>
#include <QString>

#include <vector>

// "Tüm Terminallerden Aktar": the new-record transfer of every terminal of
// the list, several at once, each a job of a TerminalRunner with a control
// made on the job's thread and its batch delivered in its turn
// (ParallelTransfer.h). The window polls snapshot() to show how each
// terminal stands.
class AllTerminalsTransfer {
  public:
    enum class Stage { Waiting, Connecting, Reading, Done, Skipped };

    // How one terminal stands, as the window shows it.
    struct Row {
        QString name;
        QString address; // where the row connects to, as the operator writes it
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
    // The runner stops the run and waits for its jobs: no thread outlives
    // it. A window keeps it until finished(), so that never blocks.
    ~AllTerminalsTransfer() = default;
    AllTerminalsTransfer(const AllTerminalsTransfer&) = delete;
    AllTerminalsTransfer& operator=(const AllTerminalsTransfer&) = delete;

    void start();
    // Terminals not started yet are left alone; a terminal being read drops
    // what it read (it stays new on the terminal), and a request it hangs on
    // is given up; a batch going into the files is finished first.
    void requestCancel() { runner_.stop(); }
    bool cancelRequested() const { return runner_.stopped(); }
    // Every terminal's job has ended (or was skipped).
    bool finished() const { return started_ && runner_.allEnded(); }

    std::vector<Row> snapshot() const;

    // A row's result in a few words: "700 kayıt aktarıldı", "Bağlanamadı", ...
    static QString resultText(const Row& row);
    // A row that ended without its records in the files.
    static bool failed(const Row& row);

  private:
    class JobOperator;
    struct Outcome {
        bool connected = false;
        TransferResult result{TransferOutcome::NoDevice, 0, {}};
    };
    void transferOne(TerminalJob& job, const QSqlRecord& record);

    std::vector<QSqlRecord> records_;
    std::vector<QString> addresses_; // of records_, read once
    QString programDir_;
    QString settingsFile_;
    bool secondFile_;
    QDate startDate_;
    DeliveryTurns turns_;
    bool started_ = false;
    // Last: its jobs use everything above, so it goes first.
    TerminalRunner runner_;
};
