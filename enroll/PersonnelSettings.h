#pragma once

#include <QString>

// Where the PDKS program's personnel database is, from Settings.ini: server
// and database in [Login], user, password and port in [MySql], and in
// [MySql] too how to reach it over TLS.
struct PersonnelSettings {
    QString server;
    QString database;
    QString user;
    QString password;
    QString port; // "3306" when the key is missing

    QString ssl;       // SSL: "0" or missing plain TCP, anything else TLS
    QString sslCACert; // SSLCACert, SSLCert, SSLKey: PEM files; a relative
    QString sslCert;   // name is taken from the directory of Settings.ini
    QString sslKey;
    QString sslCipherList;   // SSLCipherList: OpenSSL's cipher list
    QString sslVerify;       // SSLVerify: "0" or not; missing: checked when a CA is given
    QString serverPublicKey; // ServerPublicKey: PEM file of the server's RSA key
};

PersonnelSettings ReadMySqlSettings(const QString& settingsFile);

// A file named in the settings: beside the settings file unless the name says
// otherwise; empty stays empty.
QString settingsFilePath(const QString& settingsFile, const QString& name);

// A switch of the settings file: empty is the default, "0" off, anything
// else on (so a mistyped value leaves TLS and its checks on).
bool settingIsOn(const QString& value, bool byDefault);
