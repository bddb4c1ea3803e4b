#include "network/NetworkCommands.h"

#include <QNetworkAddressEntry>
#include <QNetworkInterface>
#include <QStringList>

#include "base/DaemonLog.h"
#include "base/Json.h"
#include "base/TextChecks.h"
#include "network/NetworkChange.h"
#include "network/NetworkConfigFiles.h"
#include "network/NetworkScript.h"
#include "network/NetworkUndo.h"
#include "process/ScriptRunner.h"

namespace NetworkCommands {

namespace {

void logStart(const char* prefix, const Request& request) {
    // The query's bytes as the frame's own lines quote them.
    daemonLog(QLatin1String(prefix) + QString::fromLatin1(request.queryText()), 1);
}

const char kCannotUndo[] = "CANNOT UNDO THIS CHANGE";

RequestResult failed(Request& request, const char* message) {
    request.setText("MSG", QLatin1String(message));
    return Failed;
}

// Runs the script of `command` with `args`, each value one argument of its own (no shell sees
// it). With "confirmWithin" the change is made undoable first, or refused when it cannot be undone.
RequestResult run(Request& request, ScriptRunner& runner, NetworkChange& change,
                  const NetworkScript& command, const QStringList& args, const char* message) {
    // A control character would let a value add lines of its own (another network, another
    // address) to the files the scripts write: such a request is refused and runs nothing.
    for (const QString& arg : args) {
        if (TextChecks::hasControlCharacter(arg)) return InvalidParameters;
    }
    const QString script = command.script();
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
    plan.command = QLatin1String(command.command);
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
    NetworkFileBytes before;
    for (const NetworkFile file : command.files) {
        NetworkUndo::FileSnapshot snapshot;
        ok = ok && NetworkUndo::take(NetworkConfigFiles::path(file), &snapshot, &why);
        plan.files.append(snapshot);
        before.insert(file, snapshot.bytes);
    }
    ok = ok && command.undoArguments(before, &plan.undoArgs, &why);
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

// The change `name` asks for, unless another one is pending or the request lacks a value;
// `message` is the reply's "MSG" (null: none).
RequestResult changeNetwork(Request& request, ScriptRunner& runner, NetworkChange& change,
                            const char* name, const char** message) {
    if (refusedWhilePending(request, change)) return Failed;
    const NetworkScript& command = *NetworkScript::find(QLatin1String(name));
    QStringList args;
    if (!command.arguments(request, &args, message)) return MissingParameters;
    return run(request, runner, change, command, args, *message);
}

}  // namespace

RequestResult setEthConf(Request& request, ScriptRunner& runner, NetworkChange& change) {
    logStart("start processing: ", request);
    const char* message = nullptr;
    return changeNetwork(request, runner, change, "SetEthConf", &message);
}

RequestResult setWlanConf(Request& request, ScriptRunner& runner, NetworkChange& change) {
    logStart("start processing: ", request);
    const char* message = nullptr;
    return changeNetwork(request, runner, change, "SetWlanConf", &message);
}

RequestResult getIFConf(Request& request) {
    const QString name = jsonToQString(request.param("IF"));
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
    const char* message = nullptr;
    const RequestResult result = changeNetwork(request, runner, change, "SetHostapd", &message);
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
