#pragma once

#include "core/CommandWorker.h"
#include "core/Operator.h"
#include "session/TerminalSession.h"
#include "terminal/TFP_CLOCK.h"

#include <QList>
#include <QWidget>

#include <memory>

class QAction;
class QCheckBox;
class QGroupBox;
class QLabel;
class QLineEdit;
class QMenu;
class QProgressBar;
class QPushButton;
class QTableView;
class TfrmDM;
class TfrmEnrol;
class Tfrmyeni;
class Tfrmzil;
class WidgetOperator;

// The main window: the terminal list, the connection and every command.
// Controls carry their designer names; each handler hands its work to
// command code.
class Tfrmgiris : public QWidget {
    Q_OBJECT
  public:
    // op: where commands talk to the operator; null means this window's own
    // message boxes and widgets.
    Tfrmgiris(TfrmDM& dm, const QString& programDir, Operator* op = nullptr,
              QWidget* parent = nullptr);
    ~Tfrmgiris() override;

    void setSecondaryWindows(Tfrmyeni* yeni, TfrmEnrol* enrol, Tfrmzil* zil);

    QString programDir() const { return programDir_; }
    QString settingsPath() const;
    Operator& op() { return *op_; }

    // The thread every terminal request runs on (the control's link lives
    // there), for this window and the ones it opens.
    CommandWorker worker;
    // The one terminal control, and the connection state other windows read.
    TFP_CLOCK FP_CLOCK1;
    SessionState session;

    // The grid's current row, -1 for none.
    int selectedRow() const;
    void selectRow(int row);

    QTableView* DBGrid1;
    QPushButton* BitBtn1; // Ekle
    QPushButton* BitBtn2; // Değiştir
    QPushButton* BitBtn3; // Sil
    QPushButton* BitBtn4; // BAGLAN / BAGLANTI_KES
    QPushButton* BitBtn5; // Verileri Aktar
    QProgressBar* ProgressBar1;
    QLabel* Label1;
    QLabel* LabelTotal;
    QPushButton* BitBtn6;      // Tarih-Saat Ayarla
    QPushButton* BitBtn7;      // Tarih-Saat Oku
    QPushButton* BitBtn8;      // Admin Sil
    QPushButton* BitBtn9;      // Zil Saatleri
    QPushButton* BitBtn10;     // Parmakizi
    QPushButton* BitBtn11;     // Kapat
    QPushButton* cancelButton; // İptal: stops the running command at its next chunk
    QGroupBox* GroupBox1;
    QCheckBox* CheckBox1;
    QPushButton* Button2; // kaydet
    QPushButton* Button1; // sdkart->text (veri.txt)
    QLineEdit* Edit1;     // memory-card file name, off screen
    QLabel* statusLine;   // notices of the start-up, such as a newly made program directory
    QMenu* PopupMenu1;
    QAction* TerminaldeTanmlTmParmakizleriniSil1;
    QAction* erminaldentmVerileriAl1;
    QAction* historyAction; // "Geçmiş": the history of transfers
    QAction* mVerileriAlaldktansonracihazdansil1;
    QAction* TmTerminallerdenAktar1; // every terminal of the list, several at once

    void setTerminalCommandsEnabled(bool enabled);

  public slots:
    void FormCreate();
    void BitBtn1Click();
    void BitBtn2Click();
    void BitBtn3Click();
    void BitBtn4Click();
    void BitBtn5Click();
    void BitBtn6Click();
    void BitBtn7Click();
    void BitBtn8Click();
    void TerminaldeTanmlTmParmakizleriniSil1Click();
    void Button1Click();
    void erminaldentmVerileriAl1Click();
    void mVerileriAlaldktansonracihazdansil1Click();
    void TmTerminallerdenAktar1Click();
    void Button2Click();
    void BitBtn9Click();
    void BitBtn10Click();
    void BitBtn11Click();

    // True while a terminal command runs.
    bool commandRunning() const { return runningCommands_ > 0; }

    // Ends the program as closing the window does, without asking: the
    // running command of any window is cancelled and delivers what it read,
    // open dialogs are dismissed, and end is called once nothing runs (the
    // program passes QCoreApplication::quit).
    void endWithoutAsking(std::function<void()> end);

  protected:
    void closeEvent(QCloseEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;

  private:
    friend class RunningCommand;
    void buildControls();
    void buildGrid();
    void buildTransferControls();
    void buildCommandRow();
    void buildPopupMenu();
    void connectHandlers();
    void showGridColumns();
    void commandEnded();
    // Hands work to the terminal thread and returns; the window stays live,
    // its command controls disabled and "İptal" offered. When the work has
    // ended the window notices a link it had to give up, reports what it
    // threw, and otherwise goes on with then.
    void runCommand(std::function<void(Operator&)> work, std::function<void()> then = {});
    void setCommandControlsEnabled(bool enabled);
    void noticeLostLink();
    void showCommandStatus(const QString& terminal, const QString& told);
    // True when connected; otherwise tells the operator to connect first.
    bool connectedOrTold();

    int runningCommands_ = 0;
    bool closePending_ = false;
    bool endPending_ = false;

    TfrmDM& dm_;
    QString programDir_;
    std::unique_ptr<WidgetOperator> ownOperator_;
    Operator* op_;
    Tfrmyeni* yeni_ = nullptr;
    TfrmEnrol* enrol_ = nullptr;
    Tfrmzil* zil_ = nullptr;
};
