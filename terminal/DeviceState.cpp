#include "DeviceState.h"

#include <QDate>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRandomGenerator>
#include <QSaveFile>

#include <charconv>
#include <cmath>
#include <cstdio>
#include <limits>

namespace {

// Every number in the file is a 32-bit signed integer; anything else is an error.
bool toInt32(const QJsonValue& v, int32_t& out) {
    if (!v.isDouble()) return false;
    const double d = v.toDouble();
    if (!std::isfinite(d) || d != std::trunc(d) || d < std::numeric_limits<int32_t>::min() ||
        d > std::numeric_limits<int32_t>::max())
        return false;
    out = static_cast<int32_t>(d);
    return true;
}

class Parser {
  public:
    QString error;

    // A missing key keeps the default; a present one must be an int32.
    bool field(const QJsonObject& o, const char* key, int32_t& out, const QString& where) {
        const auto it = o.constFind(QLatin1String(key));
        if (it == o.constEnd()) return true;
        if (!toInt32(*it, out))
            return fail(where + QLatin1String(key) + QStringLiteral(": expected a 32-bit integer"));
        return true;
    }

    // A missing key keeps the default; a present one must be a serial number.
    bool serial(const QJsonObject& o, QString& out) {
        const auto it = o.constFind(QLatin1String("serial"));
        if (it == o.constEnd()) return true;
        if (!it->isString() || !isValidSerial(it->toString()))
            return fail(QStringLiteral("serial: expected 1 to %1 printable ASCII characters")
                            .arg(kMaxSerialLength));
        out = it->toString();
        return true;
    }

    bool fail(const QString& message) {
        if (error.isEmpty()) error = message;
        return false;
    }
};

bool parseBells(Parser& p, const QJsonValue& v, DeviceState& s) {
    if (!v.isArray()) return p.fail(QStringLiteral("bells: expected an array of 8 objects"));
    const QJsonArray a = v.toArray();
    if (a.size() != kBellCount)
        return p.fail(QStringLiteral("bells: expected exactly 8 entries, found %1").arg(a.size()));
    for (int i = 0; i < kBellCount; ++i) {
        if (!a[i].isObject()) return p.fail(QStringLiteral("bells[%1]: expected an object").arg(i));
        const QJsonObject o = a[i].toObject();
        const QString where = QStringLiteral("bells[%1].").arg(i);
        Bell& b = s.bells[static_cast<size_t>(i)];
        if (!p.field(o, "on", b.on, where) || !p.field(o, "hour", b.hour, where) ||
            !p.field(o, "minute", b.minute, where))
            return false;
    }
    return true;
}

bool parseLogs(Parser& p, const QJsonValue& v, DeviceState& s) {
    if (!v.isArray()) return p.fail(QStringLiteral("logs: expected an array"));
    const QJsonArray a = v.toArray();
    s.logs.reserve(static_cast<size_t>(a.size()));
    for (qsizetype i = 0; i < a.size(); ++i) {
        if (!a[i].isObject()) return p.fail(QStringLiteral("logs[%1]: expected an object").arg(i));
        const QJsonObject o = a[i].toObject();
        const QString where = QStringLiteral("logs[%1].").arg(i);
        LogRecord r;
        if (!p.field(o, "enroll", r.enroll, where) || !p.field(o, "mode", r.mode, where) ||
            !p.field(o, "year", r.year, where) || !p.field(o, "month", r.month, where) ||
            !p.field(o, "day", r.day, where) || !p.field(o, "hour", r.hour, where) ||
            !p.field(o, "minute", r.minute, where))
            return false;
        s.logs.push_back(r);
    }
    return true;
}

bool parseEnrollments(Parser& p, const QJsonValue& v, DeviceState& s) {
    if (!v.isArray()) return p.fail(QStringLiteral("enrollments: expected an array"));
    const QJsonArray a = v.toArray();
    for (qsizetype i = 0; i < a.size(); ++i) {
        if (!a[i].isObject())
            return p.fail(QStringLiteral("enrollments[%1]: expected an object").arg(i));
        const QJsonObject o = a[i].toObject();
        const QString where = QStringLiteral("enrollments[%1].").arg(i);
        Enrollment e;
        if (!p.field(o, "enroll", e.enroll, where) || !p.field(o, "emachine", e.emachine, where) ||
            !p.field(o, "backup", e.backup, where) ||
            !p.field(o, "privilege", e.privilege, where) ||
            !p.field(o, "enabled", e.enabled, where) || !p.field(o, "password", e.password, where))
            return false;
        if (!isValidBackup(e.backup))
            return p.fail(where + QStringLiteral("backup: expected 0 to 16"));
        const auto t = o.constFind(QLatin1String("template"));
        if (t != o.constEnd()) {
            if (!t->isArray() ||
                t->toArray().size() != static_cast<qsizetype>(e.fingerprint.size()))
                return p.fail(where +
                              QStringLiteral("template: expected an array of 356 integers"));
            const QJsonArray ta = t->toArray();
            for (qsizetype k = 0; k < ta.size(); ++k)
                if (!toInt32(ta[k], e.fingerprint[static_cast<size_t>(k)]))
                    return p.fail(where +
                                  QStringLiteral("template[%1]: expected a 32-bit integer").arg(k));
        }
        // A template enrollment has no password and a password or card none
        // of the template, whatever else the file holds.
        if (isFingerprintBackup(e.backup))
            e.password = 0;
        else
            e.fingerprint.fill(0);
        s.enrollments.push_back(e);
    }
    return true;
}

bool parseNames(Parser& p, const QJsonValue& v, DeviceState& s) {
    if (!v.isObject())
        return p.fail(QStringLiteral("names: expected an object of enroll number to name"));
    const QJsonObject o = v.toObject();
    for (auto it = o.constBegin(); it != o.constEnd(); ++it) {
        bool ok = false;
        const int32_t enroll = it.key().toInt(&ok);
        if (!ok)
            return p.fail(
                QStringLiteral("names: key \"%1\" is not a 32-bit integer").arg(it.key()));
        if (!it->isString())
            return p.fail(QStringLiteral("names.%1: expected a text").arg(it.key()));
        s.names[enroll] = it->toString();
    }
    return true;
}

} // namespace

