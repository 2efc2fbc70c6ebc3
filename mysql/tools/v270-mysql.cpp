// v270-mysql: runs SQL over the system's own MySQL client, for operators
// checking the PDKS connection and for tests.
//   v270-mysql [-h HOST] [-P PORT] [-u USER] [-p [PASSWORD]] [--password-file FILE]
//              [-D DATABASE]
//              [--charset NAME] [--compress] [--timeout SECONDS] [--dataset]
//              [--ssl] [--ssl-ca FILE] [--ssl-cert FILE] [--ssl-key FILE]
//              [--ssl-cipher LIST] [--ssl-verify-server-cert]
//              [--server-public-key FILE] -e "SQL"
// A result prints its column names, then one line per row; values are
// separated by TAB, SQL NULL is written as NULL, value bytes are unchanged.
// With --dataset the statement runs through the connection and query
// components and each value is printed as the application reads it (its
// AsString: NULL empty, numbers, dates and times in the Turkish formats).

#include "mysql/FormatSettings.h"
#include "mysql/MyQuery.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

using namespace v270::mysql;

namespace {

const char kUsage[] =
    "Kullanım: v270-mysql [-h HOST] [-P PORT] [-u USER] [-p [PASSWORD]] [--password-file FILE]\n"
    "                     [-D DATABASE]\n"
    "                     [--charset NAME] [--compress] [--timeout SECONDS] [--dataset]\n"
    "                     [--ssl] [--ssl-ca FILE] [--ssl-cert FILE] [--ssl-key FILE]\n"
    "                     [--ssl-cipher LIST] [--ssl-verify-server-cert]\n"
    "                     [--server-public-key FILE] -e \"SQL\"\n"
    "  -p                 parolayı ekrana yazmadan sorar; -p PASSWORD ps'de görünür,\n"
    "                     yerine MYSQL_PWD ortam değişkeni ya da --password-file\n"
    "  --password-file FILE  parola dosyanın ilk satırı\n"
    "  --timeout SECONDS  her komut için okuma süre sınırı (varsayılan: sınır yok)\n"
    "  --dataset          sonucu uygulamanın okuduğu gibi yaz (bağlantı ve sorgu bileşenleri)\n"
    "  --ssl              TLS ile bağlan (her --ssl-* seçeneği de bunu açar)\n"
    "  --ssl-ca FILE      sunucu sertifikasını bu CA ile doğrula (sunucu adı da denetlenir)\n"
    "  --ssl-cert FILE    istemci sertifikası; --ssl-key FILE onun anahtarı\n"
    "  --ssl-cipher LIST  OpenSSL şifre listesi; TLS_ ile başlayan adlar TLS 1.3 takımları\n"
    "  --ssl-verify-server-cert  sunucu sertifikasını doğrula (CA yoksa sistemin CA'ları)\n"
    "  --server-public-key FILE  caching_sha2_password için sunucunun RSA açık anahtarı (PEM)\n";

[[noreturn]] void usage() {
    std::fputs(kUsage, stdout);
    std::exit(0);
}

[[noreturn]] void UsageError(const std::string& why) {
    std::fprintf(stderr, "%s\n%s", why.c_str(), kUsage);
    std::exit(2);
}

[[noreturn]] void Fail(int code, std::string message) {
    // Server texts begin with CR LF; the message goes on its own line anyway.
    if (message.rfind("\r\n", 0) == 0) message.erase(0, 2);
    std::fprintf(stderr, "ERROR %d\n%s\n", code, message.c_str());
    std::exit(1);
}

std::string WithoutLineEnd(std::string line) {
    while (!line.empty() && (line.back() == '\n' || line.back() == '\r'))
        line.pop_back();
    return line;
}

// The first line of a regular file of at most 4 KB.
std::string PasswordFromFile(const std::string& path) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    struct stat st {};
    if (fd < 0 || ::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_size > 4096) {
        if (fd >= 0) ::close(fd);
        UsageError("Parola dosyası okunamadı (en çok 4 KB, düzenli bir dosya olmalı): " + path);
    }
    // As other clients do with such files: said, and still used.
    if (st.st_mode & (S_IRGRP | S_IROTH)) {
        char mode[8];
        std::snprintf(mode, sizeof mode, "%04o", unsigned(st.st_mode & 07777));
        std::fprintf(stderr,
                     "Uyarı: \"%s\" parola dosyasını grup ya da başkaları da okuyabiliyor "
                     "(izinler %s); yalnız sahibi okuyabilmeli: chmod 600 \"%s\"\n",
                     path.c_str(), mode, path.c_str());
    }
    std::string text(static_cast<size_t>(st.st_size), '\0');
    const ssize_t n = ::read(fd, text.data(), text.size());
    ::close(fd);
    text.resize(n > 0 ? static_cast<size_t>(n) : 0);
    return WithoutLineEnd(text.substr(0, text.find('\n')));
}

