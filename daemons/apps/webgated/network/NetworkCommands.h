#pragma once

#include "frame/Request.h"

namespace kel::rpc {
class Client;
}
class ScriptRunner;

/// The commands that show and change the robot's Ethernet and WLAN set-up. Run in the request
/// thread. Changes are handed to the reconfiguration scripts through the script runner, each
/// value one argument, and the reply only says that the change was started.
namespace NetworkCommands {

/// "DHCP" ("true", or empty/"false" for static with "IP" and "Netmask"): runs the eth0 script.
RequestResult setEthConf(Request& request, const kel::rpc::Client& parameters,
                         ScriptRunner& runner);

/// "mode" "master" (with "ssid", "cipher", "passphrase") or "client" (with "DHCP", "IP",
/// "Netmask", "ssid", "wpaMode", "passphrase"): runs the wlan0 script.
RequestResult setWlanConf(Request& request, const kel::rpc::Client& parameters,
                          ScriptRunner& runner);

/// "IF": the first address and netmask of the interface of that name, else "0.0.0.0".
RequestResult getIFConf(Request& request);

/// "ssid", "rsnPairwise", "passphrase": runs the access-point settings script.
RequestResult setHostapd(Request& request, const kel::rpc::Client& parameters,
                         ScriptRunner& runner);

/// The WLAN mode, address settings and network names and keys from the configuration files.
RequestResult getWLANConf(Request& request);

}  // namespace NetworkCommands
