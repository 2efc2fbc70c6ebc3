// Packet encoding and decoding without a socket, over an in-memory transport.
#include "mysql/MySqlApi.h"
#include "mysql/MySqlAuth.h"
#include "mysql/MySqlCommand.h"
#include "mysql/MySqlNet.h"

#include <climits>
#include <string>
#include <vector>
#include <gtest/gtest.h>
#include <zlib.h>

using namespace v270::mysql;

namespace {

std::string Header(size_t len, uint8_t seq) {
    return {static_cast<char>(len & 0xFF), static_cast<char>((len >> 8) & 0xFF),
            static_cast<char>((len >> 16) & 0xFF), static_cast<char>(seq)};
}
std::string Packet(uint8_t seq, const std::string& payload) {
    return Header(payload.size(), seq) + payload;
}
std::string Bytes(std::initializer_list<int> b) {
    std::string s;
    for (int v : b)
        s += static_cast<char>(v);
    return s;
}

struct MemNet {
    explicit MemNet(std::string input = {}, size_t chunk = 0) {
        auto v = std::make_unique<MemoryVio>(std::move(input), chunk);
        vio = v.get();
        net.AttachVio(std::move(v));
    }
    std::string Payload() const {
        return std::string(reinterpret_cast<const char*>(net.PacketData()), net.PacketLength());
    }
    TMySqlNet net;
    MemoryVio* vio;
};

// Splits what the client wrote into (length, sequence) pairs.
std::vector<std::pair<size_t, int>> Frames(const std::string& out) {
    std::vector<std::pair<size_t, int>> frames;
    size_t pos = 0;
    while (pos + 4 <= out.size()) {
        auto* p = reinterpret_cast<const uint8_t*>(out.data() + pos);
        size_t len = p[0] | (p[1] << 8) | (size_t(p[2]) << 16);
        frames.push_back({len, p[3]});
        pos += 4 + len;
    }
    EXPECT_EQ(pos, out.size());
    return frames;
}

template <class F> EMySqlException Raised(F&& f) {
    try {
        f();
    } catch (const EMySqlException& e) {
        return e;
    }
    ADD_FAILURE() << "no EMySqlException";
    return EMySqlException(0, "");
}

} // namespace

TEST(MySqlPacket, LengthCodedValues) {
    struct Case {
        std::string bytes;
        int64_t value;
    } cases[] = {
        {Bytes({0xFA}), 250},
        {Bytes({0xFB}), -1},
        {Bytes({0xFC, 0x34, 0x12}), 0x1234},
        {Bytes({0xFD, 0x01, 0x02, 0x03}), 0x030201},
        {Bytes({0xFE, 1, 2, 3, 4, 5, 6, 7, 0}), 0x0007060504030201},
    };
    for (const auto& c : cases) {
        PacketReader r(reinterpret_cast<const uint8_t*>(c.bytes.data()), c.bytes.size());
        EXPECT_EQ(r.ReadLengthCoded(), c.value);
        EXPECT_EQ(r.Remaining(), 0u);
    }
    for (uint64_t v : {0ull, 250ull, 251ull, 0xFFFFull, 0x10000ull, 0xFFFFFFull, 0x1000000ull}) {
        std::string s;
        AppendLengthCoded(s, v);
        PacketReader r(reinterpret_cast<const uint8_t*>(s.data()), s.size());
        EXPECT_EQ(static_cast<uint64_t>(r.ReadLengthCoded()), v);
    }
    // First byte 255, or a value cut short, is a malformed packet.
    for (const std::string& bad : {Bytes({0xFF}), Bytes({0xFE, 1, 2, 3}), Bytes({0xFC, 1}),
                                   Bytes({0xFD, 1, 2}), std::string()}) {
        PacketReader r(reinterpret_cast<const uint8_t*>(bad.data()), bad.size());
        EXPECT_EQ(Raised([&] { r.ReadLengthCoded(); }).Code(), 2027);
    }
}

