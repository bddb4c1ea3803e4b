#pragma once

#include <QString>
#include <QStringList>

/// Readers of the system's WLAN configuration files. Each fills the outputs it finds and leaves
/// the others as the caller set them (normally empty). A file that does not exist is first
/// created as a copy of its ".default" fallback. Paths are robot paths (see FsRoot).

/// Access point (hostapd): "ssid=", "rsn_pairwise=" and "wpa_passphrase=" lines. The file and
/// its fallback come from "~/Conf/hostapdconffile" and "~/Conf/hostapdconfdefaultfile".
void getHostapdConf(QString* ssid, QString* rsnPairwise, QString* passphrase);

/// WLAN client (wpa_supplicant): the "ssid", "proto" and "psk" keys; the last network block
/// wins. The file and its fallback come from "~/Conf/wpasupplicantconffile" and
/// "~/Conf/wpasupplicantconfdefaultfile".
void getWpaSupplicantConf(QString* ssid, QString* proto, QString* psk);

/// The wlan0 stanza of "/etc/network/interfaces": DHCP or static, the static address and
/// netmask, and the mode ("master" or "client"). `isDHCP` is left alone when the file has no
/// wlan0 stanza.
void getInterfacesWLAN0Conf(bool* isDHCP, QString* address, QString* netmask, QString* mode);

namespace NetworkConfigFiles {

/// Creates the file at `path` as a copy of `fallbackPath` (both paths on this machine) when
/// nothing at all is at `path`: an existing file is never replaced, nor is a link, dangling or
/// not. The copy appears whole or not at all and keeps the fallback's permission bits. Returns
/// true when the copy was made.
bool installFallbackCopy(const QString& path, const QString& fallbackPath);

/// The lines of the file at the robot path `path` as UTF-8 text without line ends (a "\r"
/// before a line feed is dropped), after the fallback copy above. False when it cannot be read
/// or is larger than 1 MiB (logged at level 0; a fallback that large is not copied either).
bool readLines(const QString& path, const QString& fallbackPath, QStringList* lines);

}  // namespace NetworkConfigFiles
