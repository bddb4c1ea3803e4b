#pragma once

#include "request/Request.h"

class SensorDataHandler;
namespace kel::corvanta::rpc {
class Client;
}

/// The status commands of the sensor, battery and I/O-board cache. Run in the request thread.
namespace SensorCommands {

/// "dist": the nine readings converted for the page; "bumpTime": ms since the last contact.
RequestResult getDistance(Request& request, const SensorDataHandler& sensors);

/// Battery, system current and the three chargers' values and versions.
RequestResult getBatteryInfo(Request& request, const SensorDataHandler& sensors);

/// Sends the outputs and relays of an "output" array to `robot`, then replies the cached I/O.
RequestResult getIOBoardInfo(Request& request, const SensorDataHandler& sensors,
                             kel::corvanta::rpc::Client& robot);

/// The page's value for a raw distance reading, rounded to float precision.
float distanceForPage(float reading);

/// The page's "bumpTime": milliseconds since the last contact, capped at 100000.
int bumpTimeForPage(int msSinceBump);

}  // namespace SensorCommands
