#pragma once

#include <QDialog>

// The bell-schedule window.
class Tfrmzil : public QDialog {
    Q_OBJECT
public:
    explicit Tfrmzil(QWidget* parent = nullptr);
};
