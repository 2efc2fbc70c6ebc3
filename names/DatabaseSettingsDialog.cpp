#include "DatabaseSettingsDialog.h"

#include "PersonnelConnection.h"
#include "core/AppError.h"
#include "core/Operator.h"
#include "core/WidgetOperator.h"

#include <QCheckBox>
#include <QDialogButtonBox>
#include <QFormLayout>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QVBoxLayout>

namespace {

QLineEdit* edit(QWidget* parent, const char* name) {
    auto* e = new QLineEdit(parent);
    e->setObjectName(QLatin1String(name));
    return e;
}

} // namespace

DatabaseSettingsDialog::DatabaseSettingsDialog(const QString& settingsFile, Operator* op,
                                               QWidget* parent)
    : QDialog(parent), settingsFile_(settingsFile) {
    setObjectName(QStringLiteral("frmVeritabani"));
    setWindowTitle(QStringLiteral("Veritabanı Ayarları"));

    auto* layout = new QVBoxLayout(this);
    layout->addWidget(buildServerGroup());
    layout->addWidget(buildTlsGroup());
    lblResult = new QLabel(this);
    lblResult->setObjectName(QStringLiteral("lblResult"));
    lblResult->setWordWrap(true);
    lblResult->setTextInteractionFlags(Qt::TextSelectableByMouse);
    lblResult->setMinimumHeight(48);
    lblResult->setAccessibleDescription(QStringLiteral("Deneme sonucu"));
    layout->addWidget(lblResult);
    // The server speaks English: its words go in a small box of their own,
    // under the Turkish line, without pushing the form about.
    txtDetails = new QPlainTextEdit(this);
    txtDetails->setObjectName(QStringLiteral("txtDetails"));
    txtDetails->setAccessibleName(QStringLiteral("Sunucunun yanıtı"));
    txtDetails->setReadOnly(true);
    txtDetails->setFixedHeight(54);
    txtDetails->hide();
    layout->addWidget(txtDetails);
    layout->addWidget(buildButtons());
    setMinimumWidth(460);

    if (!op) {
        ownOperator_ = std::make_unique<WidgetOperator>(this);
        op = ownOperator_.get();
    }
    op_ = op;

    stored_ = ReadMySqlSettings(settingsFile_);
    showSettings(stored_);
}

QGroupBox* DatabaseSettingsDialog::buildServerGroup() {
    auto* server = new QGroupBox(QStringLiteral("PDKS veritabanı (MySQL)"), this);
    auto* serverForm = new QFormLayout(server);
    edtServer = edit(server, "edtServer");
    edtPort = edit(server, "edtPort");
    edtDatabase = edit(server, "edtDatabase");
    edtUser = edit(server, "edtUser");
    edtPassword = edit(server, "edtPassword");
    edtPassword->setEchoMode(QLineEdit::Password);
    serverForm->addRow(QStringLiteral("&Sunucu:"), edtServer);
    serverForm->addRow(QStringLiteral("&Port:"), edtPort);
    serverForm->addRow(QStringLiteral("&Veritabanı:"), edtDatabase);
    serverForm->addRow(QStringLiteral("K&ullanıcı:"), edtUser);
    serverForm->addRow(QStringLiteral("Ş&ifre:"), edtPassword);
    return server;
}

QGroupBox* DatabaseSettingsDialog::buildTlsGroup() {
    auto* tls = new QGroupBox(QStringLiteral("Şifreli bağlantı"), this);
    auto* tlsForm = new QFormLayout(tls);
    chkSsl = new QCheckBox(QStringLiteral("SSL/TLS ile bağlan"), tls);
    chkSsl->setObjectName(QStringLiteral("chkSsl"));
    edtCACert = edit(tls, "edtCACert");
    edtCert = edit(tls, "edtCert");
    edtKey = edit(tls, "edtKey");
    edtCipherList = edit(tls, "edtCipherList");
    chkVerify = new QCheckBox(QStringLiteral("Sunucu sertifikasını doğrula"), tls);
    chkVerify->setObjectName(QStringLiteral("chkVerify"));
    edtServerPublicKey = edit(tls, "edtServerPublicKey");
    tlsForm->addRow(chkSsl);
    tlsForm->addRow(QStringLiteral("CA sertifikası:"), edtCACert);
    tlsForm->addRow(QStringLiteral("İstemci sertifikası:"), edtCert);
    tlsForm->addRow(QStringLiteral("İstemci anahtarı:"), edtKey);
    tlsForm->addRow(QStringLiteral("Şifreleme takımları:"), edtCipherList);
    tlsForm->addRow(chkVerify);
    tlsForm->addRow(QStringLiteral("Sunucu açık anahtarı:"), edtServerPublicKey);
    return tls;
}

