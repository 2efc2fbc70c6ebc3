#pragma once

#include "AllTerminalsTransfer.h"

#include <QDialog>
#include <QTimer>

#include <memory>

class QColor;
class QLabel;
class QPushButton;
class QTableWidget;

// The window of "Tüm Terminallerden Aktar": a row per terminal with its
// progress and result while the transfer of every terminal runs; "İptal"
// (and Esc) stops it, "Kapat" closes the window once it has ended.
class AllTerminalsDialog : public QDialog {
    Q_OBJECT
  public:
    AllTerminalsDialog(std::unique_ptr<AllTerminalsTransfer> run, QWidget* parent = nullptr);

    // Columns: the terminal (a failed row has a warning icon), records read,
    // the result, for a failed row the reason, and the address.
    enum Column { kNameColumn, kProgressColumn, kResultColumn, kReasonColumn, kAddressColumn };
    static constexpr int kColumnCount = 5;

    QTableWidget* gridTerminals;
    QLabel* lblSummary;
    QPushButton* cancelButton; // İptal
    QPushButton* closeButton;  // Kapat

    bool finished() const { return run_->finished(); }
    AllTerminalsTransfer& run() { return *run_; }

  public slots:
    void reject() override;

  protected:
    void showEvent(QShowEvent* event) override;

  private:
    void refresh();

    std::unique_ptr<AllTerminalsTransfer> run_;
    QTimer refreshTimer_;
};

// The background of a row that failed, in this window and in "Geçmiş".
QColor failedRowColour();