// Asks on the terminal without echo; without one, reads a line of standard input.
std::string PasswordFromPrompt() {
    const int tty = ::open("/dev/tty", O_RDWR | O_CLOEXEC);
    const int in = tty >= 0 ? tty : STDIN_FILENO;
    termios saved{};
    const bool quiet = tty >= 0 && ::tcgetattr(tty, &saved) == 0;
    if (quiet) {
        termios noEcho = saved;
        noEcho.c_lflag &= ~tcflag_t(ECHO);
        ::tcsetattr(tty, TCSAFLUSH, &noEcho);
        [[maybe_unused]] auto w = ::write(tty, "Parola: ", 8);
    }
    std::string line;
    char c = 0;
    while (line.size() < 4096 && ::read(in, &c, 1) == 1 && c != '\n')
        line += c;
    if (quiet) {
        ::tcsetattr(tty, TCSAFLUSH, &saved);
        [[maybe_unused]] auto w = ::write(tty, "\n", 1);
    }
    if (tty >= 0) ::close(tty);
    return WithoutLineEnd(line);
}

void PutBytes(std::string_view s, std::string& out) {
    out.append(s.data(), s.size());
}

void Flush(std::string& out) {
    std::fwrite(out.data(), 1, out.size(), stdout);
    out.clear();
}

// Through TMyConnection and TMyQuery, as the application reads a result.
int RunDataset(const ConnectOptions& o, const std::string& sql, int timeout) {
    TMyConnection connection;
    connection.SetServer(o.server);
    connection.SetPort(o.port);
    connection.SetUsername(o.user);
    connection.SetPassword(o.password);
    connection.SetDatabase(o.database);
    connection.Options().SetCharset(o.charset);
    connection.Options().SetCompress(o.compress);
    if (o.protocol == kProtocolSsl) connection.Options().SetProtocol(mpSSL);
    connection.SSLOptions.CACert = o.ssl.ca;
    connection.SSLOptions.Cert = o.ssl.cert;
    connection.SSLOptions.Key = o.ssl.key;
    connection.SSLOptions.ChipherList = o.ssl.cipher;
    connection.SSLOptions.VerifyServerCert = o.ssl.verifyServerCert;
    connection.ServerPublicKey = o.serverPublicKey;
    TMyQuery query;
    query.SetConnection(&connection);
    query.SQL.SetText(sql);
    query.CommandTimeout = timeout;
    try {
        query.Open();
        std::string out;
        {
            // One builder for the whole result: the rows' texts gather in
            // it and reach the output a few hundred bytes at a time.
            TextBuilder text(out);
            const FormatSettings& settings = formatSettings();
            for (size_t i = 0; i < query.FieldCount(); ++i) {
                if (i) text.Put('\t');
                text.Put(query.Fields(i).FieldName());
            }
            text.Put('\n');
            for (query.First(); !query.Eof(); query.Next()) {
                query.AppendRecordText(text, '\t', settings);
                text.Put('\n');
                if (out.size() >= 65536) Flush(out);
            }
        }
        Flush(out);
        query.Close();
        connection.Close();
    } catch (const EMyError& e) {
        Fail(e.ErrorCode(), e.what());
    } catch (const EDatabaseError& e) {
        std::fprintf(stderr, "ERROR\n%s\n", e.what());
        return 1;
    }
    return 0;
}

// What the command line asks for.
struct Arguments {
    ConnectOptions connect;
    std::string sql;
    bool dataset = false;
    int timeout = 0;
};

// A number of the range low..high, or the usage error with the text given.
long numberArgument(const std::string& v, long low, long high, const char* wrong) {
    char* end = nullptr;
    const long n = std::strtol(v.c_str(), &end, 10);
    if (v.empty() || *end != '\0' || n < low || n > high) UsageError(wrong + v);
    return n;
}

// The password after -p (at argv[i], i moved past it), or asked for when
// none follows.
std::string passwordArgument(int argc, char** argv, int& i) {
    if (i + 1 >= argc || argv[i + 1][0] == '-') return PasswordFromPrompt();
    std::string password = argv[++i];
    // Out of ps's sight from now on, as far as this process can.
    std::memset(argv[i], 'x', std::strlen(argv[i]));
    return password;
}

// The password from MYSQL_PWD when none was given; TLS when any TLS option
// was, and a CA given to check the server with.
void completeOptions(ConnectOptions& o, bool passwordGiven) {
    if (const char* fromEnvironment = std::getenv("MYSQL_PWD"); !passwordGiven && fromEnvironment)
        o.password = fromEnvironment;
    if (!o.ssl.ca.empty() || !o.ssl.cert.empty() || !o.ssl.key.empty() || !o.ssl.cipher.empty() ||
        o.ssl.verifyServerCert)
        o.protocol = kProtocolSsl;
    if (!o.ssl.ca.empty()) o.ssl.verifyServerCert = true;
}

