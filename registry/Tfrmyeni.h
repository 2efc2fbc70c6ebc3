#pragma once

#include <QDialog>

// The terminal editor: adds a terminal or edits the selected one.
class Tfrmyeni : public QDialog {
    Q_OBJECT
public:
    explicit Tfrmyeni(QWidget* parent = nullptr);
};
