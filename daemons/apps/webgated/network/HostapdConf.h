#pragma once

#include <QByteArray>
#include <QString>

/// The access point's settings in a hostapd file, by the rules the page has always read them:
/// "ssid=", "rsn_pairwise=" and "wpa_passphrase=" at the very start of a line, the last line
/// wins, every occurrence of the key (and for ssid and passphrase every double quote) removed.
struct HostapdConf {
    QString ssid;
    QString rsnPairwise;  // keeps its quotes
    QString passphrase;

    static HostapdConf parse(const QByteArray& content);
};