std::optional<DeviceState> parseDeviceState(const QByteArray& json, QString* error) {
    Parser p;
    QJsonParseError pe;
    const QJsonDocument doc = QJsonDocument::fromJson(json, &pe);
    DeviceState s;
    bool ok = false;
    if (doc.isNull()) {
        p.fail(
            QStringLiteral("not valid JSON at offset %1: %2").arg(pe.offset).arg(pe.errorString()));
    } else if (!doc.isObject()) {
        p.fail(QStringLiteral("expected a JSON object at the top"));
    } else {
        const QJsonObject o = doc.object();
        ok = p.serial(o, s.serial) && p.field(o, "machine", s.machine, QString()) &&
             p.field(o, "password", s.password, QString()) &&
             p.field(o, "clock_offset_s", s.clockOffsetSeconds, QString()) &&
             p.field(o, "ring_duration", s.ringDuration, QString()) &&
             p.field(o, "new_mark", s.newMark, QString()) &&
             (!o.contains(QLatin1String("bells")) ||
              parseBells(p, o.value(QLatin1String("bells")), s)) &&
             (!o.contains(QLatin1String("logs")) ||
              parseLogs(p, o.value(QLatin1String("logs")), s)) &&
             (!o.contains(QLatin1String("enrollments")) ||
              parseEnrollments(p, o.value(QLatin1String("enrollments")), s)) &&
             (!o.contains(QLatin1String("names")) ||
              parseNames(p, o.value(QLatin1String("names")), s));
    }
    if (!ok) {
        if (error) *error = p.error;
        return std::nullopt;
    }
    return s;
}

namespace {

// Written by hand rather than through QJsonDocument: the emulator saves the
// whole state, tens of megabytes with many templates, several times a
// second while names are sent one by one, and this is many times faster.
class JsonWriter {
  public:
    QByteArray out;

