#include "network/InterfacesConf.h"

#include <QHostAddress>
#include <QRegularExpression>

#include "network/NetworkConfigFiles.h"

namespace {

QStringList partsOf(const QString& line) {
    static const QRegularExpression blanks(QStringLiteral("\\s+"));
    return line.split(blanks, Qt::SkipEmptyParts);
}

}  // namespace

InterfacesConf InterfacesConf::parse(const QByteArray& content) {
    InterfacesConf conf;
    bool inStanza = false;
    for (const QString& line : NetworkConfigFiles::linesOf(content)) {
        if (line.startsWith(QLatin1String("iface"))) {
            inStanza = false;
        } else if (inStanza) {
            const QStringList parts = partsOf(line);
            if (parts.size() == 2) {
                if (parts.at(0) == QLatin1String("address")) conf.address = parts.at(1);
                if (parts.at(0) == QLatin1String("netmask")) conf.netmask = parts.at(1);
            }
            if (line.contains(QLatin1String("start-wlan0-master.sh")) ||
                line.contains(QLatin1String("hostapd"))) {
                conf.mode = QStringLiteral("master");
            } else if (line.contains(QLatin1String("wpa_supplicant.conf"))) {
                conf.mode = QStringLiteral("client");
            }
        }
        if (line.contains(QLatin1String("iface wlan0"))) {
            conf.hasWlan0 = true;
            conf.isDHCP = !line.contains(QLatin1String("static"));
            inStanza = true;
        }
    }
    return conf;
}

bool InterfacesConf::eth0Arguments(const QByteArray& content, QStringList* args, QString* why) {
    int stanzas = 0;
    bool inStanza = false;
    QString method, address, netmask;
    for (const QString& line : NetworkConfigFiles::linesOf(content)) {
        const QStringList parts = partsOf(line);
        if (parts.isEmpty() || parts.first().startsWith(QLatin1Char('#'))) continue;
        const QString& keyword = parts.first();
        if (keyword == QLatin1String("iface")) {
            inStanza = parts.value(1) == QLatin1String("eth0");
            if (!inStanza) continue;
            ++stanzas;
            if (parts.value(2) != QLatin1String("inet")) {
                *why = QStringLiteral("eth0 is configured for ") + parts.value(2);
                return false;
            }
            method = parts.value(3);
        } else if (keyword == QLatin1String("auto") ||
                   keyword.startsWith(QLatin1String("allow-")) ||
                   keyword == QLatin1String("mapping") ||
                   keyword.startsWith(QLatin1String("source")) ||
                   keyword.startsWith(QLatin1String("no-"))) {
            inStanza = false;
        } else if (inStanza && parts.size() == 2) {
            if (keyword == QLatin1String("address")) address = parts.at(1);
            if (keyword == QLatin1String("netmask")) netmask = parts.at(1);
        }
    }
    if (stanzas != 1) {
        *why = stanzas == 0 ? QStringLiteral("no eth0 stanza")
                            : QStringLiteral("more than one eth0 stanza");
        return false;
    }
    if (method == QLatin1String("dhcp")) {
        *args = QStringList{QStringLiteral("dhcp")};
        return true;
    }
    if (method != QLatin1String("static")) {
        *why = QStringLiteral("eth0 is configured \"") + method + QLatin1Char('"');
        return false;
    }
    // "address 10.0.0.5/24" stands for the address and its netmask.
    if (address.contains(QLatin1Char('/'))) {
        const QPair<QHostAddress, int> subnet = QHostAddress::parseSubnet(address);
        if (subnet.first.protocol() != QAbstractSocket::IPv4Protocol) {
            *why = QStringLiteral("eth0 address ") + address;
            return false;
        }
        address = address.section(QLatin1Char('/'), 0, 0);
        if (netmask.isEmpty() && subnet.second >= 0) {
            const quint32 bits = subnet.second == 0 ? 0 : ~0u << (32 - subnet.second);
            netmask = QHostAddress(bits).toString();
        }
    }
    if (address.isEmpty() || netmask.isEmpty()) {
        *why = QStringLiteral("static eth0 without address or netmask");
        return false;
    }
    *args = QStringList{QStringLiteral("static"), address, netmask};
    return true;
}
