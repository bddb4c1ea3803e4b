#pragma once

#include <QByteArray>
#include <QString>

/// The WLAN client's settings in a wpa_supplicant file: the "ssid", "proto" and "psk" keys,
/// white space in a key ignored (so keys inside a network block count), one leading and one
/// trailing double quote of a value dropped; the last network block wins.
struct WpaSupplicantConf {
    QString ssid;
    QString proto;
    QString psk;
    bool pskHashed = false;  // a psk written without quotes: the hash, not the passphrase

    static WpaSupplicantConf parse(const QByteArray& content);
};
