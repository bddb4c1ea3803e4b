#pragma once

#include "request/Request.h"

class NetworkChange;
class ScriptRunner;

/// The commands that show and change the robot's Ethernet and WLAN set-up. The three set
/// commands, getWLANConf and confirmNetwork run in the worker thread (they read and write files),
/// getIFConf and getNetworkChange in the request thread. Changes are handed to the reconfiguration scripts through the script runner, each
/// value one argument, and the reply only says that the change was started. With
/// "confirmWithin" (10 to 600 s) a change undoes itself unless confirmed (see NetworkChange);
/// while one is pending the three set commands are refused.
namespace NetworkCommands {

/// "DHCP" ("true", or empty/"false" for static with "IP" and "Netmask"): runs the eth0 script.
RequestResult setEthConf(Request& request, ScriptRunner& runner, NetworkChange& change);

/// "mode" "master" (with "ssid", "cipher", "passphrase") or "client" (with "DHCP", "IP",
/// "Netmask", "ssid", "wpaMode", "passphrase"): runs the wlan0 script.
RequestResult setWlanConf(Request& request, ScriptRunner& runner, NetworkChange& change);

/// "IF": the first address and netmask of the interface of that name, else "0.0.0.0".
RequestResult getIFConf(Request& request);

/// "ssid", "rsnPairwise", "passphrase": runs the access-point settings script.
RequestResult setHostapd(Request& request, ScriptRunner& runner, NetworkChange& change);

/// The WLAN mode, address settings and network names and keys from the configuration files.
RequestResult getWLANConf(Request& request);

/// "changeId" (or none for the pending change): keeps the waiting change; with "undo": true
/// undoes it at once.
RequestResult confirmNetwork(Request& request, NetworkChange& change);

/// The pending or last change: "pending", "changeId", "command", "secondsLeft", "state".
RequestResult getNetworkChange(Request& request, const NetworkChange& change);

}  // namespace NetworkCommands
