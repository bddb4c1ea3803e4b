#include "network/NetworkCommands.h"

#include <QNetworkAddressEntry>
#include <QNetworkInterface>
#include <QStringList>

#include "frame/Json.h"
#include "kel/corvanta/daemons/Log.h"
#include "kel/rpc/Client.h"
#include "network/NetworkConfigFiles.h"
#include "process/ScriptRunner.h"

namespace NetworkCommands {

namespace {

void log(const QString& text, int level) {
    kel::corvanta::daemons::Log::singleton()->log(text, level);
}

void logStart(const char* prefix, const Request& request) {
    // The query's bytes as the frame's own lines quote them.
    log(QLatin1String(prefix) + QString::fromLatin1(request.queryText()), 1);
}

// A parameter as text; absent or not a JSON string counts as empty.
QString text(const Request& request, const char* key) { return jsonToQString(request.param(key)); }

QString script(const kel::rpc::Client& parameters, const char* key, const char* defaultPath) {
    return parameters.getParameter(QLatin1String(key), QLatin1String(defaultPath)).toString();
}

bool isEmptyOrFalse(const QString& value) {
    return value.isEmpty() || value == QLatin1String("false");
}

bool hasControlCharacter(const QString& text) {
    for (const QChar c : text) {
        if (c.unicode() < 0x20 || c.unicode() == 0x7f) return true;
    }
    return false;
}

// Every value goes to the script as one argument of its own; no shell sees it.
RequestResult run(Request& request, ScriptRunner& runner, const QString& scriptPath,
                  const QStringList& args, const char* message) {
    // A control character would let a value add lines of its own (another network, another
    // address) to the files the scripts write: such a request is refused and runs nothing.
    for (const QString& arg : args) {
        if (hasControlCharacter(arg)) return InvalidParameters;
    }
    if (message) request.setText("MSG", QLatin1String(message));
    runner.runScript(scriptPath, args);
    return Data;
}

}  // namespace

RequestResult setEthConf(Request& request, const kel::rpc::Client& parameters,
                         ScriptRunner& runner) {
    logStart("start processing: ", request);
    const QString dhcp = text(request, "DHCP");
    QStringList args;
    const char* message = nullptr;
    if (isEmptyOrFalse(dhcp)) {
        args << QStringLiteral("static") << text(request, "IP") << text(request, "Netmask");
        message = "try setting eth0 static";
    } else if (dhcp == QLatin1String("true")) {
        args << QStringLiteral("dhcp");
        message = "try setting eth0 dhcp";
    }
    // Any other "DHCP" value runs the script without arguments and says nothing.
    return run(request, runner,
               script(parameters, "~/Scripts/reconfigure_eth0_script",
                      "/usr/local/bin/reconfigure_eth0.sh"),
               args, message);
}

RequestResult setWlanConf(Request& request, const kel::rpc::Client& parameters,
                          ScriptRunner& runner) {
    logStart("start processing: ", request);
    const QString mode = text(request, "mode");
    const QString dhcp = text(request, "DHCP");
    const QString ip = text(request, "IP");
    const QString netmask = text(request, "Netmask");
    const QString ssid = text(request, "ssid");
    const QString passphrase = text(request, "passphrase");
    const QString wpaMode = text(request, "wpaMode");
    QString cipher = text(request, "cipher");

    QStringList args;
    const char* message = nullptr;
    if (mode == QLatin1String("master")) {
        static const QStringList accepted = {QStringLiteral("TKIP"), QStringLiteral("CCMP"),
                                             QStringLiteral("TKIP/CCMP"),
                                             QStringLiteral("TKIP CCMP")};
        if (!accepted.contains(cipher)) cipher = QStringLiteral("TKIP CCMP");
        args << mode << ssid << cipher << passphrase;
        message = "try starting master mode";
    } else if (mode == QLatin1String("client")) {
        // Unlike eth0, every value but empty and "false" selects DHCP here.
        if (isEmptyOrFalse(dhcp)) {
            args << mode << QStringLiteral("static") << ip << netmask << ssid << wpaMode
                 << passphrase;
            message = "try starting client mode (static)";
        } else {
            args << mode << QStringLiteral("dhcp") << ssid << wpaMode << passphrase;
            message = "try starting client mode (DHCP)";
        }
    } else {
        return MissingParameters;
    }
    return run(request, runner,
               script(parameters, "~/Scripts/reconfigure_wlan0_script",
                      "/usr/local/bin/reconfigure_wlan0.sh"),
               args, message);
}

RequestResult getIFConf(Request& request) {
    const QString name = text(request, "IF");
    QString address = QStringLiteral("0.0.0.0");
    QString netmask = QStringLiteral("0.0.0.0");
    // By name only: Qt's own lookup would also take a number for an interface index.
    const QList<QNetworkInterface> interfaces = QNetworkInterface::allInterfaces();
    for (const QNetworkInterface& interface : interfaces) {
        if (name.isEmpty() || interface.name() != name) continue;
        const QList<QNetworkAddressEntry> entries = interface.addressEntries();
        if (!entries.isEmpty()) {
            address = entries.first().ip().toString();
            netmask = entries.first().netmask().toString();
        }
        break;
    }
    request.setText("address", address);
    request.setText("netmask", netmask);
    return Data;
}

RequestResult setHostapd(Request& request, const kel::rpc::Client& parameters,
                         ScriptRunner& runner) {
    logStart("start processing:", request);
    const QString ssid = text(request, "ssid");
    const QString rsnPairwise = text(request, "rsnPairwise");
    const QString passphrase = text(request, "passphrase");
    if (ssid.isEmpty() || passphrase.isEmpty()) return MissingParameters;
    const QStringList args = {ssid, rsnPairwise, passphrase};
    const char message[] = "[Server] start changing hostapd conf file";
    const RequestResult result =
        run(request, runner,
            script(parameters, "~/Scripts/mod_hostap_script", "/usr/local/bin/mod_hostap.pl"), args,
            message);
    if (result != Data) return result;
    log(QLatin1String(message), 1);
    return Ack;
}

RequestResult getWLANConf(Request& request) {
    QString masterSsid, masterCipher, masterPassphrase;
    getHostapdConf(&masterSsid, &masterCipher, &masterPassphrase);
    // Without a wlan0 stanza nothing is configured statically: reported as DHCP.
    bool isDHCP = true;
    QString address, netmask, mode;
    getInterfacesWLAN0Conf(&isDHCP, &address, &netmask, &mode);
    QString clientSsid, clientProto, clientPsk;
    getWpaSupplicantConf(&clientSsid, &clientProto, &clientPsk);

    request.setText("mode", mode);
    request.setText("isDHCP", isDHCP ? QStringLiteral("True") : QStringLiteral("False"));
    request.setText("address", address);
    request.setText("netmask", netmask);
    request.setText("master_ssid", masterSsid);
    request.setText("master_cipher", masterCipher);
    request.setText("master_passphrase", masterPassphrase);
    request.setText("client_ssid", clientSsid);
    request.setText("client_proto", clientProto);
    request.setText("client_psk", clientPsk);
    return Data;
}

}  // namespace NetworkCommands