Arguments parseArguments(int argc, char** argv) {
    Arguments a;
    ConnectOptions& o = a.connect;
    o.user = "root";
    bool haveSql = false;
    bool passwordGiven = false;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        auto value = [&]() -> std::string {
            if (i + 1 >= argc) UsageError("'" + arg + "' bir değer bekliyor");
            return argv[++i];
        };
        if (arg == "-h")
            o.server = value();
        else if (arg == "-P")
            o.port = static_cast<int>(numberArgument(value(), 1, 65535, "Geçersiz port: "));
        else if (arg == "-u")
            o.user = value();
        else if (arg == "-p") {
            passwordGiven = true;
            o.password = passwordArgument(argc, argv, i);
        } else if (arg == "--password-file") {
            passwordGiven = true;
            o.password = PasswordFromFile(value());
        } else if (arg == "-D")
            o.database = value();
        else if (arg == "--charset")
            o.charset = value();
        else if (arg == "--compress")
            o.compress = true;
        else if (arg == "--ssl")
            o.protocol = kProtocolSsl;
        else if (arg == "--ssl-ca")
            o.ssl.ca = value();
        else if (arg == "--ssl-cert")
            o.ssl.cert = value();
        else if (arg == "--ssl-key")
            o.ssl.key = value();
        else if (arg == "--ssl-cipher")
            o.ssl.cipher = value();
        else if (arg == "--ssl-verify-server-cert")
            o.ssl.verifyServerCert = true;
        else if (arg == "--server-public-key")
            o.serverPublicKey = value();
        else if (arg == "--dataset")
            a.dataset = true;
        else if (arg == "--timeout")
            a.timeout = static_cast<int>(numberArgument(value(), 1, 31536000, "Geçersiz süre: "));
        else if (arg == "-e") {
            a.sql = value();
            haveSql = true;
        } else if (arg == "--help")
            usage();
        else
            UsageError("Bilinmeyen seçenek: " + arg);
    }
    if (!haveSql) UsageError("-e \"SQL\" gerekli");
    completeOptions(o, passwordGiven);
    return a;
}

// Writes what out holds and fails with the session's error.
[[noreturn]] void failAfter(std::string& out, TMySQLAPI& api, TMySqlSession* s) {
    std::fwrite(out.data(), 1, out.size(), stdout);
    std::fflush(stdout);
    Fail(api.mysql_errno(s), api.mysql_error(s));
}

// One result: its column names, then its rows, value bytes as they come.
void printResult(TMySQLAPI& api, TMySqlSession* s, MySqlResult& r, std::string& out) {
    size_t n = api.mysql_num_fields(r.get());
    for (size_t i = 0; i < n; ++i) {
        if (i) out += '\t';
        out += api.mysql_fetch_field_direct(r.get(), i)->name;
    }
    out += '\n';
    while (const TMySqlBinds* row = api.mysql_fetch_row(r.get())) {
        for (size_t i = 0; i < n; ++i) {
            if (i) out += '\t';
            if (row->IsNull(i))
                out += "NULL";
            else
                PutBytes(row->Field(i), out);
        }
        out += '\n';
        if (out.size() >= 65536) Flush(out);
    }
    if (api.mysql_errno(s) != 0) failAfter(out, api, s);
    api.mysql_free_result(r);
}

// Straight through the C API table, every result of the statement.
int runPlain(const ConnectOptions& o, const std::string& sql, int timeout) {
    TMySQLAPI& api = TMySQLAPIDirect::Instance();
    try {
        OpenSession open = ConnectSession(api, o);
        TMySqlSession* s = open.session.get();
        api.SetTimeout(s, timeout);
        if (api.mysql_real_query(s, sql) != 0) Fail(api.mysql_errno(s), api.mysql_error(s));
        std::string out;
        for (;;) {
            MySqlResult r = api.mysql_use_result(s);
            if (!r && api.mysql_errno(s) != 0) Fail(api.mysql_errno(s), api.mysql_error(s));
            if (r) printResult(api, s, r, out);
            if (!api.mysql_more_results(s)) break;
            if (api.mysql_next_result(s) > 0) failAfter(out, api, s);
        }
        std::fwrite(out.data(), 1, out.size(), stdout);
        api.mysql_close(open.session);
    } catch (const EMySqlException& e) {
        Fail(e.Code(), e.what());
    }
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    const Arguments a = parseArguments(argc, argv);
    if (a.dataset) return RunDataset(a.connect, a.sql, a.timeout);
    return runPlain(a.connect, a.sql, a.timeout);
}