TEST(MySqlPacket, NulTerminatedStrings) {
    std::string s = "ab" + std::string(1, '\0') + "cd";
    PacketReader r(reinterpret_cast<const uint8_t*>(s.data()), s.size());
    EXPECT_EQ(r.ReadNulString(), "ab");
    EXPECT_EQ(r.ReadNulString(), "cd"); // no 0 byte: the rest
    EXPECT_EQ(r.ReadNulString(), "");   // at the very end: empty
}

TEST(MySqlPacket, MessagesKeepTheirTexts) {
    EXPECT_EQ(std::string(EMySqlException::Make(2007, {}, {"9", "10"}).what()),
              "Protocol mismatch. Server Version = 9 Client Version = 10");
    EXPECT_EQ(std::string(EMySqlException::Make(2003, {}, {"h", "111"}).what()),
              "Can't connect to MySQL server on 'h' (111)");
    EXPECT_EQ(std::string(EMySqlException::Make(2003, "socket text").what()), "socket text");
    EXPECT_EQ(std::string(EMySqlException::Make(2013, "x").what()),
              "Lost connection to MySQL server during query\r\nx");
    EXPECT_EQ(std::string(EMySqlException::Make(1045, "#28000Denied").what()), "\r\n#28000Denied");
    EXPECT_EQ(std::string(EMySqlException::Make(2014).what()),
              "Commands out of sync;  You can't run this command now");
    EXPECT_EQ(FormatMessage("%-.64s via TCP/IP", {std::string(70, 'a')}),
              std::string(64, 'a') + " via TCP/IP");
}

TEST(MySqlNet, JoinsPacketsAt16MB) {
    // A pattern that no piece boundary divides, so a piece out of place shows.
    std::string big(kMaxPacketPayload, '\0');
    for (size_t i = 0; i < big.size(); ++i)
        big[i] = static_cast<char>(i % 251);
    for (size_t extra : {0, 1}) {
        std::string input = Packet(0, big) + Packet(1, std::string(extra, 'b'));
        MemNet m(input, extra ? 7000 : 0);
        m.net.ReadPacket();
        ASSERT_EQ(m.net.PacketLength(), kMaxPacketPayload + extra);
        EXPECT_EQ(m.Payload(), big + std::string(extra, 'b'));
        EXPECT_EQ(m.net.Sequence(), 2);
    }
}

TEST(MySqlNet, SplitsPacketsAt16MB) {
    MemNet m;
    m.net.NewCommand();
    std::string data(20000000 - 1, 'q');
    m.net.AppendByte(3);
    m.net.WriteBytes(data.data(), data.size());
    m.net.FlushPacket();
    auto frames = Frames(m.vio->Output());
    ASSERT_EQ(frames.size(), 2u);
    EXPECT_EQ(frames[0], (std::pair<size_t, int>{16777215, 0}));
    EXPECT_EQ(frames[1], (std::pair<size_t, int>{3222785, 1}));
    EXPECT_EQ(m.vio->Output()[4], 3);

    MemNet exact;
    exact.net.NewCommand();
    std::string full(kMaxPacketPayload, 'q');
    exact.net.WriteBytes(full.data(), full.size());
    exact.net.FlushPacket();
    frames = Frames(exact.vio->Output());
    ASSERT_EQ(frames.size(), 2u);
    EXPECT_EQ(frames[0], (std::pair<size_t, int>{16777215, 0}));
    EXPECT_EQ(frames[1], (std::pair<size_t, int>{0, 1}));
}

TEST(MySqlNet, SmallPacketsStayBufferedUntilFlush) {
    MemNet m;
    m.net.NewCommand();
    m.net.AppendByte(3);
    std::string sql(9000, 's'); // beyond the 8192-byte buffer: sent from the caller's memory
    m.net.WriteBytes(sql.data(), sql.size());
    m.net.FlushPacket();
    EXPECT_EQ(m.vio->Output(), Packet(0, "\x03" + sql));
    m.vio->ClearOutput();
    m.net.NewCommand();
    m.net.AppendByte(14);
    EXPECT_EQ(m.vio->Output(), "");
    m.net.FlushPacket();
    EXPECT_EQ(m.vio->Output(), Packet(0, "\x0e"));
}

