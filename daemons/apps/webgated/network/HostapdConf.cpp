#include "network/HostapdConf.h"

#include "network/NetworkConfigFiles.h"

HostapdConf HostapdConf::parse(const QByteArray& content) {
    HostapdConf conf;
    for (const QString& line : NetworkConfigFiles::linesOf(content)) {
        if (line.startsWith(QLatin1String("ssid="))) {
            conf.ssid = QString(line).remove(QLatin1String("ssid=")).remove(QLatin1Char('"'));
        } else if (line.startsWith(QLatin1String("rsn_pairwise="))) {
            conf.rsnPairwise = QString(line).remove(QLatin1String("rsn_pairwise="));
        } else if (line.startsWith(QLatin1String("wpa_passphrase="))) {
            conf.passphrase =
                QString(line).remove(QLatin1String("wpa_passphrase=")).remove(QLatin1Char('"'));
        }
    }
    return conf;
}
