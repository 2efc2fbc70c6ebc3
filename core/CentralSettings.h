#pragma once

// [Merkez] in Settings.ini: the central database that every site's records
// also go to. Without Hosts there is none, and the program works as it did
// before it knew of one.

#include <QString>

#include <vector>

struct CentralHost {
    QString host;
    int port = 3306;
    bool operator==(const CentralHost&) const = default;
};

struct CentralSettings {
    std::vector<CentralHost> hosts; // tried in this order; the next when one is down
    QString database;
    QString user;
    QString password; // from Password, or the first line of PasswordFile
    // TLS as in [MySql]: SSL, SSLCACert, SSLCert, SSLKey (files beside
    // Settings.ini unless the name says otherwise), SSLCipherList, SSLVerify.
    bool ssl = false;
    QString sslCACert, sslCert, sslKey, sslCipherList;
    bool sslVerify = false;
    QString serverPublicKey;
    QString site; // this program directory's name in the central tables
};

// Whether [Merkez] names any host: only then does a transfer keep its
// records for the central database. Reads nothing else, so a mistake in the
// other keys never stops a transfer (the push reports it).
bool centralDatabaseConfigured(const QString& programDir);

// Every key of [Merkez], checked. Throws AppError with a Turkish text that
// names the key and the value when one is wrong, and when Hosts is missing.
CentralSettings readCentralSettings(const QString& programDir);

// "host[:port]" entries separated by commas; an IPv6 address goes in
// brackets ("[::1]:3307"). Throws AppError for an empty entry or a port that
// is not 1-65535.
std::vector<CentralHost> parseCentralHosts(const QString& text);

// The outbox, its push cursor and the push's own lock, in the program
// directory beside veri.txt.
inline constexpr char kOutboxFileName[] = ".merkez.outbox";
inline constexpr char kOutboxCursorFileName[] = ".merkez.cursor";
inline constexpr char kOutboxPushLockName[] = ".merkez.lock";
