#include "HistoryWindow.h"

#include "AllTerminalsDialog.h"
#include "TransferHistory.h"
#include "core/AppError.h"

#include <QBrush>
#include <QDate>
#include <QHeaderView>
#include <QLabel>
#include <QLocale>
#include <QPushButton>
#include <QStyle>
#include <QTableWidget>

#include <utility>

namespace {

QString commandText(const QString& command) {
    if (command == QLatin1String(kHistoryTransfer)) return QStringLiteral("Verileri Aktar");
    if (command == QLatin1String(kHistoryFullDownload)) return QStringLiteral("Tüm Verileri Al");
    return command;
}

QString resultText(HistoryResult result) {
    switch (result) {
    case HistoryResult::Ok:
        return QStringLiteral("Tamam");
    case HistoryResult::NothingNew:
        return QStringLiteral("Yeni kayıt yok");
    case HistoryResult::Failed:
        return QStringLiteral("HATA");
    case HistoryResult::Cancelled:
        return QStringLiteral("İptal edildi");
    }
    return {};
}

} // namespace

HistoryWindow::HistoryWindow(QString programDir, QWidget* parent)
    : QDialog(parent), programDir_(std::move(programDir)) {
    setObjectName(QStringLiteral("frmGecmis"));
    setAccessibleName(QStringLiteral("Geçmiş"));
    setWindowTitle(QStringLiteral("Geçmiş"));
    resize(900, 480);

    gridHistory = new QTableWidget(this);
    gridHistory->setObjectName(QStringLiteral("gridHistory"));
    gridHistory->setAccessibleName(QStringLiteral("Aktarım geçmişi"));
    gridHistory->setGeometry(8, 8, 884, 390);
    gridHistory->setColumnCount(kColumnCount);
    gridHistory->setHorizontalHeaderLabels({QStringLiteral("Zaman"), QStringLiteral("Terminal"),
                                            QStringLiteral("Komut"), QStringLiteral("Kayıt"),
                                            QStringLiteral("Sonuç"), QStringLiteral("İleti")});
    gridHistory->setEditTriggers(QAbstractItemView::NoEditTriggers);
    gridHistory->setSelectionBehavior(QAbstractItemView::SelectRows);
    gridHistory->setWordWrap(false);
    gridHistory->verticalHeader()->setDefaultSectionSize(20);
    gridHistory->verticalHeader()->hide();
    gridHistory->setColumnWidth(kTimeColumn, 130);
    gridHistory->setColumnWidth(kTerminalColumn, 150);
    gridHistory->setColumnWidth(kCommandColumn, 110);
    gridHistory->setColumnWidth(kRecordsColumn, 70);
    gridHistory->setColumnWidth(kResultColumn, 100);
    gridHistory->horizontalHeader()->setStretchLastSection(true);

    lblSummary = new QLabel(this);
    lblSummary->setObjectName(QStringLiteral("lblSummary"));
    lblSummary->setAccessibleDescription(QStringLiteral("Özet"));
    lblSummary->setGeometry(8, 406, 884, 20);

    refreshButton = new QPushButton(QStringLiteral("&Yenile"), this);
    refreshButton->setObjectName(QStringLiteral("refreshButton"));
    refreshButton->setAccessibleName(QStringLiteral("Yenile"));
    refreshButton->setGeometry(680, 438, 100, 33);
    closeButton = new QPushButton(QStringLiteral("&Kapat"), this);
    closeButton->setObjectName(QStringLiteral("closeButton"));
    closeButton->setAccessibleName(QStringLiteral("Kapat"));
    closeButton->setGeometry(792, 438, 100, 33);
    closeButton->setDefault(true);
    connect(refreshButton, &QPushButton::clicked, this, &HistoryWindow::refresh);
    connect(closeButton, &QPushButton::clicked, this, &QDialog::accept);
    refresh();
}

void HistoryWindow::refresh() {
    const QLocale turkish(QLocale::Turkish);
    QDate since = QDate::currentDate().addMonths(-2);
    since.setDate(since.year(), since.month(), 1);
    std::vector<HistoryEntry> entries;
    QString problem;
    try {
        entries = readHistory(programDir_, since);
    } catch (const std::exception& e) {
        problem = errorText(e); // shown in place of the summary; the window stays usable
    }
    gridHistory->setRowCount(int(entries.size()));
    int failed = 0;
    const QIcon warning = style()->standardIcon(QStyle::SP_MessageBoxWarning);
    for (int row = 0; row < int(entries.size()); ++row) {
        const HistoryEntry& e = entries[entries.size() - 1 - size_t(row)]; // newest first
        const bool rowFailed = e.result == HistoryResult::Failed;
        failed += rowFailed;
        const QString terminal = !e.terminal.trimmed().isEmpty() ? e.terminal.trimmed()
                                 : !e.address.isEmpty()
                                     ? e.address
                                     : QStringLiteral("makine %1").arg(e.machine);
        const QString texts[kColumnCount] = {
            e.time.toLocalTime().toString(QStringLiteral("dd.MM.yyyy HH:mm:ss")),
            terminal,
            commandText(e.command),
            turkish.toString(e.records),
            resultText(e.result),
            e.message.simplified()};
        for (int column = 0; column < kColumnCount; ++column) {
            auto* item = new QTableWidgetItem(texts[column]);
            if (column == kMessageColumn) item->setToolTip(e.message);
            if (column == kTerminalColumn && !e.address.isEmpty())
                item->setToolTip(QStringLiteral("%1, seri %2, makine %3")
                                     .arg(e.address, e.serial.isEmpty() ? "-" : e.serial)
                                     .arg(e.machine));
            if (column == kRecordsColumn) item->setTextAlignment(Qt::AlignRight | Qt::AlignVCenter);
            if (rowFailed) {
                item->setBackground(QBrush(failedRowColour()));
                if (column == kResultColumn) item->setIcon(warning);
            }
            gridHistory->setItem(row, column, item);
        }
    }
    lblSummary->setText(!problem.isEmpty()
                            ? problem
                            : QStringLiteral("%1 aktarım, %2 başarısız (%3 tarihinden beri).")
                                  .arg(turkish.toString(qlonglong(entries.size())),
                                       turkish.toString(failed),
                                       since.toString(QStringLiteral("dd.MM.yyyy"))));
}

void showHistoryWindow(QWidget* parent, const QString& programDir) {
    HistoryWindow window(programDir, parent);
    window.exec();
}