TEST(MySqlNet, SequenceNumbersAreCheckedAndWrap) {
    MemNet m(Packet(0, "a") + Packet(1, "b") + Packet(5, "c"));
    m.net.ReadPacket();
    m.net.ReadPacket();
    EMySqlException e = Raised([&] { m.net.ReadPacket(); });
    EXPECT_EQ(e.Code(), 1156);
    EXPECT_EQ(std::string(e.what()),
              "\r\nReceiveHeader: Net packets out of order: received[5], expected[2]");

    MemNet w(Packet(255, "x") + Packet(0, "y"));
    w.net.SetSequence(255);
    w.net.ReadPacket();
    EXPECT_EQ(w.net.Sequence(), 0);
    w.net.ReadPacket();
    EXPECT_EQ(w.Payload(), "y");
}

TEST(MySqlNet, PeerClosingMidPacketIsLostConnection) {
    MemNet m(Header(100, 0) + std::string(10, 'x'));
    EMySqlException e = Raised([&] { m.net.ReadPacket(); });
    EXPECT_EQ(e.Code(), 2013);
    EXPECT_EQ(std::string(e.what()), "Lost connection to MySQL server during query");
}

TEST(MySqlNet, ErrorPacketRaisesTheServerError) {
    MemNet m(Packet(0, Bytes({0xFF, 0x15, 0x04}) + "#28000Access denied"));
    EMySqlException e = Raised([&] { m.net.ReadPacket(); });
    EXPECT_EQ(e.Code(), 1045);
    EXPECT_EQ(std::string(e.what()), "\r\n#28000Access denied");
    MemNet s(Packet(0, Bytes({0xFF, 0x15})));
    EXPECT_EQ(Raised([&] { s.net.ReadPacket(); }).Code(), 2027);
}

TEST(MySqlNet, SmallReadsComeFromTheReadAheadBuffer) {
    MemoryVio vio(std::string(100, 'z'));
    uint8_t buf[10];
    EXPECT_EQ(vio.Read(buf, 10), 10u);
    EXPECT_EQ(vio.RawReads(), 1u);
    EXPECT_EQ(vio.Read(buf, 10), 10u);
    EXPECT_EQ(vio.RawReads(), 1u);
    vio.Close();
    EXPECT_EQ(vio.Write(buf, 10), 0u);
    EXPECT_EQ(vio.LastError(), "Error on data writing to the connection: Invalid socket");
}

TEST(MySqlNet, MemoryInputReadAheadGrowsWithoutLosingTheLastPacket) {
    // The read-ahead of an input in memory is as large as the input; a
    // longer next input grows it, while the packet read last still lies in
    // the old one (read in place, not copied).
    MemNet m(Packet(0, "first") + Packet(1, "second"));
    m.net.NewCommand();
    m.net.ReadPacket();
    m.net.ReadPacket();
    const std::string longer(5000, 'x');
    m.vio->Reset(Packet(2, longer), 0);
    EXPECT_EQ(m.Payload(), "second");
    m.net.ReadPacket();
    EXPECT_EQ(m.Payload(), longer);
    // One raw read took it all, as with a full-size read-ahead.
    EXPECT_EQ(m.vio->RawReads(), 2u);
}

TEST(MySqlNet, CompressedFramingRoundTrip) {
    // 50-byte payloads (with the 4-byte header: 54 raw bytes) stay plain;
    // the threshold applies to the bytes of each raw send.
    for (size_t payload : {46, 47, 1000, 100000}) {
        MemNet writer;
        writer.net.SetCompress(true);
        writer.net.NewCommand();
        std::string data;
        for (size_t i = 0; i < payload; ++i)
            data += static_cast<char>('a' + i % 7);
        writer.net.WriteBytes(data.data(), data.size());
        writer.net.FlushPacket();
        const std::string& out = writer.vio->Output();
        auto* h = reinterpret_cast<const uint8_t*>(out.data());
        size_t plainLen = h[4] | (h[5] << 8) | (h[6] << 16);
        EXPECT_EQ(plainLen == 0, payload + 4 <= 50) << payload;
        EXPECT_EQ(h[3], 0);

        MemNet reader(out, 7); // small raw reads
        reader.net.SetCompress(true);
        reader.net.ReadPacket();
        EXPECT_EQ(reader.Payload(), data);
    }
    // Deflate at its best, about 1000 to 1, still reads.
    MemNet writer;
    writer.net.SetCompress(true);
    writer.net.NewCommand();
    const std::string zeros(4 << 20, '\0');
    writer.net.WriteBytes(zeros.data(), zeros.size());
    writer.net.FlushPacket();
    EXPECT_LT(writer.vio->Output().size(), zeros.size() / 900);
    MemNet reader(writer.vio->Output());
    reader.net.SetCompress(true);
    reader.net.ReadPacket();
    EXPECT_EQ(reader.Payload(), zeros);
}

