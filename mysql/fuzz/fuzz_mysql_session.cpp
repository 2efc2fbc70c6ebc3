// A whole session over the in-memory transport: greeting, login, a query
// read to the end, a second query closed after its first rows, a statement
// without rows. The input's first byte chooses the transport's chunk size
// and whether SET NAMES follows the login; the rest is what the server sends.
#include "mysql/MyQuery.h"

#include <cstdint>
#include <string>

using namespace v270::mysql;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    const std::string stream(reinterpret_cast<const char*>(data + 1), size - 1);
    const size_t chunk = data[0] & 15;
    TMyConnection connection;
    connection.SetServer("pdks");
    connection.Options().SetCharset(data[0] & 16 ? "latin5" : "");
    connection.IOHandler = [&] { return std::make_unique<MemoryVio>(stream, chunk); };
    TMyQuery query;
    query.SetConnection(&connection);
    volatile size_t sum = 0;
    auto readAll = [&] {
        for (size_t i = 0; i < query.FieldCount(); ++i) {
            TField f = query.Fields(i);
            sum = sum + f.AsString().size() + f.IsNull();
        }
    };
    try {
        query.SQL.Add("SELECT * FROM personel");
        query.Open();
        for (query.First(); !query.Eof(); query.Next())
            readAll();
        query.Close();
    } catch (const EDatabaseError&) {
    }
    try {
        query.FetchAll = false;
        query.FetchRows = 2;
        query.SQL.SetText("SELECT kartno, ad FROM personel");
        query.Open();
        readAll();
        query.Next();
        readAll();
        query.Close();
        query.SQL.SetText("UPDATE personel SET ad = 'x'");
        query.ExecSQL();
    } catch (const EDatabaseError&) {
    }
    return 0;
}
