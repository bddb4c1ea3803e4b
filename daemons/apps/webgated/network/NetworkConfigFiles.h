#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>

/// The three network files a change may touch.
enum class NetworkFile { Interfaces, WpaSupplicant, Hostapd };

/// Readers of the system's WLAN configuration files for getWLANConf. Each fills its outputs from
/// the file (an output stays empty when the file does not say). A file that does not exist is
/// first created as a copy of its ".default" fallback.

/// Access point (hostapd): see HostapdConf.
void getHostapdConf(QString* ssid, QString* rsnPairwise, QString* passphrase);

/// WLAN client (wpa_supplicant): see WpaSupplicantConf.
void getWpaSupplicantConf(QString* ssid, QString* proto, QString* psk);

/// The wlan0 stanza of the interfaces file: see InterfacesConf. `isDHCP` is left alone when the
/// file has no wlan0 stanza.
void getInterfacesWLAN0Conf(bool* isDHCP, QString* address, QString* netmask, QString* mode);

namespace NetworkConfigFiles {

/// All three, in the order a WLAN change takes them.
constexpr NetworkFile kAll[] = {NetworkFile::Interfaces, NetworkFile::WpaSupplicant,
                                NetworkFile::Hostapd};

/// Where this configuration keeps the file and its fallback copy (robot paths, see FsRoot):
/// "/etc/network/interfaces", or from "~/Conf/wpasupplicantconffile" and
/// "~/Conf/hostapdconffile" (with "...defaultfile" for the fallbacks).
QString path(NetworkFile file);
QString fallbackPath(NetworkFile file);

/// Creates the file at `path` as a copy of `fallbackPath` (both paths on this machine) when
/// nothing at all is at `path`: an existing file is never replaced, nor is a link, dangling or
/// not. The copy appears whole or not at all and keeps the fallback's permission bits. Returns
/// true when the copy was made.
bool installFallbackCopy(const QString& path, const QString& fallbackPath);

/// The content of the file at the robot path `path`, after the fallback copy above. False when
/// it cannot be read or is larger than 1 MiB (logged at level 0; a fallback that large is not
/// copied either).
bool read(const QString& path, const QString& fallbackPath, QByteArray* content);

/// The lines of a file as the readers see them: UTF-8, without line ends ("\r" before a line
/// feed dropped).
QStringList linesOf(const QByteArray& content);

}  // namespace NetworkConfigFiles
