#pragma once

#include "request/Request.h"

class ControlHandler;

/// The remote-driving commands of the page. Run in the request thread; they only post to the
/// control handler.
namespace DriveCommands {

/// Stops driving; always acknowledged, link or not.
RequestResult stop(Request& request, ControlHandler& control);

/// "vx", "vy", "omega": a velocity increment added to the current set-point. Refused while the
/// robot link is not up, and while another driver holds the drive unless "takeOver" is true.
RequestResult velDrive(Request& request, ControlHandler& control);

/// "x", "y", "omega": a pose relative to the robot's; "vel", "rotvel": top speeds (limited);
/// "mode": the movement kind, 0 to 3. Refused as velDrive is.
RequestResult positionDrive(Request& request, ControlHandler& control);

/// Keeps the drive going for two more seconds; refused while another driver holds the drive.
RequestResult heartbeat(Request& request, ControlHandler& control);

/// Reading: the robot link, the set-point going out, the watchdog, why driving last ended, who
/// holds the drive and, in position mode, what is left of the move.
RequestResult getDriveState(Request& request, const ControlHandler& control);

}  // namespace DriveCommands
