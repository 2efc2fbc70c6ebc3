#pragma once

#include <QDialog>

class QLabel;
class QPushButton;

// The fingerprint-data window: copies enrollments between terminals and
// names the users.
class TfrmEnrol : public QDialog {
    Q_OBJECT
public:
    explicit TfrmEnrol(QWidget* parent = nullptr);

    QLabel* Label3;      // the connected terminal's name
    QPushButton* BitBtn3; // Kapat
};
