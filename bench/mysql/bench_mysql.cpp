// Streams rows of (INT, VARCHAR(40) latin5, DATETIME) from a MariaDB server
// over TCP through mysql_use_result and mysql_fetch_row, and prints rows/s
// and MB/s of values; then opens the same rows with TMyQuery (FetchAll:
// converted and stored) and prints the time and the peak heap against the
// bytes of the values.
//   bench_mysql [-h HOST] [-P PORT] [-u USER] [-p PASSWORD] [--rows N] [--runs N]
//               [--query-rows N]  rows of the TMyQuery open (default 100,000)
//               [--once]          one streaming pass of --rows, no set-up check, for callgrind
//               [--once --query]  one TMyQuery open of --rows, for callgrind
//               [--ssl]           the streaming runs over TLS
// HOST and PORT default to V270_MYSQL_HOST and V270_MYSQL_PORT.
#include "mysql/MyQuery.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <malloc.h>
#include <new>
#include <string>

using namespace v270::mysql;

// Heap in use and its peak, counted through every operator new and delete.
namespace {
std::atomic<size_t> g_heap{0};
std::atomic<size_t> g_peak{0};

void* Allocate(size_t n) {
    void* p = std::malloc(n ? n : 1);
    if (!p) throw std::bad_alloc();
    size_t now =
        g_heap.fetch_add(malloc_usable_size(p), std::memory_order_relaxed) + malloc_usable_size(p);
    size_t peak = g_peak.load(std::memory_order_relaxed);
    while (now > peak && !g_peak.compare_exchange_weak(peak, now, std::memory_order_relaxed)) {
    }
    return p;
}
void Release(void* p) noexcept {
    if (!p) return;
    g_heap.fetch_sub(malloc_usable_size(p), std::memory_order_relaxed);
    std::free(p);
}
} // namespace

void* operator new(size_t n) {
    return Allocate(n);
}
void* operator new[](size_t n) {
    return Allocate(n);
}
void operator delete(void* p) noexcept {
    Release(p);
}
void operator delete[](void* p) noexcept {
    Release(p);
}
void operator delete(void* p, size_t) noexcept {
    Release(p);
}
void operator delete[](void* p, size_t) noexcept {
    Release(p);
}

namespace {

struct Totals {
    uint64_t rows = 0;
    uint64_t bytes = 0;
};

// The measured part: one statement, its rows streamed and dropped. Kept out
// of line so that callgrind can count exactly this (--toggle-collect).
extern "C" __attribute__((noinline)) void StreamRows(TMySqlSession* s, const char* sql, Totals* t) {
    TMySQLAPI& api = TMySQLAPIDirect::Instance();
    if (api.mysql_real_query(s, sql, std::strlen(sql)) != 0) return;
    MySqlResult r = api.mysql_use_result(s);
    if (!r) return;
    size_t n = api.mysql_num_fields(r.get());
    while (const TMySqlBinds* row = api.mysql_fetch_row(r.get())) {
        ++t->rows;
        for (size_t i = 0; i < n; ++i)
            t->bytes += row->Length(i);
    }
    api.mysql_free_result(r);
}

// The measured part of the query: Open with FetchAll, every row converted
// and stored. Kept out of line for callgrind.
extern "C" __attribute__((noinline)) void OpenQuery(TMyQuery* query) {
    query->Open();
}

[[noreturn]] void Die(const std::string& what) {
    std::fprintf(stderr, "bench_mysql: %s\n", what.c_str());
    std::exit(1);
}

} // namespace

