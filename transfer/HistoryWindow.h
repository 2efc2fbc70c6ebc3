#pragma once

#include <QDialog>
#include <QString>

class QLabel;
class QPushButton;
class QTableWidget;

// "Geçmiş": the history of transfers (TransferHistory.h) of the last three
// months, newest first; a failed one stands out by colour and icon, its
// reason in the last column.
class HistoryWindow : public QDialog {
    Q_OBJECT
  public:
    explicit HistoryWindow(QString programDir, QWidget* parent = nullptr);

    enum Column {
        kTimeColumn,
        kTerminalColumn,
        kCommandColumn,
        kRecordsColumn,
        kResultColumn,
        kMessageColumn
    };
    static constexpr int kColumnCount = 6;

    QTableWidget* gridHistory;
    QLabel* lblSummary;
    QPushButton* refreshButton; // Yenile
    QPushButton* closeButton;   // Kapat

    // Reads the history again.
    void refresh();

  private:
    QString programDir_;
};

// Opens "Geçmiş" for the program directory, modally, as the other secondary
// windows are shown.
void showHistoryWindow(QWidget* parent, const QString& programDir);