    void raw(const char* text) { out.append(text); }
    void number(int32_t v) {
        char digits[12];
        const auto end = std::to_chars(digits, digits + sizeof digits, v).ptr;
        out.append(digits, end - digits);
    }
    // The integers separated by commas, formatted in one go: templates are
    // nearly all of a big state.
    void numbers(const int32_t* values, size_t count) {
        const qsizetype at = out.size();
        out.resize(at + static_cast<qsizetype>(count * 12));
        char* p = out.data() + at;
        for (size_t i = 0; i < count; ++i) {
            if (i) *p++ = ',';
            p = std::to_chars(p, p + 11, values[i]).ptr;
        }
        out.resize(p - out.constData());
    }
    void field(const char* key, int32_t v) {
        out.append('"').append(key).append("\":");
        number(v);
    }
    // Fields separated by ", ".
    void fields(std::initializer_list<std::pair<const char*, int32_t>> list) {
        bool first = true;
        for (const auto& [key, v] : list) {
            if (!first) raw(", ");
            first = false;
            field(key, v);
        }
    }
    // Every UTF-16 unit outside printable ASCII is escaped, so any text
    // (lone surrogates included) reads back the same.
    void string(const QString& text) {
        out.append('"');
        for (QChar ch : text) {
            const char16_t u = ch.unicode();
            if (u == '"' || u == '\\') {
                out.append('\\').append(char(u));
            } else if (u >= 0x20 && u < 0x7f) {
                out.append(char(u));
            } else {
                char buf[8];
                std::snprintf(buf, sizeof buf, "\\u%04x", unsigned(u));
                out.append(buf);
            }
        }
        out.append('"');
    }
};

} // namespace

namespace {

void writeBells(JsonWriter& w, const std::array<Bell, kBellCount>& bells) {
    for (size_t i = 0; i < bells.size(); ++i) {
        w.raw(i ? ", {" : "{");
        w.fields({{"on", bells[i].on}, {"hour", bells[i].hour}, {"minute", bells[i].minute}});
        w.raw("}");
    }
}

void writeLogs(JsonWriter& w, const std::vector<LogRecord>& logs) {
    for (size_t i = 0; i < logs.size(); ++i) {
        const LogRecord& r = logs[i];
        w.raw(i ? ",\n  {" : "\n  {");
        w.fields({{"enroll", r.enroll},
                  {"mode", r.mode},
                  {"year", r.year},
                  {"month", r.month},
                  {"day", r.day},
                  {"hour", r.hour},
                  {"minute", r.minute}});
        w.raw("}");
    }
}

void writeEnrollments(JsonWriter& w, const std::vector<Enrollment>& enrollments) {
    for (size_t i = 0; i < enrollments.size(); ++i) {
        const Enrollment& e = enrollments[i];
        w.raw(i ? ",\n  {" : "\n  {");
        w.fields({{"enroll", e.enroll},
                  {"emachine", e.emachine},
                  {"backup", e.backup},
                  {"privilege", e.privilege},
                  {"enabled", e.enabled}});
        w.raw(", ");
        if (isFingerprintBackup(e.backup)) {
            w.raw("\"template\": [");
            w.numbers(e.fingerprint.data(), e.fingerprint.size());
            w.raw("]}");
        } else {
            w.field("password", e.password);
            w.raw("}");
        }
    }
}

void writeNames(JsonWriter& w, const std::map<int32_t, QString>& names) {
    bool first = true;
    for (const auto& [enroll, name] : names) {
        w.raw(first ? "\n  \"" : ",\n  \"");
        first = false;
        w.number(enroll);
        w.raw("\": ");
        w.string(name);
    }
}

} // namespace

QByteArray serializeDeviceState(const DeviceState& s) {
    JsonWriter w;
    w.out.reserve(static_cast<qsizetype>(512 + s.logs.size() * 90 + s.enrollments.size() * 4000));
    w.raw("{");
    if (!s.serial.isEmpty()) {
        w.raw("\"serial\": ");
        w.string(s.serial);
        w.raw(", ");
    }
    w.fields({{"machine", s.machine},
              {"password", s.password},
              {"clock_offset_s", s.clockOffsetSeconds}});
    w.raw(",\n ");
    w.field("ring_duration", s.ringDuration);
    w.raw(",\n \"bells\": [");
    writeBells(w, s.bells);
    w.raw("],\n \"logs\": [");
    writeLogs(w, s.logs);
    w.raw("],\n ");
    w.field("new_mark", s.newMark);
    w.raw(",\n \"enrollments\": [");
    writeEnrollments(w, s.enrollments);
    w.raw("],\n \"names\": {");
    writeNames(w, s.names);
    w.raw("}}\n");
    return w.out;
}

bool saveDeviceState(const DeviceState& state, const QString& path, QString* error) {
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(serializeDeviceState(state)) < 0 ||
        !file.commit()) {
        if (error) *error = file.errorString();
        return false;
    }
    return true;
}