TEST(MySqlNet, CompressedSequenceAndInflateFailures) {
    std::string bad = Bytes({5, 0, 0, 0, 100, 0, 0}) + "junk!";
    MemNet m(bad);
    m.net.SetCompress(true);
    EXPECT_EQ(Raised([&] { m.net.ReadPacket(); }).Code(), 1157);
    // 16 MB claimed from 5 compressed bytes is refused before any buffer of
    // that size.
    MemNet huge(Bytes({5, 0, 0, 0, 0xFF, 0xFF, 0xFF}) + "junk!");
    huge.net.SetCompress(true);
    EXPECT_EQ(Raised([&] { huge.net.ReadPacket(); }).Code(), 1157);

    std::string plain = Packet(0, "hi");
    std::string framed = Header(plain.size(), 3) + Bytes({0, 0, 0}) + plain;
    MemNet o(framed);
    o.net.SetCompress(true);
    EMySqlException e = Raised([&] { o.net.ReadPacket(); });
    EXPECT_EQ(e.Code(), 1156);
    EXPECT_EQ(std::string(e.what()),
              "\r\nReceiveCompHeader: Net packets out of order: received[3], expected[0]");
}

TEST(MySqlPacket, TextRowNullEmptyAndBounds) {
    TMySqlBinds binds;
    std::string row = Bytes({0xFB, 0x00, 0x03}) + "abc" + Bytes({0xFC, 0x02, 0x00}) + "de";
    binds.ParseTextRow(reinterpret_cast<const uint8_t*>(row.data()), row.size(), 4);
    EXPECT_TRUE(binds.IsNull(0));
    EXPECT_FALSE(binds.IsNull(1));
    EXPECT_EQ(binds.Field(1), "");
    EXPECT_EQ(binds.Field(2), "abc");
    EXPECT_EQ(binds.Field(3), "de");
    for (const std::string& bad :
         {Bytes({0x05, 'a'}), Bytes({0xFF}), Bytes({0xFC, 0x01}),
          Bytes({0xFE, 0xFF, 0xFF, 0xFF, 0x7F, 0, 0, 0, 0}), Bytes({0x01, 'a'})}) {
        // The last one has fewer values than columns.
        EXPECT_EQ(Raised([&] {
                      binds.ParseTextRow(reinterpret_cast<const uint8_t*>(bad.data()), bad.size(),
                                         2);
                  }).Code(),
                  2027);
    }
    // A row is its values and nothing more.
    const std::string trailing = Bytes({0x01, 'a', 0x01, 'b', 0x00});
    EXPECT_EQ(std::string(Raised([&] {
                              binds.ParseTextRow(reinterpret_cast<const uint8_t*>(trailing.data()),
                                                 trailing.size(), 2);
                          }).what()),
              "Malformed packet\r\nextra bytes");
}

namespace {
std::string Lc(const std::string& s) {
    std::string out;
    AppendLengthCoded(out, s.size());
    return out + s;
}
std::string ColumnDef41(const std::string& name, uint32_t length, uint8_t type) {
    std::string fixed = Bytes({8, 0}) +
                        Bytes({int(length & 0xFF), int((length >> 8) & 0xFF),
                               int((length >> 16) & 0xFF), int(length >> 24)}) +
                        Bytes({type, 0x01, 0x00, 0x00, 0x00, 0x00});
    return Lc("def") + Lc("db") + Lc("t") + Lc("t0") + Lc(name) + Lc(name + "0") + Lc(fixed);
}
} // namespace

