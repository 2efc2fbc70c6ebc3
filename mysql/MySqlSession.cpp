#include "MySqlSession.h"

#include "MySqlApi.h"
#include "OnFailure.h"

#include <algorithm>
#include <cerrno>
#include <fstream>
#include <openssl/evp.h>

namespace v270::mysql {

namespace {
// Most columns a real server sends in one result; more means a broken reply.
constexpr int64_t kMaxColumns = 0xFFFF;

void Sha1(const void* data, size_t n, uint8_t out[20]) {
    unsigned int len = 20;
    EVP_Digest(data, n, out, &len, EVP_sha1(), nullptr);
}
} // namespace

TMySqlSession::~TMySqlSession() {
    if (currentResult) currentResult->DetachSession();
    try {
        Close();
    } catch (...) {
    }
}

void TMySqlSession::ApplyCommandTimeout() {
    if (net.Vio()) net.Vio()->SetTimeout(commandTimeout);
}

void TMySqlSession::RealConnect(const std::string& hostArg, const std::string& userArg,
                                const std::string& passwordArg, const std::string& databaseArg,
                                int portArg, uint32_t flagsArg) {
    std::string h = hostArg.empty() ? host : hostArg;
    std::string u = userArg.empty() ? user : userArg;
    std::string pw = passwordArg.empty() ? password : passwordArg;
    std::string db = databaseArg.empty() ? database : databaseArg;
    int p = portArg != 0 ? portArg : port;
    if (p == 0) p = 3306;
    if (h.empty()) h = "localhost";
    user = u;
    password = pw;
    serverStatus = SERVER_STATUS_AUTOCOMMIT;
    closed = false;
    authPlugin.clear();

    openTransport(h, p);
    const Greeting g = readGreeting();
    host = h;
    port = p;
    net.NewPacket();

    const uint32_t flags = loginFlags(flagsArg);
    clientFlags = flags;
    AppendLoginHead(flags);
    if (flags & CLIENT_SSL) {
        // SSL switch: the head alone, then TLS, then the whole login again.
        net.FlushPacket();
        StartTls();
        AppendLoginHead(flags);
    }
    net.AppendNulString(u);
    appendLoginPassword(g, pw, flags);
    if (serverCapabilities & CLIENT_CONNECT_WITH_DB) {
        net.AppendNulString(db);
        database = db;
    }
    if (flags & CLIENT_PLUGIN_AUTH) net.AppendNulString(authPlugin);
    net.FlushPacket();
    ReadAuthReply((serverCapabilities & CLIENT_SECURE_CONNECTION) != 0);
    net.SetCompress((flags & CLIENT_COMPRESS) != 0);
}

void TMySqlSession::openTransport(const std::string& h, int p) {
    if (ioHandler) {
        net.AttachVio(std::move(ioHandler));
        hostInfo = h + " via I/O handler";
    } else if (protocol == 0 || protocol == 1 || protocol == kProtocolSsl) {
        // TLS starts inside the login, over this TCP connection.
        net.AttachVio(std::make_unique<TVioTcp>(h, p, ipVersion));
        hostInfo = h + (protocol == kProtocolSsl ? " via SSL" : " via TCP/IP");
    } else if (!net.Vio()) {
        throw EMySqlException::Make(CR_NOT_IMPLEMENTED);
    }
    net.Vio()->SetTimeout(connectTimeout);
    try {
        net.Vio()->Connect();
    } catch (const SocketException&) {
        throw EMySqlException::Make(CR_CONN_HOST_ERROR, net.Vio()->LastError(),
                                    {h, std::to_string(ECONNREFUSED)});
    }
}

Greeting TMySqlSession::readGreeting() {
    net.SetCompress(false);
    net.NewCommand();
    net.ReadPacket();
    Greeting g = ParseGreeting(net.PacketData(), net.PacketLength());
    serverVersion = g.serverVersion;
    threadId = g.threadId;
    std::memcpy(scramble, g.scramble, 20);
    serverCapabilities = g.serverCapabilities;
    serverCharset = g.serverCharset;
    serverStatus = g.serverStatus;
    return g;
}

uint32_t TMySqlSession::loginFlags(uint32_t asked) const {
    uint32_t flags = asked;
    if (flags & CLIENT_MULTI_STATEMENTS) flags |= CLIENT_MULTI_RESULTS;
    flags |= clientFlags | 0x3A285u | CLIENT_CONNECT_WITH_DB | CLIENT_PLUGIN_AUTH;
    if (protocol == kProtocolSsl) flags |= CLIENT_SSL;
    flags &= ~((CLIENT_SSL | CLIENT_PROTOCOL_41 | CLIENT_COMPRESS | CLIENT_PLUGIN_AUTH) &
               ~serverCapabilities);
    // Plugin names travel only in the 4.1 login with its length-prefixed
    // password field.
    if (!(flags & CLIENT_PROTOCOL_41) || !(serverCapabilities & CLIENT_SECURE_CONNECTION))
        flags &= ~uint32_t(CLIENT_PLUGIN_AUTH);
    if (protocol == kProtocolSsl && !(flags & CLIENT_SSL))
        // Asked for TLS: going on in the clear would send the login unprotected.
        throw EMySqlException::Make(CR_SSL_CONNECTION_ERROR,
                                    "SSL is required but the server doesn't support it");
    return flags;
}

void TMySqlSession::appendLoginPassword(const Greeting& g, const std::string& pw, uint32_t flags) {
    const bool secure = (serverCapabilities & CLIENT_SECURE_CONNECTION) != 0;
    if (flags & CLIENT_PLUGIN_AUTH) {
        const std::string response = FirstAuthResponse(g, pw);
        net.AppendByte(static_cast<uint8_t>(response.size()));
        net.AppendBytes(response.data(), response.size());
    } else if (pw.empty()) {
        net.AppendByte(0);
    } else if (secure && g.fullScramble) {
        uint8_t out[20];
        ScrambleNative(scramble, pw, out);
        net.AppendByte(20);
        net.AppendBytes(out, 20);
    } else if (secure) {
        net.AppendFiller('x', 8);
        net.AppendByte(0);
    } else {
        std::string old = ScrambleOld(scramble, pw);
        net.AppendBytes(old.data(), old.size());
        net.AppendByte(0);
    }
}

void TMySqlSession::AppendLoginHead(uint32_t flags) {
    if (flags & CLIENT_PROTOCOL_41) {
        net.AppendInt32(flags);
        net.AppendInt32(0x40000000);
        net.AppendByte(charsetName == "utf8" ? CHARSET_UTF8 : CHARSET_LATIN1);
        net.AppendFiller(0, 23);
    } else {
        net.AppendInt16(static_cast<uint16_t>(flags));
        net.AppendInt24(0x40000000 & 0xFFFF);
    }
}

void TMySqlSession::StartTls() {
    TlsOptions options = ssl;
    net.AttachVio(std::make_unique<TVioSsl>(net.DetachVio(), options, host));
}

std::string TMySqlSession::FirstAuthResponse(const Greeting& g, const std::string& pw) {
    const std::string_view salt(reinterpret_cast<const char*>(scramble), 20);
    if (g.authPluginName == kCachingSha2Password) {
        authPlugin = kCachingSha2Password;
        return pw.empty() ? std::string() : ScrambleSha256(salt, pw);
    }
    // Any other plugin the server may switch away from; the 4.1 scramble
    // is the answer every server knows.
    authPlugin = kNativePassword;
    if (pw.empty()) return {};
    if (!g.fullScramble) return std::string(8, 'x');
    uint8_t out[20];
    ScrambleNative(scramble, pw, out);
    return std::string(reinterpret_cast<char*>(out), 20);
}

void TMySqlSession::ReadAuthReply(bool secureServer) {
    net.ReadPacket();
    if (!secureServer) return;
    if (clientFlags & CLIENT_PLUGIN_AUTH)
        ReadPluginAuthReply();
    else
        ReadLegacyAuthReply();
}

void TMySqlSession::ReadLegacyAuthReply() {
    const uint8_t* d = net.PacketData();
    size_t len = net.PacketLength();
    if (len == 1 && d[0] == 0xFE) {
        // The server asks for the pre-4.1 scramble of the greeting's scramble.
        net.NewPacket();
        std::string old = ScrambleOld(scramble, password);
        net.AppendBytes(old.data(), old.size());
        net.AppendByte(0);
        net.FlushPacket();
        net.ReadPacket();
    } else if (len == 24 && d[0] != 0) {
        uint8_t reply[24];
        std::memcpy(reply, d, 24);
        net.NewPacket();
        if (reply[0] == '*') {
            std::memcpy(scramble, reply + 4, 20);
            std::string old = ScrambleOld(scramble, password);
            net.AppendBytes(old.data(), old.size());
            net.AppendByte(0);
        } else {
            std::string stripped;
            for (char c : password)
                if (c != ' ' && c != '\t') stripped += c;
            uint8_t s1[20], t[20], buf[24];
            Sha1(stripped.data(), stripped.size(), s1);
            std::memcpy(buf, reply, 4);
            std::memcpy(buf + 4, s1, 20);
            // Hash of the 4 leading bytes followed by S1.
            Sha1(buf, 24, t);
            uint8_t out[20];
            for (int i = 0; i < 20; ++i) {
                scramble[i] = reply[4 + i] ^ t[i];
                out[i] = scramble[i] ^ s1[i];
            }
            net.AppendBytes(out, 20);
        }
        net.FlushPacket();
        net.ReadPacket();
    }
}

void TMySqlSession::ReadPluginAuthReply() {
    // A server that never says OK must not keep the login going forever.
    constexpr int kMaxRounds = 8;
    bool keyRequested = false;
    for (int round = 0; round < kMaxRounds; ++round) {
        PacketReader r = net.Reader();
        const uint8_t first = r.ReadByte();
        if (first == 0x00) return; // OK; not parsed further
        if (first == kAuthSwitchRequest && r.AtEnd()) {
            // The pre-4.1 request of a server that knows no plugin names.
            SendAuthPacket(ScrambleOld(scramble, password) + std::string(1, '\0'));
            authPlugin = kOldPassword;
        } else if (first == kAuthSwitchRequest) {
            SwitchPlugin(ParseAuthSwitch(net.PacketData(), net.PacketLength()));
        } else if (first == kAuthMoreData && authPlugin == kCachingSha2Password) {
            const std::string more = ParseAuthMoreData(net.PacketData(), net.PacketLength());
            if (keyRequested) {
                keyRequested = false;
                SendRsaPassword(more);
            } else if (more.size() == 1 && more[0] == kFastAuthSuccess) {
                // The OK packet follows.
            } else if (more.size() == 1 && more[0] == kPerformFullAuthentication) {
                if (net.Vio()->IsSecure() || !serverPublicKeyFile.empty()) {
                    SendFullSha2Authentication();
                } else {
                    SendAuthPacket(std::string(1, char(kRequestPublicKey)));
                    keyRequested = true;
                }
            } else {
                throw EMySqlException::Make(CR_MALFORMED_PACKET,
                                            "unexpected caching_sha2_password reply");
            }
        } else {
            throw EMySqlException::Make(CR_MALFORMED_PACKET, "unexpected reply to the login");
        }
        net.ReadPacket();
    }
    throw EMySqlException::Make(CR_MALFORMED_PACKET, "too many authentication rounds");
}

void TMySqlSession::SwitchPlugin(const AuthSwitch& request) {
    const std::string& plugin = request.plugin;
    if (plugin == kNativePassword || plugin == kCachingSha2Password) {
        std::memcpy(scramble, TwentyByteScramble(request.data).data(), 20);
        const std::string_view salt(reinterpret_cast<const char*>(scramble), 20);
        authPlugin = plugin;
        if (plugin == kCachingSha2Password) {
            // An empty password answers with a single 0 byte.
            SendAuthPacket(password.empty() ? std::string(1, '\0')
                                            : ScrambleSha256(salt, password));
        } else if (password.empty()) {
            SendAuthPacket({});
        } else {
            uint8_t out[20];
            ScrambleNative(scramble, password, out);
            SendAuthPacket(std::string_view(reinterpret_cast<char*>(out), 20));
        }
    } else if (plugin == kOldPassword) {
        // The first 8 bytes are the old scramble's message; a server sends
        // its whole 20-byte scramble.
        PacketReader::Need(request.data.size() >= 8);
        std::memcpy(scramble, request.data.data(), std::min<size_t>(request.data.size(), 20));
        authPlugin = plugin;
        SendAuthPacket(password.empty() ? std::string(1, '\0')
                                        : ScrambleOld(scramble, password) + std::string(1, '\0'));
    } else if (plugin == kEd25519) {
        PacketReader::Need(request.data.size() == 32);
        authPlugin = plugin;
        SendAuthPacket(Ed25519Sign(password, request.data));
    } else if (plugin == kClearPassword) {
        if (!net.Vio()->IsSecure())
            throw EMySqlException::Make(
                CR_AUTH_PLUGIN_CANNOT_LOAD, {},
                {plugin, "it would send the password in clear without TLS"});
        authPlugin = plugin;
        SendAuthPacket(password + std::string(1, '\0'));
    } else {
        throw EMySqlException::Make(CR_AUTH_PLUGIN_CANNOT_LOAD, {},
                                    {plugin, "not known to this client"});
    }
}

void TMySqlSession::SendFullSha2Authentication() {
    if (net.Vio()->IsSecure()) {
        // TLS protects it: the password goes as it is, with its 0 byte.
        SendAuthPacket(password + std::string(1, '\0'));
        return;
    }
    std::ifstream file(serverPublicKeyFile, std::ios::binary);
    std::string pem;
    if (file) {
        char buf[4096];
        while (file.read(buf, sizeof buf) || file.gcount() > 0) {
            pem.append(buf, static_cast<size_t>(file.gcount()));
            if (pem.size() > 65536) break;
        }
    }
    if (!file.eof() || pem.empty())
        throw EMySqlException::Make(
            CR_AUTH_PLUGIN_ERR, {},
            {std::string(kCachingSha2Password),
             "cannot read the server's public key file '" + serverPublicKeyFile + "'"});
    SendRsaPassword(pem);
}

void TMySqlSession::SendRsaPassword(const std::string& publicKeyPem) {
    SendAuthPacket(EncryptPassword(publicKeyPem, password,
                                   std::string_view(reinterpret_cast<const char*>(scramble), 20)));
}

void TMySqlSession::SendAuthPacket(std::string_view bytes) {
    net.NewPacket();
    if (bytes.empty()) {
        net.SendEmptyPacket();
        return;
    }
    net.AppendBytes(bytes.data(), bytes.size());
    net.FlushPacket();
}

void TMySqlSession::SimpleCommand(uint8_t command, std::string_view data, bool readReply) {
    if (!net.Vio()) return;
    ApplyCommandTimeout();
    if (status != MYSQL_STATUS_READY) throw EMySqlException::Make(CR_COMMANDS_OUT_OF_SYNC);
    info.clear();
    affectedRows = 0;
    net.NewCommand();
    net.AppendByte(command);
    net.WriteBytes(data.data(), data.size());
    net.FlushPacket();
    if (readReply) net.ReadPacket();
}

void TMySqlSession::ReadQueryResult() {
    serverStatus = SERVER_STATUS_AUTOCOMMIT;
    net.ReadPacket();
    PacketReader r = net.Reader();
    int64_t count = r.ReadLengthCoded();
    if (count == 0) {
        fieldCount = 0;
        OkPacket ok = ParseOk(net.PacketData(), net.PacketLength(), Protocol41(),
                              (serverCapabilities & CLIENT_TRANSACTIONS) != 0);
        affectedRows = ok.affectedRows;
        insertId = ok.insertId;
        if (ok.hasStatus) serverStatus = ok.serverStatus;
        if (Protocol41()) warningCount = ok.warningCount;
        info = ok.info;
        return;
    }
    if (count == -1) {
        // LOCAL INFILE request: the server names a file on this machine.
        // A server must not be able to read our files, so the request is
        // answered as an unreadable file (an empty packet), and the
        // statement fails: nothing was loaded.
        net.NewPacket();
        net.SendEmptyPacket();
        net.ReadPacket();
        const uint8_t* d = net.PacketData();
        if (net.PacketLength() > 0 && d[0] == 0) {
            OkPacket ok = ParseOk(d, net.PacketLength(), Protocol41(),
                                  (serverCapabilities & CLIENT_TRANSACTIONS) != 0);
            fieldCount = 0;
            affectedRows = ok.affectedRows;
            if (ok.hasStatus) serverStatus = ok.serverStatus;
            if (!(serverStatus & SERVER_MORE_RESULTS_EXIST))
                throw EMySqlException::Make(CR_LOAD_DATA_LOCAL_INFILE_REJECTED);
        }
        // Further replies would stay unread.
        AbandonStream();
        throw EMySqlException::Make(CR_LOAD_DATA_LOCAL_INFILE_REJECTED);
    }
    if (count < 0 || count > kMaxColumns) throw EMySqlException::Malformed();
    fieldCount = static_cast<uint32_t>(count);
    if (r.Remaining()) extra = static_cast<uint64_t>(r.ReadLengthCoded());
    r.ExpectEnd();
    ReadColumnDefinitions(static_cast<size_t>(count));
    status = MYSQL_STATUS_GET_RESULT;
    warningCount = 0;
}

void TMySqlSession::ReadColumnDefinitions(size_t count) {
    net.SetPacketBufferCount(count + 1);
    int64_t left = static_cast<int64_t>(count);
    for (;;) {
        net.ReadPacket();
        if (IsEofPacket(net.PacketData(), net.PacketLength())) break;
        --left;
    }
    EofPacket eof = ParseEof(net.PacketData(), net.PacketLength());
    if (eof.hasStatus) {
        warningCount = eof.warningCount;
        serverStatus = eof.serverStatus;
    }
    net.DropLastReceived();
    if (left != 0 || net.ReceivedCount() != count) {
        net.SetPacketBufferCount(1);
        throw EMySqlException::Make(CR_UNKNOWN_ERROR);
    }
    fieldInfos.clear();
    fieldInfos.reserve(count);
    const bool longFlag = (serverCapabilities & CLIENT_LONG_FLAG) != 0;
    for (size_t i = 0; i < count; ++i) {
        const GrowBuffer& b = net.GetPacket(i);
        fieldInfos.push_back(ParseColumnDefinition(b.Data(), b.Length(), Protocol41(), longFlag));
    }
    hasFieldInfos = true;
    net.SetPacketBufferCount(1);
}

void TMySqlSession::FreePendingResult() {
    {
        const OnFailure readyOnFailure([this]() noexcept { status = MYSQL_STATUS_READY; });
        if (status != MYSQL_STATUS_READY) {
            for (;;) {
                if (net.Compress()) {
                    net.ReadPacket();
                    if (IsEofPacket(net.PacketData(), net.PacketLength())) {
                        EofPacket e = ParseEof(net.PacketData(), net.PacketLength());
                        if (e.hasStatus) serverStatus = e.serverStatus;
                        break;
                    }
                } else {
                    auto [first, length] = net.SkipPacket();
                    if (first == 0xFE && length <= 8) {
                        EofPacket e = ParseEof(net.SkipData(), length);
                        if (e.hasStatus) serverStatus = e.serverStatus;
                        break;
                    }
                }
            }
        }
    }
    status = MYSQL_STATUS_READY;
    if (storedProc) {
        storedProc = false;
        net.ReadPacket();
    }
}

void TMySqlSession::AbandonStream() {
    status = MYSQL_STATUS_READY;
    net.CloseTransport();
}

void TMySqlSession::Close() {
    if (closed) return;
    closed = true;
    status = MYSQL_STATUS_READY;
    {
        // net.Close() never throws.
        const OnFailure closeNetOnFailure([this]() noexcept { net.Close(); });
        SimpleCommand(COM_QUIT, {}, false);
    }
    net.Close();
}

} // namespace v270::mysql
