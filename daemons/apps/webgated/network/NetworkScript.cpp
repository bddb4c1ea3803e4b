#include "network/NetworkScript.h"

#include "base/Json.h"
#include "network/HostapdConf.h"
#include "network/InterfacesConf.h"
#include "network/WpaSupplicantConf.h"
#include "request/Request.h"
#include "service/Client.h"

namespace {

// A parameter as text; absent or not a JSON string counts as empty.
QString text(const Request& request, const char* key) { return jsonToQString(request.param(key)); }

bool isEmptyOrFalse(const QString& value) {
    return value.isEmpty() || value == QLatin1String("false");
}

bool ethArguments(const Request& request, QStringList* args, const char** message) {
    const QString dhcp = text(request, "DHCP");
    if (isEmptyOrFalse(dhcp)) {
        *message = "try setting eth0 static";
        *args =
            QStringList{QStringLiteral("static"), text(request, "IP"), text(request, "Netmask")};
    } else if (dhcp == QLatin1String("true")) {
        *message = "try setting eth0 dhcp";
        *args = QStringList{QStringLiteral("dhcp")};
    } else {
        // Any other "DHCP" value runs the script without arguments and says nothing.
        *message = nullptr;
        *args = QStringList();
    }
    return true;
}

struct WlanSettings {
    QString mode, dhcp, ip, netmask, ssid, passphrase, wpaMode, cipher;
};

// The wlan0 script's arguments for `s`; false for an unknown mode.
bool wlanScriptArguments(WlanSettings s, QStringList* args, const char** message) {
    if (s.mode == QLatin1String("master")) {
        static const QStringList accepted = {QStringLiteral("TKIP"), QStringLiteral("CCMP"),
                                             QStringLiteral("TKIP/CCMP"),
                                             QStringLiteral("TKIP CCMP")};
        if (!accepted.contains(s.cipher)) s.cipher = QStringLiteral("TKIP CCMP");
        *args = QStringList{s.mode, s.ssid, s.cipher, s.passphrase};
        *message = "try starting master mode";
        return true;
    }
    if (s.mode == QLatin1String("client")) {
        // Unlike eth0, every value but empty and "false" selects DHCP here.
        if (isEmptyOrFalse(s.dhcp)) {
            *args = QStringList{
                s.mode, QStringLiteral("static"), s.ip, s.netmask, s.ssid, s.wpaMode, s.passphrase};
            *message = "try starting client mode (static)";
        } else {
            *args = QStringList{s.mode, QStringLiteral("dhcp"), s.ssid, s.wpaMode, s.passphrase};
            *message = "try starting client mode (DHCP)";
        }
        return true;
    }
    return false;
}

bool wlanArguments(const Request& request, QStringList* args, const char** message) {
    WlanSettings s;
    s.mode = text(request, "mode");
    s.dhcp = text(request, "DHCP");
    s.ip = text(request, "IP");
    s.netmask = text(request, "Netmask");
    s.ssid = text(request, "ssid");
    s.passphrase = text(request, "passphrase");
    s.wpaMode = text(request, "wpaMode");
    s.cipher = text(request, "cipher");
    return wlanScriptArguments(s, args, message);
}

bool hostapdArguments(const Request& request, QStringList* args, const char** message) {
    const QString ssid = text(request, "ssid");
    const QString rsnPairwise = text(request, "rsnPairwise");
    const QString passphrase = text(request, "passphrase");
    if (ssid.isEmpty() || passphrase.isEmpty()) return false;
    *args = QStringList{ssid, rsnPairwise, passphrase};
    *message = "[Server] start changing hostapd conf file";
    return true;
}

bool ethUndo(const NetworkFileBytes& files, QStringList* args, QString* why) {
    return InterfacesConf::eth0Arguments(files.value(NetworkFile::Interfaces), args, why);
}

// The access point's settings as mod_hostap takes them; false when a value it needs is missing.
bool masterSettings(const NetworkFileBytes& files, HostapdConf* master, QString* why) {
    *master = HostapdConf::parse(files.value(NetworkFile::Hostapd));
    if (!master->ssid.isEmpty() && !master->passphrase.isEmpty()) return true;
    *why = QStringLiteral("the access point has no ssid or no wpa_passphrase");
    return false;
}

bool hostapdUndo(const NetworkFileBytes& files, QStringList* args, QString* why) {
    HostapdConf master;
    if (!masterSettings(files, &master, why)) return false;
    *args = QStringList{master.ssid, master.rsnPairwise, master.passphrase};
    return true;
}

bool wlanUndo(const NetworkFileBytes& files, QStringList* args, QString* why) {
    const InterfacesConf wlan0 = InterfacesConf::parse(files.value(NetworkFile::Interfaces));
    if (!wlan0.hasWlan0 || wlan0.mode.isEmpty()) {
        *why = QStringLiteral("no wlan0 stanza that says master or client");
        return false;
    }
    WlanSettings s;
    s.mode = wlan0.mode;
    if (wlan0.mode == QLatin1String("master")) {
        HostapdConf master;
        if (!masterSettings(files, &master, why)) return false;
        s.ssid = master.ssid;
        s.passphrase = master.passphrase;
        s.cipher = master.rsnPairwise;
    } else {
        const WpaSupplicantConf client =
            WpaSupplicantConf::parse(files.value(NetworkFile::WpaSupplicant));
        if (client.pskHashed) {
            *why = QStringLiteral("the WLAN client has a hashed key, not its passphrase");
            return false;
        }
        if (client.ssid.isEmpty() || client.psk.isEmpty()) {
            *why = QStringLiteral("the WLAN client has no ssid or no psk");
            return false;
        }
        if (!wlan0.isDHCP && (wlan0.address.isEmpty() || wlan0.netmask.isEmpty())) {
            *why = QStringLiteral("static wlan0 without address or netmask");
            return false;
        }
        s.dhcp = wlan0.isDHCP ? QStringLiteral("true") : QStringLiteral("false");
        s.ip = wlan0.address;
        s.netmask = wlan0.netmask;
        s.ssid = client.ssid;
        s.wpaMode = client.proto;
        s.passphrase = client.psk;
    }
    const char* message = nullptr;
    return wlanScriptArguments(s, args, &message);
}

}  // namespace

QString NetworkScript::script() const {
    return Client::singleton()
        ->getParameter(QLatin1String(scriptKey), QLatin1String(scriptDefault))
        .toString();
}

const NetworkScript* NetworkScript::find(const QString& command) {
    using F = NetworkFile;
    // clang-format off
    static const NetworkScript table[] = {
        {"SetEthConf", "~/Scripts/reconfigure_eth0_script", "/usr/local/bin/reconfigure_eth0.sh",
         {F::Interfaces}, false, ethArguments, ethUndo},
        {"SetWlanConf", "~/Scripts/reconfigure_wlan0_script", "/usr/local/bin/reconfigure_wlan0.sh",
         {F::Interfaces, F::WpaSupplicant, F::Hostapd}, true, wlanArguments, wlanUndo},
        {"SetHostapd", "~/Scripts/mod_hostap_script", "/usr/local/bin/mod_hostap.pl",
         {F::Hostapd}, true, hostapdArguments, hostapdUndo},
    };
    // clang-format on
    for (const NetworkScript& row : table) {
        if (command == QLatin1String(row.command)) return &row;
    }
    return nullptr;
}