bool isValidSerial(const QString& serial) {
    if (serial.isEmpty() || serial.size() > kMaxSerialLength) return false;
    for (QChar ch : serial)
        if (ch.unicode() < 0x21 || ch.unicode() > 0x7e) return false;
    return true;
}

QString makeSerial() {
    // 48 random bits: two emulated terminals never share one in practice.
    const quint64 bits = QRandomGenerator::system()->generate64() & 0xffffffffffffull;
    return QStringLiteral("EMU%1").arg(bits, 12, 16, QLatin1Char('0')).toUpper();
}

namespace {

// A fixed seed keeps a demo terminal the same from run to run.
struct DemoRandom {
    uint32_t seed = 20240305u;
    uint32_t operator()() {
        seed = seed * 1664525u + 1013904223u;
        return seed >> 8;
    }
};

void addDemoUser(DeviceState& s, int32_t u, DemoRandom& rnd) {
    static const char* const first[] = {"AYSE",  "MEHMET", "FATMA", "ALI",     "ZEYNEP", "MUSTAFA",
                                        "EMINE", "HASAN",  "ELIF",  "HUSEYIN", "SULE",   "CAN"};
    static const char* const last[] = {"YILMAZ", "KAYA",   "DEMIR", "SAHIN",  "CELIK",
                                       "YILDIZ", "OZTURK", "AYDIN", "ARSLAN", "DOGAN"};
    const int fingers = (u % 3 == 0) ? 2 : 1;
    for (int f = 0; f < fingers; ++f) {
        Enrollment e;
        e.enroll = u, e.emachine = s.machine, e.backup = f;
        e.privilege = (u == 1) ? 2 : (u == 2 ? 1 : 0);
        for (auto& v : e.fingerprint)
            v = static_cast<int32_t>(rnd() * 2654435761u);
        // A template enrollment has no password and a password or card none
        // of the template, whatever else the file holds.
        if (isFingerprintBackup(e.backup))
            e.password = 0;
        else
            e.fingerprint.fill(0);
        s.enrollments.push_back(e);
    }
    Enrollment card;
    card.enroll = u, card.emachine = s.machine, card.backup = kCardBackup;
    card.password = static_cast<int32_t>(1000000 + rnd() % 9000000);
    s.enrollments.push_back(card);
    if (u % 5 == 0) {
        Enrollment pw = card;
        pw.backup = kPasswordBackup, pw.password = static_cast<int32_t>(rnd() % 10000);
        s.enrollments.push_back(pw);
    }
    const QString name = QString::fromLatin1(first[rnd() % std::size(first)]) + QLatin1Char(' ') +
                         QString::fromLatin1(last[rnd() % std::size(last)]);
    s.names[u] = name.left(12);
}

// About 2 records a user a working day over the last few weeks, at least a few thousand.
void addDemoRecords(DeviceState& s, int users, DemoRandom& rnd) {
    const QDate today = QDate::currentDate();
    const int days = 30;
    const int perDay = std::max(100, users * 2);
    for (int d = days; d >= 1; --d) {
        const QDate date = today.addDays(-d);
        for (int k = 0; k < perDay; ++k) {
            LogRecord r;
            r.enroll = 1 + static_cast<int32_t>(rnd() % static_cast<uint32_t>(users));
            const bool in = k < perDay / 2;
            r.mode = in ? 0 : 8;
            r.year = date.year(), r.month = date.month(), r.day = date.day();
            r.hour =
                in ? 7 + static_cast<int32_t>(rnd() % 3) : 16 + static_cast<int32_t>(rnd() % 3);
            r.minute = static_cast<int32_t>(rnd() % 60);
            s.logs.push_back(r);
        }
    }
}

} // namespace

DeviceState makeDemoState(int users, int32_t machine) {
    DeviceState s;
    s.machine = machine;
    const int times[][2] = {{8, 30}, {10, 15}, {10, 30}, {12, 0},
                            {13, 0}, {15, 15}, {15, 30}, {17, 30}};
    for (int i = 0; i < kBellCount; ++i)
        s.bells[static_cast<size_t>(i)] = Bell{i % 4 == 3 ? 0 : 1, times[i][0], times[i][1]};
    DemoRandom rnd;
    for (int u = 1; u <= users; ++u)
        addDemoUser(s, u, rnd);
    if (users > 0) addDemoRecords(s, users, rnd);
    return s;
}
