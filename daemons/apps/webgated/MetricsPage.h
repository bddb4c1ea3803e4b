#pragma once

#include <string>

class Fcgi;

/// The daemon's figures in the Prometheus text format (0.0.4): requests, connections, the robot
/// link, driving, programs, settings saves, and the process. Any thread.
std::string metricsText(const Fcgi& fcgi);