int main(int argc, char** argv) {
    ConnectOptions o;
    const char* h = std::getenv("V270_MYSQL_HOST");
    const char* p = std::getenv("V270_MYSQL_PORT");
    o.server = h ? h : "127.0.0.1";
    o.port = p ? std::atoi(p) : 3306;
    o.user = "root";
    o.connectionTimeout = 15;
    long rows = 1000000;
    int runs = 3;
    bool once = false;
    bool queryOnly = false;
    long queryRows = 100000;
    bool ssl = false;
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        auto next = [&]() -> std::string {
            if (i + 1 >= argc) Die("missing value after " + a);
            return argv[++i];
        };
        if (a == "-h")
            o.server = next();
        else if (a == "-P")
            o.port = std::atoi(next().c_str());
        else if (a == "-u")
            o.user = next();
        else if (a == "-p")
            o.password = next();
        else if (a == "--rows")
            rows = std::atol(next().c_str());
        else if (a == "--runs")
            runs = std::atoi(next().c_str());
        else if (a == "--once")
            once = true;
        else if (a == "--query")
            queryOnly = true;
        else if (a == "--query-rows")
            queryRows = std::atol(next().c_str());
        else if (a == "--ssl")
            ssl = true;
        else
            Die("unknown option " + a);
    }
    TMySQLAPI& api = TMySQLAPIDirect::Instance();
    const std::string table = "v270_bench.bench_rows";

    try {
        if (!once) {
            // Set-up: a million rows, made once and kept between runs.
            ConnectOptions setup = o;
            setup.charset = "utf8";
            OpenSession s = ConnectSession(api, setup);
            TMySQLCommand(api, s.session.get(), "CREATE DATABASE IF NOT EXISTS v270_bench")
                .Execute();
            if (api.mysql_select_db(s.session.get(), "v270_bench") != 0)
                Die(api.mysql_error(s.session.get()));
            TMySQLCommand(api, s.session.get(),
                          "CREATE TABLE IF NOT EXISTS " + table +
                              " (id INT PRIMARY KEY, ad VARCHAR(40) CHARACTER SET latin5, "
                              "zaman DATETIME) ENGINE=InnoDB")
                .Execute();
            TMySQLCommand count(api, s.session.get(), "SELECT COUNT(*) FROM " + table);
            count.WantResultSet = true;
            count.Execute();
            std::string have(count.Fetch()->Field(0));
            count.CloseResult();
            if (have != "1000000") {
                std::printf("creating %s (1,000,000 rows)...\n", table.c_str());
                std::fflush(stdout);
                TMySQLCommand(api, s.session.get(), "TRUNCATE TABLE " + table).Execute();
                TMySQLCommand(api, s.session.get(),
                              "INSERT INTO " + table +
                                  " SELECT seq, CONCAT(ELT(1 + seq % 6, 'Çağla Şahin', "
                                  "'Ömer Güneş', 'İpek Işık', 'Uğur Öztürk', 'Şule Çelik', "
                                  "'Ümit Doğan'), ' ', seq), '2024-01-01' + INTERVAL seq MINUTE "
                                  "FROM seq_1_to_1000000")
                    .Execute();
            }
            api.mysql_close(s.session);
        }

        std::string sql = "SELECT id, ad, zaman FROM " + table + " LIMIT " + std::to_string(rows);
        // The query as the application opens it.
        TMyConnection connection;
        connection.SetServer(o.server);
        connection.SetPort(o.port);
        connection.SetUsername(o.user);
        connection.SetPassword(o.password);
        connection.Options().SetCharset("latin5");
        TMyQuery query;
        query.SetConnection(&connection);
        query.SQL.Add(once ? sql
                           : "SELECT id, ad, zaman FROM " + table + " LIMIT " +
                                 std::to_string(queryRows));
        if (once && queryOnly) {
            connection.Connect();
            OpenQuery(&query);
            std::printf("records %zu\n", query.RecordCount());
            return 0;
        }

        o.charset = "latin5";
        if (ssl) o.protocol = 5;
        OpenSession s = ConnectSession(api, o);
        if (ssl) {
            auto* tls = dynamic_cast<TVioSsl*>(s.session->net.Vio());
            if (!tls) Die("no TLS");
            std::printf("streaming over %s, %s\n", tls->Version().c_str(), tls->Cipher().c_str());
        }
        if (once) {
            Totals t;
            StreamRows(s.session.get(), sql.c_str(), &t);
            if (api.mysql_errno(s.session.get()) != 0) Die(api.mysql_error(s.session.get()));
            std::printf("rows %llu bytes %llu\n", (unsigned long long)t.rows,
                        (unsigned long long)t.bytes);
            return 0;
        }
        double best = 0;
        for (int run = 0; run < runs; ++run) {
            Totals t;
            auto start = std::chrono::steady_clock::now();
            StreamRows(s.session.get(), sql.c_str(), &t);
            double secs =
                std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
            if (api.mysql_errno(s.session.get()) != 0) Die(api.mysql_error(s.session.get()));
            double rate = t.rows / secs;
            best = std::max(best, rate);
            std::printf("run %d: %llu rows in %.3f s: %.2fM rows/s, %.1f MB/s of values\n", run + 1,
                        (unsigned long long)t.rows, secs, rate / 1e6, t.bytes / secs / 1e6);
        }
        std::printf("best: %.2fM rows/s\n", best / 1e6);
        Totals values;
        StreamRows(s.session.get(), query.SQL.Text().c_str(), &values);
        api.mysql_close(s.session);

        connection.Connect();
        for (int run = 0; run < runs; ++run) {
            query.Close();
            size_t before = g_heap.load();
            g_peak.store(before);
            auto start = std::chrono::steady_clock::now();
            OpenQuery(&query);
            double secs =
                std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
            size_t peak = g_peak.load() - before;
            std::printf("TMyQuery FetchAll run %d: %zu records in %.3f s: %.2fM records/s; "
                        "peak heap %.1f MB for %.1f MB of values (%.2fx)\n",
                        run + 1, query.RecordCount(), secs, query.RecordCount() / secs / 1e6,
                        peak / 1e6, values.bytes / 1e6, double(peak) / double(values.bytes));
        }
    } catch (const EMySqlException& e) {
        Die(std::to_string(e.Code()) + " " + e.what());
    } catch (const EDatabaseError& e) {
        Die(e.what());
    }
    return 0;
}
