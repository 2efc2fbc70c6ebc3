// A whole session over the in-memory transport: a query read to the end, a
// second query closed after its first rows, a statement without rows.
// The input's first byte:
//   bits 0-3  the transport's chunk size (0: as much as is asked for)
//   bit 4     SET NAMES latin5 follows the login
//   bits 5-6  the statements: 0 all three in turn, 1 the query read to the
//             end, 2 the query closed after its first rows, 3 the statement
//             without rows (an input that drives one statement costs a
//             third of the work and of the coverage bookkeeping)
//   bit 7     the rest answers the statements of a session already logged in
//             (by the fixed greeting below); without it the rest is all the
//             server sends, greeting first.
//
// Speed: the components live from input to input, and so does a session
// logged in by the fixed greeting, with its transport, while an input leaves
// it ready for the next statement, as a server's answers or errors do (and
// the character set stays). Any other session is closed at the end of its
// input. So an input meets the same session alone as after thousands of
// others, but for what a finished statement leaves in any session (its
// counters, the last column list, the last error): a finding almost always
// replays on its own.
#include "mysql/MyQuery.h"

#include <cstdint>
#include <string>
#include <string_view>

using namespace v270::mysql;

namespace {

// Protocol 10, version 5.5.5-10.11.6, 4.1 authentication; then the OK of the
// login (sequence 2), and the OK of SET NAMES.
constexpr unsigned char kGreeting[] = {
    0x3b, 0x00, 0x00, 0x00, 0x0a, 0x35, 0x2e, 0x35, 0x2e, 0x35, 0x2d, 0x31, 0x30, 0x2e, 0x31,
    0x31, 0x2e, 0x36, 0x00, 0x2a, 0x00, 0x00, 0x00, 0x61, 0x62, 0x63, 0x64, 0x65, 0x66, 0x67,
    0x68, 0x00, 0xff, 0xf7, 0x08, 0x02, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
    0x00, 0x00, 0x00, 0x00, 0x00, 0x69, 0x6a, 0x6b, 0x6c, 0x6d, 0x6e, 0x6f, 0x70, 0x71, 0x72,
    0x73, 0x74, 0x00, 0x07, 0x00, 0x00, 0x02, 0x00, 0x00, 0x00, 0x02, 0x00, 0x00, 0x00};
constexpr unsigned char kSetNamesOk[] = {0x07, 0x00, 0x00, 0x01, 0x00, 0x00,
                                         0x00, 0x02, 0x00, 0x00, 0x00};

std::string_view bytes(const unsigned char* p, size_t n) {
    return {reinterpret_cast<const char*>(p), n};
}

struct Harness {
    TMyConnection connection;
    TMyQuery all, firstRows, update; // each keeps its statement for good
    // What the next connect's transport reads, and its chunk size.
    std::string_view serverBytes;
    size_t chunk = 0;
    // The open session's transport (the session owns it).
    MemoryVio* vio = nullptr;
    // The open session is the fixed login's, ready for the next statement.
    bool kept = false;
    std::string login;

    Harness() {
        connection.SetServer("pdks");
        connection.IOHandler = [this] {
            auto v = std::make_unique<MemoryVio>(std::string(serverBytes), chunk);
            vio = v.get();
            return v;
        };
        // A statement after a lost connection would log in again and read
        // the input once more from its start: twice the work for nothing new.
        connection.Options().SetAllowImplicitConnect(false);
        all.SQL.Add("SELECT * FROM personel");
        firstRows.SQL.Add("SELECT kartno, ad FROM personel");
        firstRows.FetchAll = false;
        firstRows.FetchRows = 2;
        update.SQL.Add("UPDATE personel SET ad = 'x'");
        for (TMyQuery* q : {&all, &firstRows, &update})
            q->SetConnection(&connection);
    }

    // After a framing error the session has closed its transport; open
    // again, it takes the goodbye without an exception that tells nothing.
    void close() {
        if (connection.Connected() && vio->Closed()) vio->Reset({}, 0);
        connection.Close();
    }

    void open(bool latin5, std::string_view bytes, size_t chunkSize) {
        close();
        kept = false;
        connection.Options().SetCharset(latin5 ? "latin5" : "");
        serverBytes = bytes;
        chunk = chunkSize;
        try {
            connection.Connect();
        } catch (const EDatabaseError&) {
        }
    }

    // Connects with the fixed login unless its session is still open.
    void logIn(bool latin5) {
        if (kept && connection.Options().Charset() == (latin5 ? "latin5" : "")) return;
        login.assign(bytes(kGreeting, sizeof kGreeting));
        if (latin5) login.append(bytes(kSetNamesOk, sizeof kSetNamesOk));
        open(latin5, login, 0);
    }

    // True when the session left is as the fixed login leaves it.
    bool ready() const {
        if (!connection.Connected() || vio->Closed()) return false;
        const TMySqlSession* s = connection.InternalConnection()->Session();
        return s->status == MYSQL_STATUS_READY && !s->closed && !s->currentResult &&
               (s->serverStatus & SERVER_MORE_RESULTS_EXIST) == 0;
    }

    static void readAll(const TMyQuery& q) {
        volatile size_t sum = 0;
        for (size_t i = 0; i < q.FieldCount(); ++i) {
            TField f = q.Fields(i);
            sum = sum + f.AsString().size() + f.IsNull();
        }
    }

    // The statements chosen (0: all three), each while the connection is
    // open and in step (a statement after a framing error only finds the
    // connection lost). A failed statement is as a server's error leaves it.
    void run(unsigned which) {
        auto step = [&](unsigned statement, auto&& body) {
            if ((which != 0 && which != statement) || !connection.Connected() || vio->Closed())
                return;
            try {
                body();
            } catch (const EDatabaseError&) {
            }
        };
        step(1, [&] {
            all.Open();
            for (all.First(); !all.Eof(); all.Next())
                readAll(all);
            all.Close();
        });
        step(2, [&] {
            firstRows.Open();
            readAll(firstRows);
            firstRows.Next();
            readAll(firstRows);
            firstRows.Close();
        });
        step(3, [&] { update.ExecSQL(); });
    }
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static Harness h;
    if (size == 0) return 0;
    const std::string_view stream(reinterpret_cast<const char*>(data + 1), size - 1);
    const bool latin5 = data[0] & 16;
    const size_t chunk = data[0] & 15;
    if (data[0] & 128) {
        h.logIn(latin5);
        if (!h.connection.Connected()) return 0;
        h.vio->Reset(stream, chunk);
    } else {
        h.open(latin5, stream, chunk);
    }
    h.run((data[0] >> 5) & 3);
    h.kept = (data[0] & 128) && h.ready();
    if (!h.kept) h.close();
    return 0;
}
