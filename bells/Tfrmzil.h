#pragma once

#include "BellSchedule.h"

#include <QDialog>

#include <array>
#include <functional>

class CommandWorker;
class Operator;
class QCheckBox;
class QLineEdit;
class QPushButton;
class TFP_CLOCK;
struct SessionState;

// The bell-schedule window. It has no terminal of its own: it works on the
// main window's control, through the main window's terminal thread, and the
// session's machine number.
class Tfrmzil : public QDialog, public BellFormView {
    Q_OBJECT
  public:
    Tfrmzil(TFP_CLOCK& clock, CommandWorker& worker, const SessionState& session, Operator& op,
            QWidget* parent = nullptr);

    // Bell i's check box, hour and minute edits (_chkValid_i, _txtHour_i, _txtMinute_i).
    std::array<QCheckBox*, kBellCount> chkValid{};
    std::array<QLineEdit*, kBellCount> txtHour{};
    std::array<QLineEdit*, kBellCount> txtMinute{};
    QLineEdit* txtBellCount;
    QPushButton* Button1; // <--- Terminalden Zil Saatlerini Oku
    QPushButton* Button2; // --->Terminale Zİl Saatlerini Gönder
    QPushButton* BitBtn1; // Kapat

    // The table and ring duration, kept for the whole run.
    BellSchedule schedule;

    BellForm form() const override;
    void showForm(const BellForm& form) override;

  public slots:
    void FormShow();
    void Button1Click();
    void Button2Click();
    void reject() override;

  protected:
    void showEvent(QShowEvent* event) override;

  private:
    void buildBellRows();
    void buildButtons();
    // True when there are no unsent edits or the operator agrees to drop them.
    bool mayClose();
    BellForm formOnScreen() const;
    void showFormOnScreen(const BellForm& form);
    // Runs a terminal request on the terminal thread, the buttons off meanwhile.
    void runCommand(std::function<void(Operator&)> work);

    TFP_CLOCK& clock_;
    CommandWorker& worker_;
    const SessionState& session_;
    Operator& op_;
    bool unsent_ = false;
};
