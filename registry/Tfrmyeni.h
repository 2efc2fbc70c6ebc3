#pragma once

#include "TerminalCommands.h"

#include <QDialog>

class QComboBox;
class QGroupBox;
class QLabel;
class QLineEdit;
class QPushButton;
class Operator;
class TfrmDM;

// The terminal editor: adds a terminal or edits the selected one. It is made
// once and reused, so its fields keep what the last use left in them.
class Tfrmyeni : public QDialog {
    Q_OBJECT
  public:
    Tfrmyeni(TfrmDM& dm, Operator& op, QWidget* parent = nullptr);

    // "yeni" (add) or "guncelle" (update), set by the main window.
    QString mode;
    // The list row being edited, and the row to select after a save.
    int selectedRow = -1;
    int resultRow = -1;

    QLineEdit* Edit1; // Cihaz
    QLineEdit* Edit7; // Cihaz No
    QComboBox* ComboBox1;
    QGroupBox* GroupBox1;
    QLineEdit* Edit2; // Com Port
    QLineEdit* Edit3; // Baud
    QGroupBox* GroupBox2;
    QLineEdit* Edit4;     // ip adres
    QLineEdit* Edit5;     // tcp port
    QLineEdit* Edit6;     // passsword
    QPushButton* BitBtn2; // Kaydet
    QPushButton* Button1; // Kapat
    // What is wrong with a stored row "Değiştir" opened; hidden otherwise.
    QLabel* lblRowProblem;

    TerminalFields fields() const;
    // Fills the fields from a stored row, cutting nothing, and says under
    // them what the check would refuse in it, until the editor closes.
    void setFields(const TerminalFields& f);
    // Shows the group box of a type: 0 com port, 1 tcp/ip, 2 none.
    void showGroupFor(int typeIndex);

  public slots:
    void ComboBox1Change();
    void BitBtn2Click();
    void Button1Click();

  private:
    void buildFields();
    void buildButtons();
    QWidget* fieldWidget(TerminalField field) const;

    TfrmDM& dm_;
    Operator& op_;
};
