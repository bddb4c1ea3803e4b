#include "network/NetworkCommands.h"

#include <QNetworkAddressEntry>
#include <QNetworkInterface>
#include <QStringList>

#include "base/Json.h"
#include "kel/corvanta/daemons/Log.h"
#include "network/NetworkChange.h"
#include "network/HostapdConf.h"
#include "network/InterfacesConf.h"
#include "network/NetworkConfigFiles.h"
#include "network/NetworkUndo.h"
#include "network/WpaSupplicantConf.h"
#include "process/ScriptRunner.h"
#include "base/DaemonLog.h"
#include "base/TextChecks.h"

namespace NetworkCommands {

namespace {

void logStart(const char* prefix, const Request& request) {
    // The query's bytes as the frame's own lines quote them.
    daemonLog(QLatin1String(prefix) + QString::fromLatin1(request.queryText()), 1);
}

// A parameter as text; absent or not a JSON string counts as empty.
QString text(const Request& request, const char* key) { return jsonToQString(request.param(key)); }

bool isEmptyOrFalse(const QString& value) {
    return value.isEmpty() || value == QLatin1String("false");
}


const char kCannotUndo[] = "CANNOT UNDO THIS CHANGE";

RequestResult failed(Request& request, const char* message) {
    request.setText("MSG", QLatin1String(message));
    return Failed;
}

// Arguments of the eth0 script, as SetEthConf makes them.
QStringList ethArgs(const QString& dhcp, const QString& ip, const QString& netmask,
                    const char** message) {
    if (isEmptyOrFalse(dhcp)) {
        *message = "try setting eth0 static";
        return {QStringLiteral("static"), ip, netmask};
    }
    if (dhcp == QLatin1String("true")) {
        *message = "try setting eth0 dhcp";
        return {QStringLiteral("dhcp")};
    }
    // Any other "DHCP" value runs the script without arguments and says nothing.
    *message = nullptr;
    return {};
}

struct WlanSettings {
    QString mode, dhcp, ip, netmask, ssid, passphrase, wpaMode, cipher;
};

// Arguments of the wlan0 script, as SetWlanConf makes them; false for an unknown mode.
bool wlanArgs(WlanSettings s, QStringList* args, const char** message) {
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
            *args = QStringList{s.mode, QStringLiteral("static"), s.ip, s.netmask, s.ssid, s.wpaMode,
                     s.passphrase};
            *message = "try starting client mode (static)";
        } else {
            *args = QStringList{s.mode, QStringLiteral("dhcp"), s.ssid, s.wpaMode, s.passphrase};
            *message = "try starting client mode (DHCP)";
        }
        return true;
    }
    return false;
}

// The arguments that re-create the settings the snapshot's files hold, for `command`'s script.
bool undoArgs(const QString& command, const QList<NetworkUndo::FileSnapshot>& files,
              QStringList* args, QString* why) {
    const auto bytesOf = [&files](const QString& path) {
        for (const NetworkUndo::FileSnapshot& file : files) {
            if (file.path == path) return file.bytes;
        }
        return QByteArray();
    };
    const QStringList paths = NetworkChange::filesFor(command);
    if (command == QLatin1String("SetEthConf"))
        return InterfacesConf::eth0Arguments(bytesOf(paths.at(0)), args, why);
    if (command == QLatin1String("SetHostapd")) {
        const HostapdConf master = HostapdConf::parse(bytesOf(paths.at(0)));
        if (master.ssid.isEmpty() || master.passphrase.isEmpty()) {
            *why = QStringLiteral("the access point has no ssid or no wpa_passphrase");
            return false;
        }
        *args = QStringList{master.ssid, master.rsnPairwise, master.passphrase};
        return true;
    }
    const InterfacesConf wlan0 = InterfacesConf::parse(bytesOf(paths.at(0)));
    const HostapdConf master = HostapdConf::parse(bytesOf(paths.at(2)));
    const WpaSupplicantConf client = WpaSupplicantConf::parse(bytesOf(paths.at(1)));
    WlanSettings s;
    s.mode = wlan0.mode;
    const char* message = nullptr;
    if (!wlan0.hasWlan0 || wlan0.mode.isEmpty()) {
        *why = QStringLiteral("no wlan0 stanza that says master or client");
        return false;
    }
    if (wlan0.mode == QLatin1String("master")) {
        if (master.ssid.isEmpty() || master.passphrase.isEmpty()) {
            *why = QStringLiteral("the access point has no ssid or no wpa_passphrase");
            return false;
        }
        s.ssid = master.ssid;
        s.passphrase = master.passphrase;
        s.cipher = master.rsnPairwise;
    } else {
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
    return wlanArgs(s, args, &message);
}

// Runs `command`'s script with `args`, each value one argument of its own (no shell sees it).
// With "confirmWithin" the change is made undoable first, or refused when it cannot be undone.
RequestResult run(Request& request, ScriptRunner& runner, NetworkChange& change,
                  const QString& command, const QStringList& args, const char* message) {
    // A control character would let a value add lines of its own (another network, another
    // address) to the files the scripts write: such a request is refused and runs nothing.
    for (const QString& arg : args) {
        if (TextChecks::hasControlCharacter(arg)) return InvalidParameters;
    }
    const QString script = NetworkChange::scriptFor(command);
    const json_t* within = request.param("confirmWithin");
    if (!within) {
        if (message) request.setText("MSG", QLatin1String(message));
        runner.runScript(script, args);
        return Data;
    }
    if (!json_is_integer(within) || json_integer_value(within) < 10 ||
        json_integer_value(within) > 600) {
        return InvalidParameters;
    }
    NetworkChange::Plan plan;
    plan.command = command;
    plan.script = script;
    plan.args = args;
    plan.confirmWithin = static_cast<int>(json_integer_value(within));
    QString why;
    bool ok = true;
    // A run still writing the files would leave a snapshot of half a change.
    if (runner.hasProcess(script)) {
        why = script + QStringLiteral(" still runs");
        ok = false;
    }
    for (const QString& path : NetworkChange::filesFor(command)) {
        NetworkUndo::FileSnapshot file;
        ok = ok && NetworkUndo::take(path, &file, &why);
        plan.files.append(file);
    }
    ok = ok && undoArgs(command, plan.files, &plan.undoArgs, &why);
    for (const QString& arg : plan.undoArgs) {
        if (ok && TextChecks::hasControlCharacter(arg)) {
            why = QStringLiteral("a control character in the present settings");
            ok = false;
        }
    }
    QString id;
    if (ok) {
        id = change.begin(plan, &why);
        if (id.isEmpty()) daemonLog(QStringLiteral("Network change refused: ") + why, 0);
    } else {
        daemonLog(QStringLiteral("Network change refused, it could not be undone: ") + why, 1);
    }
    if (id.isEmpty()) return failed(request, kCannotUndo);
    if (message) request.setText("MSG", QLatin1String(message));
    request.setText("changeId", id);
    return Data;
}

// While a change waits for its confirmation, no other change may get in its way.
bool refusedWhilePending(Request& request, const NetworkChange& change) {
    if (!change.isBusy()) return false;
    failed(request, "NETWORK CHANGE PENDING");
    return true;
}

}  // namespace

