#include "TerminalSubcommands.h"

#include "HeadlessDataModule.h"
#include "HeadlessTerminal.h"
#include "core/ConsoleOperator.h"
#include "registry/TerminalCheck.h"
#include "registry/TerminalCommands.h"
#include "registry/TerminalList.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

namespace {

const Option kName{QStringLiteral("name"), QStringLiteral("AD"), QStringLiteral("terminalin adı")};
const Option kMachine{QStringLiteral("machine"), QStringLiteral("N"),
                      QStringLiteral("cihaz no (varsayılan 1)")};
const Option kTcp{QStringLiteral("tcp"), QStringLiteral("ADRES:PORT"),
                  QStringLiteral("TCP/IP ile bağlanır (IPv6 adresi köşeli ayraçla: [::1]:5005)")};
const Option kPassword{QStringLiteral("password"), QStringLiteral("N"),
                       QStringLiteral("TCP terminalinin iletişim şifresi (varsayılan 0)")};
const Option kCom{QStringLiteral("com"), QStringLiteral("N"),
                  QStringLiteral("seri porttan bağlanır: COM N")};
const Option kBaud{QStringLiteral("baud"), QStringLiteral("B"),
                   QStringLiteral("seri hız: 1200, 2400, 4800, 9600 (varsayılan), 19200, 38400, "
                                  "57600, 115200")};
const Option kUsb{QStringLiteral("usb"), {}, QStringLiteral("USB ile bağlanır")};

QString typeName(int typeIndex) {
    return tipForTypeIndex(typeIndex);
}

QString connectionText(const TerminalFields& f) {
    switch (f.typeIndex) {
    case 0:
        return QStringLiteral("COM%1, %2 baud").arg(f.comPort.trimmed(), f.comBaud.trimmed());
    case 1: {
        const QString ip = f.ip.trimmed();
        return (ip.contains(u':') ? u'[' + ip + u']' : ip) + u':' + f.netPort.trimmed();
    }
    case 2:
        return QStringLiteral("USB");
    }
    return QStringLiteral("?");
}

// Where a row is reached, without its password: Data.mdb keeps that from
// others, and a list must not hand it out.
QJsonObject rowJson(const TerminalFields& f) {
    QJsonObject o{{"name", f.name}, {"type", typeName(f.typeIndex)}};
    bool ok = false;
    const int machine = f.machineNo.trimmed().toInt(&ok);
    o.insert("machine", ok ? QJsonValue(machine) : QJsonValue());
    if (f.typeIndex == 0) {
        o.insert("com_port", f.comPort.trimmed().toInt());
        o.insert("baud", f.comBaud.trimmed().toInt());
    } else if (f.typeIndex == 1) {
        o.insert("address", f.ip.trimmed());
        o.insert("port", f.netPort.trimmed().toInt());
    }
    return o;
}

// One line on err for the rows whose stored values the check refuses (older
// versions let them in). They are listed as they are and left unchanged.
void warnOfOddRows(const std::vector<QSqlRecord>& rows, QTextStream& err) {
    QStringList odd;
    for (const QSqlRecord& row : rows) {
        if (const std::optional<FieldProblem> problem = checkTerminalRow(row))
            odd << QStringLiteral("\"%1\": %2").arg(escapedText(terminalName(row)), problem->text);
    }
    if (odd.isEmpty()) return;
    err << QStringLiteral("Uyarı: %1 terminal kaydında geçersiz değer var (kayıtlar olduğu gibi "
                          "bırakıldı; düzeltmek için: terminals edit AD): %2")
               .arg(odd.size())
               .arg(odd.join(QStringLiteral("; ")))
        << '\n';
    err.flush();
}

int list(const SubcommandCall& call) {
    std::vector<QSqlRecord> rows;
    try {
        rows = terminalRows(call.programDir);
    } catch (const AppError& e) {
        return failWith(call.io.err, e.text());
    }
    warnOfOddRows(rows, call.io.err);
    QTextStream& out = call.io.out;
    if (call.options.isSet(jsonOption())) {
        QJsonArray array;
        for (const QSqlRecord& row : rows)
            array.append(rowJson(fieldsFromRow(row)));
        out << QString::fromUtf8(QJsonDocument(array).toJson(QJsonDocument::Indented));
        out.flush();
        return ExitDone;
    }
    if (rows.empty()) return failWith(call.io.err, emptyListText(), ExitDone);
    QList<QStringList> table{{QStringLiteral("Ad"), QStringLiteral("No"), QStringLiteral("Tip"),
                              QStringLiteral("Bağlantı")}};
    for (const QSqlRecord& row : rows) {
        const TerminalFields f = fieldsFromRow(row);
        // A stored control character must not reach the screen as one.
        table.append({escapedText(f.name), escapedText(f.machineNo), typeName(f.typeIndex),
                      escapedText(connectionText(f))});
    }
    QList<qsizetype> width(4, 0);
    for (const QStringList& line : table)
        for (int c = 0; c < 4; ++c)
            width[c] = std::max(width[c], line[c].size());
    for (const QStringList& line : table) {
        QString text;
        for (int c = 0; c < 3; ++c)
            text += line[c].leftJustified(width[c]) + QStringLiteral("  ");
        out << text + line[3] << '\n';
    }
    out.flush();
    return ExitDone;
}

// The options of add and edit laid over fields. Returns the reason when they
// don't go together, else empty.
QString applyOptions(const GivenOptions& given, const QString& oldTip, TerminalFields& f) {
    const int types = int(given.isSet(kTcp)) + int(given.isSet(kCom)) + int(given.isSet(kUsb));
    if (types > 1) return QStringLiteral("--tcp, --com ve --usb'den yalnız biri verilir.");
    if (given.isSet(kName)) f.name = given.value(kName);
    if (given.isSet(kMachine)) f.machineNo = given.value(kMachine);
    if (given.isSet(kTcp)) {
        const QString value = given.value(kTcp).trimmed();
        const qsizetype colon = value.lastIndexOf(u':');
        QString host = colon < 0 ? QString() : value.left(colon);
        const bool bracketed = host.startsWith(u'[') && host.endsWith(u']');
        if (bracketed) host = host.mid(1, host.size() - 2);
        if (colon < 0 || host.isEmpty() || value.mid(colon + 1).isEmpty())
            return QStringLiteral("--tcp ADRES:PORT bekler: '%1'")
                .arg(escapedText(given.value(kTcp)));
        // "10.0.0.9:5005:6" is an address with a port in it, and "::1:5005"
        // could be read two ways: an IPv6 address goes in brackets.
        if (!bracketed && host.contains(u':'))
            return QStringLiteral("--tcp ADRES:PORT bekler, adreste port olamaz: '%1' (IPv6 "
                                  "adresi köşeli ayraçla: [::1]:5005)")
                .arg(escapedText(given.value(kTcp)));
        // The editor puts 0 in the password when the type becomes tcp/ip.
        if (f.typeIndex != 1 || oldTip != u"ethernet") f.password = QStringLiteral("0");
        f.typeIndex = 1;
        f.ip = host;
        f.netPort = value.mid(colon + 1);
    }
    if (given.isSet(kCom)) {
        f.typeIndex = 0;
        f.comPort = given.value(kCom);
        if (oldTip != u"com" && !given.isSet(kBaud)) f.comBaud = QStringLiteral("9600");
    }
    if (given.isSet(kUsb)) {
        f.typeIndex = 2;
        f.password = QStringLiteral("0"); // as the editor's type change does
    }
    if (given.isSet(kBaud)) {
        if (f.typeIndex != 0) return QStringLiteral("--baud yalnız seri port (--com) ile verilir.");
        f.comBaud = given.value(kBaud);
    }
    if (given.isSet(kPassword)) {
        if (f.typeIndex != 1)
            return QStringLiteral("--password yalnız TCP (--tcp) terminaliyle verilir.");
        f.password = given.value(kPassword);
    }
    if (const std::optional<FieldProblem> problem = checkTerminalFields(f)) return problem->text;
    return {};
}

// The row's index in the list of dm, by its id; -1 when gone.
int listIndexOf(const TfrmDM& dm, const QSqlRecord& row) {
    for (int r = 0; r < dm.qrycihaz.rowCount(); ++r) {
        if (dm.qrycihaz.record(r).value(QStringLiteral("id")) == row.value(QStringLiteral("id")))
            return r;
    }
    return -1;
}

// A second row of the same name would make --terminal ambiguous.
QString nameTakenProblem(const QString& programDir, const TerminalFields& f,
                         const std::optional<QSqlRecord>& self) {
    for (const QSqlRecord& row : rowsNamed(terminalRows(programDir), f.name)) {
        if (!self || row.value(QStringLiteral("id")) != self->value(QStringLiteral("id")))
            return QStringLiteral("\"%1\" adlı bir terminal zaten var: \"%2\".")
                .arg(f.name.trimmed(), escapedText(terminalName(row)));
    }
    return {};
}

int save(const SubcommandCall& call, const std::optional<QString>& editedName) {
    const Console& io = call.io;
    const QString subcommand = QStringLiteral("terminals");
    return reportedErrors(io.err, [&] {
        HeadlessDataModule data(call.programDir, QStringLiteral("terminals"));
        std::optional<QSqlRecord> row;
        TerminalFields f;
        f.machineNo = QStringLiteral("1");
        if (editedName) {
            const TerminalPick pick = pickTerminal(call.programDir, *editedName, io.err);
            if (!pick.row) return pick.code;
            row = pick.row;
            f = fieldsFromRow(*row);
        } else if (!call.options.isSet(kTcp) && !call.options.isSet(kCom) &&
                   !call.options.isSet(kUsb)) {
            return usageError(io.err,
                              QStringLiteral("Bağlantı için --tcp, --com ya da --usb "
                                             "verin."),
                              subcommand);
        } else if (!call.options.isSet(kName)) {
            return usageError(io.err, QStringLiteral("Terminal Adını Giriniz. (--name AD)"),
                              subcommand);
        }
        const QString oldTip = row ? row->value(QStringLiteral("Tip")).toString() : QString();
        QString problem = applyOptions(call.options, oldTip, f);
        if (problem.isEmpty()) problem = nameTakenProblem(call.programDir, f, row);
        if (!problem.isEmpty()) return failWith(io.err, problem, ExitUsage);

        ConsoleOperator op(io.err, {.answerYes = true});
        reopenTerminalList(data.dm);
        const SaveResult saved = row ? updateTerminal(data.dm, listIndexOf(data.dm, *row), f, op)
                                     : addTerminal(data.dm, f, op);
        if (!saved.saved) return int(ExitFailed); // said already
        if (!io.quiet) {
            io.out << (row ? QStringLiteral("Değiştirildi: ") : QStringLiteral("Eklendi: "))
                   << f.name.trimmed() << " (" << typeName(f.typeIndex) << ", " << connectionText(f)
                   << ")\n";
            io.out.flush();
        }
        return int(ExitDone);
    });
}

int remove(const SubcommandCall& call, const QString& name) {
    const Console& io = call.io;
    return reportedErrors(io.err, [&] {
        HeadlessDataModule data(call.programDir, QStringLiteral("terminals remove"));
        const TerminalPick pick = pickTerminal(call.programDir, name, io.err);
        if (!pick.row) return pick.code;
        ConsoleOperator op(io.err, {.answerYes = true}); // asked for by name
        reopenTerminalList(data.dm);
        const int index = listIndexOf(data.dm, *pick.row);
        if (index < 0 || !deleteTerminal(data.dm, index, op)) return int(ExitFailed);
        if (!io.quiet) {
            io.out << "Silindi: " << escapedText(terminalName(*pick.row)) << '\n';
            io.out.flush();
        }
        return int(ExitDone);
    });
}

} // namespace

