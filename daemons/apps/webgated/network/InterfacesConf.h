#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>

/// The wlan0 stanza of an interfaces file, by the rules the page has always read it: from a line
/// that contains "iface wlan0" to the next line that starts with "iface"; "address" and
/// "netmask" lines of exactly two words; a hostapd line makes it "master", a wpa_supplicant.conf
/// line "client".
struct InterfacesConf {
    bool hasWlan0 = false;  // a line contains "iface wlan0"
    bool isDHCP = true;     // that line does not say "static"
    QString mode, address, netmask;

    static InterfacesConf parse(const QByteArray& content);

    /// The eth0 script's arguments that re-create the settings of the file's eth0 stanza:
    /// {"dhcp"} or {"static", address, netmask}. False with `why` when the file cannot say (no
    /// stanza or two, "manual", inet6, a static one without address or netmask).
    static bool eth0Arguments(const QByteArray& content, QStringList* args, QString* why);
};