TEST(MySqlPacket, ColumnDefinitions) {
    std::string def = ColumnDef41("ad", 0xFFFFFFFF, 252);
    TMySqlFieldInfo f =
        ParseColumnDefinition(reinterpret_cast<const uint8_t*>(def.data()), def.size(), true, true);
    EXPECT_EQ(f.name, "ad");
    EXPECT_EQ(f.orgName, "ad0");
    EXPECT_EQ(f.database, "db");
    EXPECT_EQ(f.table, "t");
    EXPECT_EQ(f.orgTable, "t0");
    EXPECT_EQ(f.length, 4294967295u);
    EXPECT_EQ(f.type, 252);
    EXPECT_EQ(f.charsetNr, 8u);
    EXPECT_EQ(f.flags, 1u);

    // A field list's definition ends with the default value, not used.
    const std::string withDefault = def + Lc("x");
    EXPECT_EQ(ParseColumnDefinition(reinterpret_cast<const uint8_t*>(withDefault.data()),
                                    withDefault.size(), true, true)
                  .name,
              "ad");

    std::string num = ColumnDef41("n", 11, 3);
    EXPECT_EQ(
        ParseColumnDefinition(reinterpret_cast<const uint8_t*>(num.data()), num.size(), true, true)
            .flags,
        1u | NUM_FLAG);

    std::string old = Lc("t") + Lc("name") + Lc(Bytes({10, 0, 0})) + Lc(Bytes({3})) +
                      Lc(Bytes({0x03, 0x00, 0x02}));
    f = ParseColumnDefinition(reinterpret_cast<const uint8_t*>(old.data()), old.size(), false,
                              true);
    EXPECT_EQ(f.name, "name");
    EXPECT_EQ(f.orgTable, "t");
    EXPECT_EQ(f.length, 10u);
    EXPECT_EQ(f.flags, 3u | NUM_FLAG);
    EXPECT_EQ(f.decimals, 2u);
    // The old form's values have fixed sizes: a longer one is not a definition.
    std::string longType = Lc("t") + Lc("name") + Lc(Bytes({10, 0, 0})) + Lc(Bytes({3, 0})) +
                           Lc(Bytes({0x03, 0x00, 0x02}));
    EXPECT_EQ(std::string(Raised([&] {
                              ParseColumnDefinition(
                                  reinterpret_cast<const uint8_t*>(longType.data()),
                                  longType.size(), false, true);
                          }).what()),
              "Malformed packet\r\nextra bytes");

    // Every truncation of a definition is malformed, never a read past it.
    for (size_t cut = 0; cut < def.size() - 2; ++cut)
        EXPECT_EQ(Raised([&] {
                      ParseColumnDefinition(reinterpret_cast<const uint8_t*>(def.data()), cut, true,
                                            true);
                  }).Code(),
                  2027)
            << cut;
}

TEST(MySqlPacket, GreetingBounds) {
    std::string g = Bytes({10}) + "5.5.5-10.11" + Bytes({0}) + Bytes({7, 0, 0, 0}) + "abcdefgh" +
                    Bytes({0, 0xFF, 0xF7, 8, 2, 0}) + std::string(13, '\0') + "ijklmnopqrst" +
                    Bytes({0});
    Greeting gr = ParseGreeting(reinterpret_cast<const uint8_t*>(g.data()), g.size());
    EXPECT_EQ(gr.serverVersion, "5.5.5-10.11");
    EXPECT_EQ(gr.threadId, 7u);
    EXPECT_TRUE(gr.fullScramble);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(gr.scramble), 20), "abcdefghijklmnopqrst");
    EXPECT_EQ(gr.serverCapabilities, 0xF7FF);
    EXPECT_EQ(gr.serverCharset, 8);
    std::string v9 = g;
    v9[0] = 9;
    EXPECT_EQ(Raised([&] {
                  ParseGreeting(reinterpret_cast<const uint8_t*>(v9.data()), v9.size());
              }).Code(),
              2007);
    // Cut inside the thread id or the first scramble part: malformed.
    for (size_t cut : {13, 16, 20})
        EXPECT_EQ(
            Raised([&] { ParseGreeting(reinterpret_cast<const uint8_t*>(g.data()), cut); }).Code(),
            2027);
}

