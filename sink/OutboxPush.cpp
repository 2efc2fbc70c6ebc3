#include "OutboxPush.h"

#include "core/AppError.h"
#include "core/CentralSettings.h"
#include "core/DirectoryLock.h"
#include "core/RegularFile.h"

#include <QDate>
#include <QDateTime>
#include <QTimeZone>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <fcntl.h>
#include <map>
#include <optional>
#include <random>
#include <string_view>
#include <sys/file.h>
#include <thread>

using v270::mysql::EMySqlException;

namespace {

struct LineFields {
    long long enroll = 0;
    long long mode = 0;
    std::string punch = "NULL"; // a literal: 'yyyy-mm-dd hh:mm:ss', or NULL when not a date
};

// A whole number of the line's text, with an optional "-"; nullopt for
// anything else (an empty field, other characters, more than 18 digits).
std::optional<long long> numberOf(std::string_view text) {
    const bool negative = !text.empty() && text.front() == '-';
    if (negative) text.remove_prefix(1);
    if (text.empty() || text.size() > 18) return std::nullopt;
    long long v = 0;
    for (const char c : text) {
        if (c < '0' || c > '9') return std::nullopt;
        v = v * 10 + (c - '0');
    }
    return negative ? -v : v;
}

// Splits text at sep into exactly n parts; false when there are more or fewer.
bool splitInto(std::string_view text, char sep, std::string_view* parts, size_t n) {
    for (size_t i = 0; i < n; ++i) {
        const size_t at = i + 1 < n ? text.find(sep) : std::string_view::npos;
        if (i + 1 < n && at == std::string_view::npos) return false;
        parts[i] = text.substr(0, at);
        text = at == std::string_view::npos ? std::string_view() : text.substr(at + 1);
    }
    return parts[n - 1].find(sep) == std::string_view::npos;
}

void putDigits(std::string& out, long long v, int width) {
    char buffer[24];
    int n = 0;
    do {
        buffer[n++] = char('0' + v % 10);
        v /= 10;
    } while (v > 0 || n < width);
    while (n > 0)
        out += buffer[--n];
}

// "00123 05/03/2024 08:07:00 01 01\r\n": the line's own fields. A value the
// line does not hold as a number reads as 0, a date that is not one as NULL.
LineFields fieldsOf(const QByteArray& bytes) {
    LineFields f;
    std::string_view line(bytes.constData(), size_t(bytes.size()));
    while (!line.empty() && (line.back() == '\n' || line.back() == '\r'))
        line.remove_suffix(1);
    std::string_view parts[5], date[3], time[3];
    if (!splitInto(line, ' ', parts, 5)) return f;
    f.enroll = numberOf(parts[0]).value_or(0);
    f.mode = numberOf(parts[4]).value_or(0);
    if (!splitInto(parts[1], '/', date, 3) || !splitInto(parts[2], ':', time, 3)) return f;
    const auto day = numberOf(date[0]), month = numberOf(date[1]), year = numberOf(date[2]),
               hour = numberOf(time[0]), minute = numberOf(time[1]), second = numberOf(time[2]);
    if (!day || !month || !year || !hour || !minute || !second) return f;
    if (*year < 1000 || *year > 9999 || *month < 1 || *month > 12 ||
        !QDate::isValid(int(*year), int(*month), int(*day)) || *hour < 0 || *hour > 23 ||
        *minute < 0 || *minute > 59 || *second < 0 || *second > 59)
        return f;
    std::string& p = f.punch;
    p = "'";
    putDigits(p, *year, 4);
    p += '-';
    putDigits(p, *month, 2);
    p += '-';
    putDigits(p, *day, 2);
    p += ' ';
    putDigits(p, *hour, 2);
    p += ':';
    putDigits(p, *minute, 2);
    p += ':';
    putDigits(p, *second, 2);
    p += '\'';
    return f;
}

// The records of a frame share the time they were received: it is
// formatted once.
std::string utcText(int64_t seconds) {
    static thread_local int64_t last = INT64_MIN;
    static thread_local std::string text;
    if (seconds != last) {
        text = "'" +
               QDateTime::fromSecsSinceEpoch(seconds, QTimeZone::utc())
                   .toString(QStringLiteral("yyyy-MM-dd HH:mm:ss"))
                   .toStdString() +
               "'";
        last = seconds;
    }
    return text;
}

// The push's own lock (".merkez.lock", flock): two pushes of one directory
// never interleave, and neither holds the directory's lock while it talks
// to the network.
class PushLock {
  public:
    PushLock(const QString& programDir, int waitMs) {
        const QString path = programDir + QString::fromLatin1(kOutboxPushLockName);
        fd_ = openOwnFile(path, O_RDWR | O_CREAT, 0660);
        if (!fd_.isOpen())
            throw AppError(QStringLiteral("Merkez gönderim kilidi %1 açılamadı.").arg(path));
        for (int waited = 0;; waited += 50) {
            if (::flock(fd_.get(), LOCK_EX | LOCK_NB) == 0) {
                held_ = true;
                return;
            }
            if (errno != EWOULDBLOCK && errno != EINTR) return;
            if (waited >= waitMs) return;
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
    }
    bool held() const { return held_; }

  private:
    FileDescriptor fd_; // closing it lets go of the flock
    bool held_ = false;
};

} // namespace

bool retryableCentralError(int code) {
    return code == 1213 || code == 1205 || hostGoneError(code);
}

// 1047: a Galera node that is not part of the primary component takes no
// statements; 1927: the server killed the connection (shutting down).
bool hostGoneError(int code) {
    return code == 1047 || code == 1053 || code == 1927 || code == 2002 || code == 2003 ||
           code == 2006 || code == 2013 || code == 2026;
}

std::vector<std::string> pushStatements(const std::vector<OutboxRecord>& records,
                                        const QString& site) {
    const std::string siteValue = sqlText(site);
    std::string insert =
        "INSERT IGNORE INTO attendance (terminal_serial, log_generation, position, "
        "machine_number, enroll_number, mode, punch_time, line, site, received_at) VALUES ";
    insert.reserve(records.size() * 220 + insert.size());
    struct Progress {
        int32_t machine = 0;
        int64_t position = 0;
        std::string punch = "NULL";
        int64_t received = 0;
    };
    std::map<QByteArray, Progress> progress; // in key order: every push locks rows alike
    bool first = true;
    for (const OutboxRecord& r : records) {
        const LineFields f = fieldsOf(r.line);
        if (!first) insert += ',';
        first = false;
        insert += '(';
        appendSqlBytes(insert, r.terminal);
        insert += ",0,";
        insert += std::to_string(r.position);
        insert += ',';
        insert += std::to_string(r.machine);
        insert += ',';
        insert += std::to_string(f.enroll);
        insert += ',';
        insert += std::to_string(f.mode);
        insert += ',';
        insert += f.punch;
        insert += ',';
        appendSqlBytes(insert, r.line);
        insert += ',';
        insert += siteValue;
        insert += ',';
        insert += utcText(r.received);
        insert += ')';
        Progress& p = progress[r.terminal];
        if (r.position >= p.position) {
            p.machine = r.machine;
            p.position = r.position;
        }
        if (f.punch != "NULL" && (p.punch == "NULL" || f.punch > p.punch)) p.punch = f.punch;
        p.received = std::max(p.received, r.received);
    }
    std::string upsert = "INSERT INTO terminal_progress (terminal_serial, site, machine_number, "
                         "last_position, last_punch, last_contact) VALUES ";
    first = true;
    for (const auto& [terminal, p] : progress) {
        if (!first) upsert += ',';
        first = false;
        upsert += '(' + sqlBytes(terminal) + ',' + siteValue + ',' + std::to_string(p.machine) +
                  ',' + std::to_string(p.position) + ',' + p.punch + ',' + utcText(p.received) +
                  ')';
    }
    // GREATEST is NULL when either side is: a missing punch keeps the other.
    upsert += " ON DUPLICATE KEY UPDATE machine_number = IF(VALUES(last_position) >= "
              "last_position, VALUES(machine_number), machine_number), last_position = "
              "GREATEST(last_position, VALUES(last_position)), last_punch = "
              "GREATEST(COALESCE(last_punch, VALUES(last_punch)), COALESCE(VALUES(last_punch), "
              "last_punch)), last_contact = GREATEST(last_contact, VALUES(last_contact))";
    return {insert, upsert};
}

namespace {

// One transaction, again on the errors that call for it.
void sendTransaction(CentralConnection& c, const std::vector<std::string>& statements,
                     const PushOptions& options) {
    std::mt19937 jitter(std::random_device{}());
    int pause = options.firstPauseMs;
    for (int attempt = 1;; ++attempt) {
        try {
            c.execute("START TRANSACTION");
            for (const std::string& statement : statements)
                c.execute(statement);
            // A commit whose answer is lost may have happened: the same rows
            // again are ignored by their key, and the progress only grows.
            c.execute("COMMIT");
            return;
        } catch (const EMySqlException& e) {
            if (!retryableCentralError(e.Code()) || attempt >= options.attempts)
                throw AppError(centralErrorText(c, e.Code(), e.what()) +
                               QStringLiteral(" Kayıtlar kuyrukta kalır; sonraki gönderim "
                                              "yeniden dener."));
            if (hostGoneError(e.Code())) {
                c.drop(true);
            } else {
                try {
                    c.execute("ROLLBACK");
                } catch (const EMySqlException&) {
                    c.drop(false);
                }
            }
        } catch (const AppError&) {
            throw;
        } catch (const std::exception& e) {
            // Not the server's answer: the connection is in doubt.
            c.drop(true);
            throw AppError(QStringLiteral("Merkez veritabanı bağlantısı (%1): %2")
                               .arg(c.hostText(), QString::fromUtf8(e.what())));
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(
            pause + std::uniform_int_distribution<int>(0, pause / 2 + 1)(jitter)));
        pause = std::min(pause * 2, options.longestPauseMs);
    }
}

} // namespace

PushResult pushOutbox(const QString& programDir, CentralConnection& connection,
                      const PushOptions& options) {
    PushResult result;
    const PushLock lock(programDir, options.lockWaitMs);
    if (!lock.held()) {
        result.busy = true;
        return result;
    }
    OutboxReader outbox(programDir);
    OutboxCursor cursor = readOutboxCursor(programDir);
    for (;;) {
        OutboxCursor next = cursor;
        const std::vector<OutboxRecord> records = outbox.read(next, options.batchRecords);
        if (records.empty()) {
            cursor = next;
            break;
        }
        sendTransaction(connection, pushStatements(records, connection.settings().site), options);
        result.sent += static_cast<long long>(records.size());
        if (options.afterCommit) options.afterCommit(result.sent);
        writeOutboxCursor(programDir, next);
        cursor = next;
    }
    // Emptied only when nothing is left and no transfer is writing; else
    // the next push does it.
    if (outbox.isOpen()) {
        if (const std::optional<DirectoryLock> held =
                DirectoryLock::tryAcquire(programDir, QStringLiteral("Merkeze gönderim")))
            compactOutbox(*held, cursor);
    }
    result.left = OutboxReader(programDir).countFrom(readOutboxCursor(programDir), nullptr);
    return result;
}
