#include "AllTerminalsDialog.h"

#include <QApplication>
#include <QBrush>
#include <QColor>
#include <QHeaderView>
#include <QLabel>
#include <QLocale>
#include <QPushButton>
#include <QShowEvent>
#include <QStyle>
#include <QTableWidget>

QColor failedRowColour() {
    return QColor(255, 220, 220);
}

AllTerminalsDialog::AllTerminalsDialog(std::unique_ptr<AllTerminalsTransfer> run, QWidget* parent)
    : QDialog(parent), run_(std::move(run)) {
    setObjectName(QStringLiteral("frmTumTerminaller"));
    setWindowTitle(QStringLiteral("Tüm Terminallerden Aktar"));
    setFixedSize(900, 360);

    gridTerminals = new QTableWidget(this);
    gridTerminals->setObjectName(QStringLiteral("gridTerminals"));
    gridTerminals->setAccessibleName(QStringLiteral("Terminaller"));
    gridTerminals->setGeometry(8, 8, 884, 270);
    gridTerminals->setColumnCount(kColumnCount);
    gridTerminals->setHorizontalHeaderLabels({QStringLiteral("Terminal"), QStringLiteral("Okunan"),
                                              QStringLiteral("Sonuç"), QStringLiteral("Neden"),
                                              QStringLiteral("Adres")});
    gridTerminals->setEditTriggers(QAbstractItemView::NoEditTriggers);
    gridTerminals->setSelectionMode(QAbstractItemView::NoSelection);
    gridTerminals->setWordWrap(false);
    gridTerminals->verticalHeader()->setDefaultSectionSize(20);
    gridTerminals->setColumnWidth(kNameColumn, 140);
    gridTerminals->setColumnWidth(kProgressColumn, 80);
    gridTerminals->setColumnWidth(kResultColumn, 190);
    gridTerminals->setColumnWidth(kReasonColumn, 300);
    gridTerminals->horizontalHeader()->setStretchLastSection(true);

    lblSummary = new QLabel(this);
    lblSummary->setObjectName(QStringLiteral("lblSummary"));
    lblSummary->setAccessibleDescription(QStringLiteral("Özet"));
    lblSummary->setGeometry(8, 286, 884, 20);

    cancelButton = new QPushButton(QStringLiteral("İp&tal"), this);
    cancelButton->setObjectName(QStringLiteral("cancelButton"));
    cancelButton->setAccessibleName(QStringLiteral("İptal"));
    cancelButton->setGeometry(680, 318, 100, 33);
    cancelButton->setToolTip(QStringLiteral("Başlamamış terminaller atlanır; okunmakta olanların "
                                            "kayıtları terminalde yeni kalır."));
    closeButton = new QPushButton(QStringLiteral("&Kapat"), this);
    closeButton->setObjectName(QStringLiteral("closeButton"));
    closeButton->setAccessibleName(QStringLiteral("Kapat"));
    closeButton->setGeometry(792, 318, 100, 33);
    closeButton->setEnabled(false);
    connect(cancelButton, &QPushButton::clicked, this, [this] {
        run_->requestCancel();
        cancelButton->setEnabled(false);
    });
    connect(closeButton, &QPushButton::clicked, this, &QDialog::accept);

    connect(&refreshTimer_, &QTimer::timeout, this, &AllTerminalsDialog::refresh);
    refresh();
}

void AllTerminalsDialog::showEvent(QShowEvent* event) {
    QDialog::showEvent(event);
    if (event->spontaneous()) return;
    run_->start();
    refreshTimer_.start(100);
}

void AllTerminalsDialog::reject() {
    // Esc and the close box stop the run first; the window closes once it
    // has ended, so no terminal is left locked behind it.
    if (!run_->finished()) {
        run_->requestCancel();
        cancelButton->setEnabled(false);
        return;
    }
    QDialog::reject();
}

void AllTerminalsDialog::refresh() {
    const QLocale turkish(QLocale::Turkish);
    const std::vector<AllTerminalsTransfer::Row> rows = run_->snapshot();
    gridTerminals->setRowCount(static_cast<int>(rows.size()));
    int delivered = 0, failed = 0;
    long long records = 0;
    for (size_t i = 0; i < rows.size(); ++i) {
        const AllTerminalsTransfer::Row& r = rows[i];
        const int row = static_cast<int>(i);
        const auto set = [&](int column, const QString& text, const QString& tip = {}) {
            QTableWidgetItem* item = gridTerminals->item(row, column);
            if (!item) {
                item = new QTableWidgetItem;
                gridTerminals->setItem(row, column, item);
            }
            item->setText(text);
            item->setToolTip(tip);
        };
        QString progress;
        if (r.stage != AllTerminalsTransfer::Stage::Waiting &&
            r.stage != AllTerminalsTransfer::Stage::Skipped) {
            progress = r.total >= 0 ? QStringLiteral("%1/%2").arg(turkish.toString(r.done),
                                                                  turkish.toString(r.total))
                                    : turkish.toString(r.done);
        }
        const bool rowFailed = AllTerminalsTransfer::failed(r);
        set(kNameColumn, r.name);
        set(kAddressColumn, r.address);
        set(kProgressColumn, progress);
        set(kResultColumn, AllTerminalsTransfer::resultText(r), r.message);
        // The reason in a line: the failure's text without its heading.
        QString reason = r.message;
        if (reason.contains(QLatin1Char('\n')))
            reason = reason.section(QLatin1Char('\n'), 1).simplified();
        set(kReasonColumn, rowFailed ? reason : QString(), r.message);
        gridTerminals->item(row, kNameColumn)
            ->setIcon(rowFailed ? style()->standardIcon(QStyle::SP_MessageBoxWarning) : QIcon());
        for (int column = 0; column < kColumnCount; ++column)
            gridTerminals->item(row, column)
                ->setBackground(rowFailed ? QBrush(failedRowColour()) : QBrush());
        if (r.stage == AllTerminalsTransfer::Stage::Done) {
            rowFailed ? ++failed : ++delivered;
            records += r.result.records;
        }
    }
    if (run_->finished()) {
        refreshTimer_.stop();
        cancelButton->setEnabled(false);
        closeButton->setEnabled(true);
        closeButton->setDefault(true);
        lblSummary->setText(QStringLiteral("Bitti: %1 terminal tamam, %2 terminal sorunlu; "
                                           "toplam %3 kayıt dosyalara yazıldı.")
                                .arg(delivered)
                                .arg(failed)
                                .arg(turkish.toString(records)));
    } else {
        lblSummary->setText(QStringLiteral("Aktarılıyor: %1/%2 terminal bitti.")
                                .arg(delivered + failed)
                                .arg(rows.size()));
    }
}
