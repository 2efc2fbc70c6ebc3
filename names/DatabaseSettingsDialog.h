#pragma once

#include "PersonnelConnection.h"
#include "core/CommandWorker.h"
#include "enroll/PersonnelSettings.h"

#include <QDialog>

#include <memory>

class Operator;
class QCheckBox;
class QDialogButtonBox;
class QGroupBox;
class QLabel;
class QLineEdit;
class QPlainTextEdit;
class QPushButton;
class WidgetOperator;

// "Veritabanı Ayarları": the connection to the PDKS program's personnel
// database as Settings.ini holds it, to edit, try ("Dene") and save
// ("Kaydet"). The checks, the try and the writing are in
// PersonnelConnection; the dialog only moves values to and from its fields.
class DatabaseSettingsDialog : public QDialog {
    Q_OBJECT
  public:
    // op: where messages go; null means the dialog's own message boxes.
    DatabaseSettingsDialog(const QString& settingsFile, Operator* op = nullptr,
                           QWidget* parent = nullptr);
    ~DatabaseSettingsDialog() override;

    // The settings as typed.
    PersonnelSettings settings() const;
    void showSettings(const PersonnelSettings& settings);

    QLineEdit* edtServer;
    QLineEdit* edtDatabase;
    QLineEdit* edtUser;
    QLineEdit* edtPassword;
    QLineEdit* edtPort;
    QCheckBox* chkSsl;
    QLineEdit* edtCACert;
    QLineEdit* edtCert;
    QLineEdit* edtKey;
    QLineEdit* edtCipherList;
    QCheckBox* chkVerify;
    QLineEdit* edtServerPublicKey;
    QLabel* lblResult;
    QPlainTextEdit* txtDetails; // the server's own words after a failed try
    QPushButton* btnTry;        // Dene
    QPushButton* btnSave;       // Kaydet
    QPushButton* btnCancel;     // Vazgeç

    // True while "Dene" waits for the server.
    bool trying() const { return tryWorker_.running(); }

  signals:
    // "Dene" has its answer in lblResult.
    void tryFinished();

  public slots:
    void btnTryClick();
    void btnSaveClick();
    // Esc and Vazgeç: not while a try runs, whose answer is on its way.
    void reject() override;

  private:
    QGroupBox* buildServerGroup();
    QGroupBox* buildTlsGroup();
    QDialogButtonBox* buildButtons();
    void showTryResult(const ConnectionTry& result);

    QString settingsFile_;
    PersonnelSettings stored_; // as read when the dialog opened
    std::unique_ptr<WidgetOperator> ownOperator_;
    Operator* op_;
    // The try runs off the GUI thread, so the dialog paints and moves while
    // the server keeps it waiting (up to the connection timeout).
    CommandWorker tryWorker_;
};