std::vector<Subcommand> terminalSubcommands() {
    return {
        {QStringLiteral("terminals"),
         {QStringLiteral("list [--json]"),
          QStringLiteral("add --name AD [--machine N] (--tcp ADRES:PORT [--password N] | "
                         "--com N [--baud B] | --usb)"),
          QStringLiteral("edit AD [--name YENİ_AD] [--machine N] [--tcp ADRES:PORT] "
                         "[--password N] [--com N] [--baud B] [--usb]"),
          QStringLiteral("remove AD")},
         QStringLiteral("terminal listesini gösterir, terminal ekler, değiştirir, siler"),
         QStringLiteral(
             "Pencerenin \"Ekle\", \"Değiştir\" ve \"Sil\" düğmeleri, ekran olmadan. list "
             "listeyi adına göre sıralı yazar (şifre yazılmaz); --json ile bir JSON dizisi: "
             "name, machine, type (com, ethernet, usb) ve bağlantıya göre address ile port ya "
             "da com_port ile baud.\n\n"
             "add ve edit, düzenleme penceresiyle aynı denetimi yapar: ad boş olamaz, "
             "yazdırılabilir karakterlerden oluşur ve en çok 50 karakterdir; cihaz no ve "
             "şifre 32 bitlik tam sayıdır; TCP terminali bir IPv4 adresi (her bölüm 0-255) "
             "ya da ana bilgisayar adı ve yalnız rakamla 1-65535 arası bir port, seri "
             "terminal bir port numarası ve standart bir hız (1200-115200) ister; aynı ad "
             "(büyük/küçük harf ayrımı olmadan) ikinci kez verilmez. Reddedilen bir değer "
             "hiçbir şeyi değiştirmez ve 64 ile çıkar. edit yalnız verilen alanları "
             "değiştirir; tip TCP ya da USB olunca şifre, pencerede olduğu gibi, 0 olur. "
             "list, eski sürümlerin bu denetimden geçmeyen kayıtlarını olduğu gibi "
             "gösterir, denetim karakterlerini \\x1B gibi yazar ve standart hataya tek "
             "satırlık bir uyarı verir.\n\n"
             "AD, büyük/küçük harf ayrımı olmadan listedeki bir adla tam eşleşmelidir."),
         {jsonOption(), kName, kMachine, kTcp, kPassword, kCom, kBaud, kUsb},
         1,
         2,
         [](const SubcommandCall& call) {
             const QString verb = call.arguments[0];
             const GivenOptions& given = call.options;
             const QString sub = QStringLiteral("terminals");
             const bool fieldOptions = given.isSet(kName) || given.isSet(kMachine) ||
                                       given.isSet(kTcp) || given.isSet(kPassword) ||
                                       given.isSet(kCom) || given.isSet(kBaud) || given.isSet(kUsb);
             const qsizetype n = call.arguments.size();
             if (verb == u"list" && n == 1 && !fieldOptions) return list(call);
             if (verb == u"add" && n == 1 && !given.isSet(jsonOption()))
                 return save(call, std::nullopt);
             if (verb == u"edit" && n == 2 && !given.isSet(jsonOption()))
                 return save(call, call.arguments[1]);
             if (verb == u"remove" && n == 2 && !fieldOptions && !given.isSet(jsonOption()))
                 return remove(call, call.arguments[1]);
             return usageError(call.io.err,
                               QStringLiteral("terminals: list, add, edit AD ya da remove AD "
                                              "bekleniyor; seçenekler o işe uymalı."),
                               sub);
         }},
    };
}
