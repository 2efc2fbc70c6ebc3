#pragma once

#include "EnrollCommands.h"
#include "NamesList.h"
#include "PersonnelSettings.h"

#include <QDialog>

#include <functional>
#include <memory>

class QCheckBox;
class QComboBox;
class QGroupBox;
class QLabel;
class QLineEdit;
class QListWidget;
class QPlainTextEdit;
class QProgressBar;
class QPushButton;
class QTabWidget;
class QTableView;
class QToolButton;
class QWidget;
class CommandWorker;
class Operator;
class TFP_CLOCK;
class TfrmDM;
class WidgetOperator;
class BulkCommand;
struct SingleReadResult;
struct SessionState;

// The fingerprint-data window: copies the connected terminal's enrollments
// into the store and back to a terminal, names the users, and reads, writes
// and deletes single enrollments. Made once; its fields and the enrollment
// values keep their contents from one showing to the next.
class TfrmEnrol : public QDialog, private EnrollScreen {
    Q_OBJECT
  public:
    // op: where commands talk to the operator; null means this window's own
    // message boxes and status line.
    // worker: the thread the connected control's link lives on; every
    // terminal request of this window runs there.
    TfrmEnrol(TfrmDM& dm, TFP_CLOCK& clock, CommandWorker& worker, const SessionState& session,
              Operator* op = nullptr, QWidget* parent = nullptr);
    ~TfrmEnrol() override;

    // The personnel-name commands (the names subsystem fills them in).
    struct NameHandlers {
        std::function<void(TfrmEnrol&)> fillNames;        // SpeedButton1
        std::function<void(TfrmEnrol&)> sendSelectedName; // BitBtn4
        std::function<void(TfrmEnrol&)> sendAllNames;     // BitBtn5
        std::function<void(TfrmEnrol&)> databaseSettings; // btnDatabaseSettings
    };
    void setNameHandlers(NameHandlers handlers) { nameHandlers_ = std::move(handlers); }

    Operator& op() { return *op_; }
    // Hands work to the terminal thread and returns; the window stays live,
    // and the operator the work gets carries messages and questions to it.
    // Once the work has ended, what it threw is reported, else then runs.
    // Inside a bulk command (runBulk) the work first takes the program
    // directory's lock on the terminal thread, where "İptal" ends the wait,
    // and the bulk command's controls stay disabled until the work ends.
    void runCommand(std::function<void(Operator&)> work, std::function<void()> then = {});
    EnrollStore store() const;
    int32_t machineNumber() const { return machine_; }
    const PersonnelSettings& mySqlSettings() const { return mySql_; }
    // Settings.ini, where the personnel settings are read from.
    QString settingsFile() const;
    EnrollValues values;
    NamesList qryisim;
    // True while a bulk command runs.
    bool busy() const { return busy_; }

    QLabel* Label3; // the connected terminal's name
    QLabel* Label5; // the personnel database's name
    QTabWidget* PageControl1;
    QWidget* TabSheet1; // tüm data
    QWidget* TabSheet2; // tek data(parmak)
    QLabel* lblMessage;
    QPushButton* BitBtn3;      // Kapat
    QPushButton* cancelButton; // İptal: stops a bulk command at its next step
    QProgressBar* progressBar; // done/total of a bulk download or upload

    QPushButton* BitBtn1; // Terminalden Parmakizi Datası Al
    QGroupBox* GroupBox1;
    QCheckBox* CheckBox2; // Cihazdaki tüm prmizlerini sil
    QPushButton* BitBtn2; // Terminale Parmakizi Datası Yükle
    QLabel* Label2;
    QLineEdit* txtName;
    QPlainTextEdit* Memo1;
    QToolButton* SpeedButton1;        // PDKS Programından İsimleri Al (mysql)
    QPushButton* btnDatabaseSettings; // Veritabanı Ayarları
    QTableView* DBGrid1;
    QLabel* Label7;
    QLineEdit* Edit8;     // name search
    QPushButton* BitBtn4; // Seçili Personel Adını Terminale Yükle
    QPushButton* BitBtn5; // Tüm Personel Adlarını Terminale Yükle
    QLabel* Label9;

    QLineEdit* txtEnrollNumber;
    QLineEdit* txtCardNumber;
    QComboBox* cmbEMachineNumber;
    QComboBox* cmbBackupNumber;
    QComboBox* cmbPrivilege;
    QPushButton* cmdGetEnrollData;
    QPushButton* cmdSetEnrollData;
    QPushButton* cmdDeleteEnrollData;
    QLabel* lblEnrollData;
    QListWidget* lstEnrollData;
    QLabel* Label30;

    void ReadMySqlSettings();
    void ShowNameList();
    // Tells in the status line, after before, whether the store holds a
    // whole download; nothing for an empty store never downloaded.
    void showStoreState(const QString& before = {});

  public slots:
    void FormShow();
    void BitBtn1Click();
    void BitBtn2Click();
    void SpeedButton1Click();
    void BitBtn4Click();
    void BitBtn5Click();
    void Edit8Change();
    void btnDatabaseSettingsClick();
    void cmdGetEnrollDataClick();
    void cmdSetEnrollDataClick();
    void cmdDeleteEnrollDataClick();
    void reject() override;

  protected:
    void showEvent(QShowEvent* event) override;

  private:
    friend class BulkCommand;
    void buildControls();
    void buildAllDataTab();
    // The right half of the first tab: the personnel names and their commands.
    void buildNamesPart(QWidget* tab);
    void buildSingleTab();
    void setKeyboardDefaults();

    // EnrollScreen
    void clearLog() override;
    void addLogLine(const QString& line) override;
    void setPosition(const QString& text) override;
    void setUserName(const QString& name) override;
    void showNameList() override;

    TfrmDM& dm_;
    TFP_CLOCK& clock_;
    CommandWorker& worker_;
    const SessionState& session_;
    std::unique_ptr<WidgetOperator> ownOperator_;
    Operator* op_;
    int32_t machine_ = 0;
    PersonnelSettings mySql_;
    NameHandlers nameHandlers_;
    bool busy_ = false;
    // A bulk command being started: what its runCommand takes over.
    void runBulk(const QString& what, const std::function<void()>& start);
    void showSingleEnrollment(const SingleReadResult& r);
    std::shared_ptr<BulkCommand> pendingBulk_;
    QString pendingLockFor_;
};
