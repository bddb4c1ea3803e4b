#pragma once

#include <QByteArray>

#include "request/Request.h"

namespace kel::rpc {
class Client;
}
class PackageListing;

/// The commands about the daemon and the robot computer as a whole.
namespace SystemInfoCommands {

/// Where the local debug service listens.
constexpr quint16 kDebugServicePort = 2000;

/// The page's two menu switches, read from the parameter store at every call.
RequestResult getMenuItems(Request& request, const kel::rpc::Client& parameters);

/// The first line of "/version.txt".
RequestResult getVersion(Request& request);

/// Lists the installed packages with dpkg, keeps them in "/var/www/updlist.vnt" and replies them,
/// once `listing` has them: the request is answered later.
RequestResult updateCheck(Request& request, PackageListing& listing);

/// Keeps a listing in the list file, then its records in their place (each step atomic).
bool storePackageList(const QByteArray& listing, const json_t* records);

/// Hands the "message" text to the debug service on 127.0.0.1:`port`; never waits much longer
/// than a second, and a missing service is not an error.
RequestResult sendDebugMessage(Request& request, quint16 port = kDebugServicePort);

/// The package records of a `dpkg -l` listing: the lines after the "+++-" separator line.
JsonPtr parsePackageListing(const QByteArray& listing);

}  // namespace SystemInfoCommands
