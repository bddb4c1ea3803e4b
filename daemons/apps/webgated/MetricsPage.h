#pragma once

#include <string>

class Fcgi;

/// The media type of metricsText's output, for the reply's Content-type.
inline constexpr char kMetricsContentType[] = "text/plain; version=0.0.4; charset=utf-8";

/// The daemon's figures in the Prometheus text format (0.0.4): the build, requests, connections,
/// the robot link and battery, driving, programs, settings saves, and the process. Any thread.
std::string metricsText(const Fcgi& fcgi);
