#pragma once

#include "app/Operator.h"

#include <QString>
#include <QTextStream>

// The transfers without a window, for cron and systemd timers:
//   v270-aktarim [--dir DIR] transfer [--all] [--terminal NAME]
//   v270-aktarim [--dir DIR] sdcard FILE
// Every message the window would show is printed on its own line on out.
// Exit codes: 0 done (also with nothing to transfer); 2 the connection
// failed ("Hata..Bağlantı Kurulamadı...." printed); 1 any other error, its
// text on err.

// Connects to the Terminal row named terminalName (the first row of the list
// when empty) as "BAGLAN" does, then runs "Verileri Aktar", or with all
// "Tüm Verileri Al (silmez)", with the saved second-file option.
int runTransferCommand(const QString& programDir, bool all, const QString& terminalName,
                       QTextStream& out, QTextStream& err);

// "sdkart->text (veri.txt)" on file.
int runSdcardCommand(const QString& programDir, const QString& file, QTextStream& out,
                     QTextStream& err);

// An operator on a terminal or a log: messages and questions become lines;
// progress, counts and the cursor are not shown.
class ConsoleOperator : public Operator {
  public:
    explicit ConsoleOperator(QTextStream& out) : out_(out) {}
    // No headless command asks; the safe answer is No.
    bool askYesNo(const QString& text, const QString& title) override;
    void showMessage(const QString& text, const QString& title, Icon icon) override;
    void setStatus(const QString& text) override;
    void setProgressRange(int, int) override {}
    void setProgress(int) override {}
    void showCount(long long) override {}
    void beginBusy() override {}
    void endBusy() override {}
    void processEvents() override {}

  private:
    QTextStream& out_;
};
