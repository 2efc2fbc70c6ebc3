#include "TerminalSession.h"

#include "core/AppError.h"
#include "core/IniFile.h"
#include "core/Operator.h"
#include "terminal/TFP_CLOCK.h"

#include <QSqlField>
#include <QVariant>

namespace {

// Column values by name, without regard to letter case; a missing column or
// NULL reads as empty text.
QString text(const QSqlRecord& row, const char* column) {
    const int i = row.indexOf(QLatin1String(column));
    if (i < 0) return {};
    const QVariant v = row.value(i);
    return v.isNull() ? QString() : v.toString();
}

// An integer column: NULL or missing reads as 0, as the old field reader did.
int32_t integer(const QSqlRecord& row, const char* column) {
    const QString t = text(row, column);
    return t.isEmpty() ? 0 : toWholeNumber(t);
}

} // namespace

int32_t toWholeNumber(const QString& text) {
    bool ok = false;
    const qlonglong value = text.trimmed().toLongLong(&ok, 10);
    if (!ok || value < INT32_MIN || value > INT32_MAX) {
        throw AppError(QStringLiteral("'%1' geçerli bir tam sayı değil.").arg(text));
    }
    return static_cast<int32_t>(value);
}

bool connectTerminal(TFP_CLOCK& clock, const QSqlRecord& row, SessionState& state) {
    state.machineNumber = integer(row, "terminalno");
    clock.setDisplayName(text(row, "terminal"));
    clock.IsUSB = false;
    state.connected = false;
    state.notTried.clear();
    if (row.isEmpty()) {
        state.notTried =
            QStringLiteral("Terminal listesi boş; önce \"Ekle\" ile bir terminal ekleyin");
        return false;
    }

    const QString tip = text(row, "tip");
    if (tip == u"ethernet") {
        const QString ip = text(row, "ip");
        const int32_t port = integer(row, "netport");
        const int32_t password = integer(row, "sifre");
        // An address the control refuses (no IP, no port or one beyond
        // 65535) ends the attempt: opening anyway could reach a serial port.
        if (clock.SetIPAddress(ip, port, password))
            state.connected = clock.OpenCommPort(state.machineNumber);
    } else if (tip == u"com") {
        const QString comport = text(row, "comport");
        const QString combaud = text(row, "combaud");
        if (!comport.isEmpty() && !combaud.isEmpty()) clock.CommPort = toWholeNumber(comport);
        clock.Baudrate = toWholeNumber(combaud);
        clock.setDevicePath(terminalDevicePath(state.settingsFile, false, clock.CommPort));
        state.connected = clock.OpenCommPort(state.machineNumber);
    } else if (tip == u"usb") {
        clock.IsUSB = true;
        clock.setDevicePath(terminalDevicePath(state.settingsFile, true, clock.CommPort));
        state.connected = clock.OpenCommPort(state.machineNumber);
    } else {
        state.notTried = tip.trimmed().isEmpty()
                             ? QStringLiteral("terminal kaydında bağlantı tipi yok; kaydı düzeltin")
                             : QStringLiteral("bilinmeyen bağlantı tipi '%1'; kaydı düzeltin "
                                              "(ethernet, com ya da usb)")
                                   .arg(tip);
    }

    if (state.connected) {
        state.connectedName = text(row, "terminal");
        state.connectedAddress = rowAddress(row, state.settingsFile);
    }
    return state.connected;
}

bool connectCommand(TFP_CLOCK& clock, const QSqlRecord& row, SessionState& state, Operator& op) {
    bool connected = false;
    {
        BusyCursor busy(op);
        connected = connectTerminal(clock, row, state);
    }
    if (!connected) {
        int32_t code = ERR_COMPORT_ERROR;
        clock.GetLastError(code);
        op.showMessage(connectionFailedText(text(row, "terminal"),
                                            rowAddress(row, state.settingsFile), code,
                                            state.notTried),
                       applicationTitle(), Operator::Icon::None);
    }
    return connected;
}

QString connectionFailedText(const QString& name, const QString& address, int32_t errorCode,
                             const QString& notTried) {
    QString reason = notTried;
    // The control's code names what it met; it is shown only where the
    // words above do not already say it, and never when nothing was sent.
    bool showCode = false;
    if (reason.isEmpty()) switch (errorCode) {
        case ERR_COMPORT_ERROR:
            reason = QStringLiteral("bağlantı açılamadı ya da koptu; terminalin açık, kablonun "
                                    "takılı ve adresin doğru olduğunu denetleyin");
            break;
        case ERR_WRITE_FAIL:
            reason = QStringLiteral("terminale gönderilemedi; bağlantıyı denetleyin");
            break;
        case ERR_READ_FAIL:
            reason = QStringLiteral("terminal zamanında yanıt vermedi; terminalin açık ve "
                                    "ağın çalıştığını denetleyin");
            break;
        case ERR_INVALID_PARAM:
            reason = QStringLiteral("adres, port ya da şifre geçersiz; terminal kaydını düzeltin");
            break;
        default:
            reason = QStringLiteral("terminal bağlantıyı kabul etmedi");
            showCode = errorCode != 0;
            break;
        }
    const QString who = name.trimmed().isEmpty() ? QStringLiteral("Terminal") : name.trimmed();
    const QString where = address.isEmpty() ? QString() : QStringLiteral(" (%1)").arg(address);
    const QString codeName = showCode ? deviceErrorName(errorCode) : QString();
    return QStringLiteral("Hata..Bağlantı Kurulamadı....\n%1%2: %3%4")
        .arg(who, where, reason,
             codeName.isEmpty() ? QString() : QStringLiteral(" [%1]").arg(codeName));
}

QString connectedStatusText(const SessionState& state) {
    const QString name = state.connectedName.trimmed().isEmpty() ? QStringLiteral("Terminal")
                                                                 : state.connectedName.trimmed();
    const QString where = state.connectedAddress.isEmpty()
                              ? QString()
                              : state.connectedAddress + QStringLiteral(", ");
    return QStringLiteral("Bağlı: %1 (%2makine %3)").arg(name, where).arg(state.machineNumber);
}

QString rowAddress(const QSqlRecord& row, const QString& settingsFile) {
    const QString tip = text(row, "tip");
    if (tip == u"ethernet")
        return QStringLiteral("%1:%2").arg(text(row, "ip"), text(row, "netport"));
    if (tip == u"usb") return terminalDevicePath(settingsFile, true, 0);
    if (tip == u"com") {
        bool ok = false;
        const int port = text(row, "comport").trimmed().toInt(&ok);
        return ok ? terminalDevicePath(settingsFile, false, port) : text(row, "comport");
    }
    return {};
}

QString terminalDevicePath(const QString& settingsFile, bool usb, int32_t commPort) {
    const QString section = QStringLiteral("Ports");
    if (usb) {
        return settingsFile.isEmpty()
                   ? QString()
                   : readProfileString(settingsFile, section, QStringLiteral("USB"), QString());
    }
    if (commPort < 1) return {};
    const QString fallback = QStringLiteral("/dev/ttyS%1").arg(commPort - 1);
    if (settingsFile.isEmpty()) return fallback;
    return readProfileString(settingsFile, section, QStringLiteral("COM%1").arg(commPort),
                             fallback);
}

void disconnectTerminal(TFP_CLOCK& clock, SessionState& state) {
    clock.CloseCommPort();
    state.connected = false;
}
