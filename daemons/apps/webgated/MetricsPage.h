#pragma once

#include <string>

class Fcgi;

/// The header line of a reply holding metricsText's output (a literal: it outlives the request).
inline constexpr char kMetricsHeader[] =
    "Content-type: text/plain; version=0.0.4; charset=utf-8\r\n\r\n";

/// The daemon's figures in the Prometheus text format (0.0.4): the build, requests, connections,
/// the robot link and battery, driving, programs, settings saves, and the process. Any thread.
std::string metricsText(const Fcgi& fcgi);