RequestResult setEthConf(Request& request, ScriptRunner& runner, NetworkChange& change) {
    logStart("start processing: ", request);
    if (refusedWhilePending(request, change)) return Failed;
    const char* message = nullptr;
    const QStringList args =
        ethArgs(text(request, "DHCP"), text(request, "IP"), text(request, "Netmask"), &message);
    return run(request, runner, change, QStringLiteral("SetEthConf"), args, message);
}

RequestResult setWlanConf(Request& request, ScriptRunner& runner, NetworkChange& change) {
    logStart("start processing: ", request);
    if (refusedWhilePending(request, change)) return Failed;
    WlanSettings s;
    s.mode = text(request, "mode");
    s.dhcp = text(request, "DHCP");
    s.ip = text(request, "IP");
    s.netmask = text(request, "Netmask");
    s.ssid = text(request, "ssid");
    s.passphrase = text(request, "passphrase");
    s.wpaMode = text(request, "wpaMode");
    s.cipher = text(request, "cipher");
    QStringList args;
    const char* message = nullptr;
    if (!wlanArgs(s, &args, &message)) return MissingParameters;
    return run(request, runner, change, QStringLiteral("SetWlanConf"), args, message);
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

RequestResult setHostapd(Request& request, ScriptRunner& runner, NetworkChange& change) {
    logStart("start processing:", request);
    if (refusedWhilePending(request, change)) return Failed;
    const QString ssid = text(request, "ssid");
    const QString rsnPairwise = text(request, "rsnPairwise");
    const QString passphrase = text(request, "passphrase");
    if (ssid.isEmpty() || passphrase.isEmpty()) return MissingParameters;
    const QStringList args = {ssid, rsnPairwise, passphrase};
    const char message[] = "[Server] start changing hostapd conf file";
    const RequestResult result =
        run(request, runner, change, QStringLiteral("SetHostapd"), args, message);
    if (result != Data) return result;
    daemonLog(QLatin1String(message), 1);
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

RequestResult confirmNetwork(Request& request, NetworkChange& change) {
    const json_t* id = request.param("changeId");
    const json_t* undo = request.param("undo");
    if ((id && !json_is_string(id)) || (undo && !json_is_boolean(undo))) return InvalidParameters;
    switch (change.confirm(id ? jsonToQString(id) : QString(), undo && json_is_true(undo))) {
        case NetworkChange::Answer::Done:
            return Ack;
        case NetworkChange::Answer::StillRunning:
            return failed(request, "NETWORK CHANGE STILL RUNNING");
        case NetworkChange::Answer::CannotKeep:
            // Not kept is not acknowledged: after a restart the change would be undone.
            return failed(request, "CANNOT KEEP THIS CHANGE");
        case NetworkChange::Answer::NonePending:
            break;
    }
    return failed(request, "NO NETWORK CHANGE PENDING");
}

RequestResult getNetworkChange(Request& request, const NetworkChange& change) {
    const NetworkChange::Status status = change.status();
    request.set("pending", json_boolean(status.pending()));
    request.setText("changeId", status.changeId);
    request.setText("command", status.command);
    request.set("secondsLeft", json_integer(status.secondsLeft));
    request.setText("state", status.stateName());
    return Data;
}

}  // namespace NetworkCommands