QDialogButtonBox* DatabaseSettingsDialog::buildButtons() {
    auto* buttons = new QDialogButtonBox(this);
    btnTry = buttons->addButton(QStringLiteral("&Dene"), QDialogButtonBox::ActionRole);
    btnTry->setObjectName(QStringLiteral("btnTry"));
    btnSave = buttons->addButton(QStringLiteral("&Kaydet"), QDialogButtonBox::AcceptRole);
    btnSave->setObjectName(QStringLiteral("btnSave"));
    btnCancel = buttons->addButton(QStringLiteral("&Vazgeç"), QDialogButtonBox::RejectRole);
    btnCancel->setObjectName(QStringLiteral("btnCancel"));
    // Enter saves, as in the other editors; only a click or Alt+D tries.
    for (QPushButton* b : {btnTry, btnSave, btnCancel})
        b->setAutoDefault(false);
    btnSave->setDefault(true);
    // The box would accept on its own; saving decides whether the dialog closes.
    connect(btnTry, &QPushButton::clicked, this, &DatabaseSettingsDialog::btnTryClick);
    connect(btnSave, &QPushButton::clicked, this, &DatabaseSettingsDialog::btnSaveClick);
    connect(btnCancel, &QPushButton::clicked, this, &QDialog::reject);
    return buttons;
}

DatabaseSettingsDialog::~DatabaseSettingsDialog() {
    // Only when the dialog goes while a try runs (the program ends): the
    // worker waits for the try, whose answer no one reads.
    if (tryWorker_.running()) op_->endBusy();
}

PersonnelSettings DatabaseSettingsDialog::settings() const {
    PersonnelSettings s;
    s.server = edtServer->text().trimmed();
    s.database = edtDatabase->text().trimmed();
    s.user = edtUser->text();
    s.password = edtPassword->text();
    s.port = edtPort->text().trimmed();
    s.ssl = switchSetting(chkSsl->isChecked(), stored_.ssl, false);
    s.sslCACert = settingsFilePath(settingsFile_, edtCACert->text().trimmed());
    s.sslCert = settingsFilePath(settingsFile_, edtCert->text().trimmed());
    s.sslKey = settingsFilePath(settingsFile_, edtKey->text().trimmed());
    s.sslCipherList = edtCipherList->text().trimmed();
    s.sslVerify = switchSetting(chkVerify->isChecked(), stored_.sslVerify, !s.sslCACert.isEmpty());
    s.serverPublicKey = settingsFilePath(settingsFile_, edtServerPublicKey->text().trimmed());
    return s;
}

void DatabaseSettingsDialog::showSettings(const PersonnelSettings& s) {
    edtServer->setText(s.server);
    edtDatabase->setText(s.database);
    edtUser->setText(s.user);
    edtPassword->setText(s.password);
    edtPort->setText(s.port);
    chkSsl->setChecked(settingIsOn(s.ssl, false));
    edtCACert->setText(s.sslCACert);
    edtCert->setText(s.sslCert);
    edtKey->setText(s.sslKey);
    edtCipherList->setText(s.sslCipherList);
    chkVerify->setChecked(settingIsOn(s.sslVerify, !s.sslCACert.isEmpty()));
    edtServerPublicKey->setText(s.serverPublicKey);
    lblResult->clear();
    txtDetails->clear();
    txtDetails->hide();
}

void DatabaseSettingsDialog::btnTryClick() {
    if (tryWorker_.running()) return;
    lblResult->setStyleSheet({});
    lblResult->setText(QStringLiteral("Bağlanılıyor..."));
    btnTry->setEnabled(false);
    btnSave->setEnabled(false);
    btnCancel->setEnabled(false);
    op_->beginBusy();
    const PersonnelSettings typed = settings();
    auto result = std::make_shared<ConnectionTry>();
    tryWorker_.start(
        *op_, [typed, result](Operator&) { *result = tryPersonnelConnection(typed); },
        [this, result](std::exception_ptr failure) {
            showTryResult(*result);
            reportCommandFailure(*op_, failure);
        });
}

void DatabaseSettingsDialog::showTryResult(const ConnectionTry& result) {
    op_->endBusy();
    for (QPushButton* b : {btnTry, btnSave, btnCancel})
        b->setEnabled(true);
    lblResult->setStyleSheet(result.ok ? QStringLiteral("color: darkgreen")
                                       : QStringLiteral("color: darkred"));
    lblResult->setText(result.text);
    txtDetails->setPlainText(result.details);
    txtDetails->setVisible(!result.details.isEmpty());
    emit tryFinished();
}

void DatabaseSettingsDialog::reject() {
    if (tryWorker_.running()) return;
    QDialog::reject();
}

void DatabaseSettingsDialog::btnSaveClick() {
    const PersonnelSettings s = settings();
    if (const QString problem = personnelSettingsProblem(s); !problem.isEmpty()) {
        op_->showMessage(problem, QStringLiteral("UYARI"), Operator::Icon::Warning);
        return;
    }
    try {
        savePersonnelSettings(settingsFile_, s);
    } catch (const AppError& e) {
        op_->showMessage(QStringLiteral("Ayarlar kaydedilemedi.\n%1").arg(e.text()),
                         QStringLiteral("UYARI"), Operator::Icon::Critical);
        return;
    }
    accept();
}