TEST(MySqlSession, ServerVersionNumbers) {
    struct Case {
        const char* text;
        int major, minor, release;
    } cases[] = {
        {"5.5.5-10.11.6-MariaDB", 5, 5, 5},
        {"8.0.36", 8, 0, 36},
        {"4", 4, 0, 0},
        {"", 0, 0, 0},
        // Numbers longer than an int holds stop at the largest int.
        {"5.]18446744073709351615", 5, 0, INT_MAX},
        {"99999999999.2147483648.7", INT_MAX, INT_MAX, 7},
    };
    for (const Case& c : cases) {
        ServerVersion v = ParseServerVersion(c.text);
        EXPECT_EQ(v.major, c.major) << c.text;
        EXPECT_EQ(v.minor, c.minor) << c.text;
        EXPECT_EQ(v.release, c.release) << c.text;
    }
}

namespace {
std::string FromHex(std::string_view hex) {
    std::string out;
    for (size_t i = 0; i + 1 < hex.size(); i += 2)
        out += static_cast<char>(std::stoi(std::string(hex.substr(i, 2)), nullptr, 16));
    return out;
}
} // namespace

TEST(MySqlAuth, Ed25519WithA32BytePasswordIsPlainEd25519) {
    // With a 32-byte password MariaDB's construction is Ed25519 with the
    // password as the seed: RFC 8032's second test, and the same key over a
    // 32-byte scramble as OpenSSL signs it.
    const std::string seed =
        FromHex("4ccd089b28ff96da9db6c346ec114e0f5b8a319f35aba624da8cf6ed4fb8a6fb");
    EXPECT_EQ(Ed25519Sign(seed, FromHex("72")),
              FromHex("92a009a9f0d4cab8720e820b5f642540a2b27b5416503f8fb3762223ebdb69da"
                      "085ac1e43e15996e458f3613d0f11d8c387b2eaeb4302aeeb00d291612bb0c00"));
    EXPECT_EQ(Ed25519Sign(seed, "abcdefghijklmnopqrstuvwxyz012345"),
              FromHex("6b5e98eb25bfba465defe7dbac45410b0437bdd85bc9542e70299f156668d35d"
                      "3afb9d335cc7ab404d2c53cd719e82b167115fbfad435e1b3135d7c2f12d9f0a"));
}

TEST(MySqlAuth, PluginPackets) {
    auto u = [](const std::string& s) { return reinterpret_cast<const uint8_t*>(s.data()); };
    const std::string sw = "\xFE"
                           "caching_sha2_password" +
                           std::string(1, '\0') + "salt";
    AuthSwitch parsed = ParseAuthSwitch(u(sw), sw.size());
    EXPECT_EQ(parsed.plugin, "caching_sha2_password");
    EXPECT_EQ(parsed.data, "salt");
    EXPECT_EQ(ParseAuthMoreData(u(std::string("\x01\x03")), 2), "\x03");
    const std::string twenty(20, 's');
    EXPECT_EQ(TwentyByteScramble(twenty + std::string(1, '\0')), twenty);
    EXPECT_EQ(TwentyByteScramble(twenty), twenty);

    // Not what they claim to be: 2027.
    for (const std::string& bad : {std::string("\xFE"
                                               "name-without-end"),
                                   std::string("\xFE\0x", 3), std::string("\x01"), std::string()})
        EXPECT_EQ(Raised([&] { ParseAuthSwitch(u(bad), bad.size()); }).Code(), 2027) << bad;
    EXPECT_EQ(Raised([&] { ParseAuthMoreData(u(std::string("\x02")), 1); }).Code(), 2027);
    for (const std::string& bad : {twenty.substr(1), twenty + "x", twenty + std::string(2, '\0')})
        EXPECT_EQ(Raised([&] { TwentyByteScramble(bad); }).Code(), 2027) << bad.size();
}
