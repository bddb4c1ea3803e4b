#include "network/WpaSupplicantConf.h"

#include <QRegularExpression>

#include "network/NetworkConfigFiles.h"

WpaSupplicantConf WpaSupplicantConf::parse(const QByteArray& content) {
    static const QRegularExpression whiteSpace(QStringLiteral("\\s"));
    WpaSupplicantConf conf;
    for (const QString& line : NetworkConfigFiles::linesOf(content)) {
        const int equals = line.indexOf(QLatin1Char('='));
        if (equals <= 0) continue;
        const QString key = line.left(equals).remove(whiteSpace);
        QString value = line.mid(equals + 1);
        const bool quoted = value.startsWith(QLatin1Char('"'));
        if (quoted) value.remove(0, 1);
        if (value.endsWith(QLatin1Char('"'))) value.chop(1);
        if (key == QLatin1String("ssid")) {
            conf.ssid = value;
        } else if (key == QLatin1String("proto")) {
            conf.proto = value;
        } else if (key == QLatin1String("psk")) {
            conf.psk = value;
            conf.pskHashed = !quoted;
        }
    }
    return conf;
}
