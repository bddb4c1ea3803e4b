#include "MetricsPage.h"

#include <sys/resource.h>
#include <unistd.h>

#include <QDir>
#include <QFile>
#include <cstring>

#include "BuildVersion.h"
#include "Fcgi.h"
#include "service/Client.h"
#include "kel/corvanta/daemons/Log.h"
#include "network/NetworkChange.h"
#include "process/ScriptRunner.h"
#include "robot/ControlHandler.h"
#include "robot/ImageStreams.h"
#include "robot/SensorDataHandler.h"

namespace {

void family(std::string& out, const char* name, const char* type, const char* help) {
    out += "# HELP ";
    out += name;
    out += ' ';
    out += help;
    out += "\n# TYPE ";
    out += name;
    out += ' ';
    out += type;
    out += '\n';
}

template <typename Number>
void sample(std::string& out, const char* name, Number value, const char* labels = nullptr) {
    out += name;
    if (labels) {
        out += '{';
        out += labels;
        out += '}';
    }
    out += ' ';
    RequestMetrics::appendNumber(out, value);
    out += '\n';
}

void gauge(std::string& out, const char* name, const char* type, const char* help, double value) {
    family(out, name, type, help);
    sample(out, name, value);
}

QByteArray readProc(const char* path) {
    QFile file(QString::fromLatin1(path));
    return file.open(QIODevice::ReadOnly) ? file.read(64 * 1024) : QByteArray();
}

// When the process started, in seconds since the epoch: its start in clock ticks after boot,
// plus the boot time.
double startTimeSeconds() {
    const QByteArray stat = readProc("/proc/self/stat");
    // The fields after the command name, which may hold blanks and parentheses itself.
    const QList<QByteArray> fields = stat.mid(stat.lastIndexOf(')') + 2).split(' ');
    const QByteArray procStat = readProc("/proc/stat");
    const int at = procStat.indexOf("\nbtime ");
    if (fields.size() < 20 || at < 0) return 0;
    const double boot = procStat.mid(at + 7, procStat.indexOf('\n', at + 7) - at - 7).toDouble();
    return boot + fields.at(19).toDouble() / static_cast<double>(sysconf(_SC_CLK_TCK));  // field 22
}

}  // namespace

std::string metricsText(const Fcgi& fcgi) {
    std::string out;
    out.reserve(8192);
    family(out, "webgated_build_info", "gauge",
           "The daemon's version and the Qt it runs with; always 1.");
    out += "webgated_build_info{version=\"";
    RequestMetrics::appendLabelValue(out, WEBGATED_VERSION);
    out += "\",qt=\"";
    RequestMetrics::appendLabelValue(out, qVersion());
    out += "\"} 1\n";

    const RequestMetrics& requests = fcgi.requestMetrics();
    requests.appendText(out);

    gauge(out, "webgated_open_connections", "gauge",
          "Connections from the web server the request loop holds open.", fcgi.openConnections());
    gauge(out, "webgated_parked_connections", "gauge",
          "Connections whose reply is still being prepared.", fcgi.parkedConnections());
    gauge(out, "webgated_camera_streams", "gauge", "Camera streams open.", fcgi.context().camera.streamCount());
    gauge(out, "webgated_stream_parts_replaced_total", "counter",
          "Stream parts a newer one replaced before the web server took them (a slow viewer).",
          static_cast<double>(fcgi.replacedStreamParts()));
    gauge(out, "webgated_robot_link_up", "gauge", "1 while the robot's RPC server is connected.",
          fcgi.isRobotConnected() ? 1 : 0);
    gauge(out, "webgated_robot_link_stale", "gauge",
          "1 while the robot is connected but has sent nothing for ~/Robot/staleMs.",
          Client::singleton()->link() == Client::Link::Stale ? 1 : 0);
    gauge(out, "webgated_robot_reconnects_total", "counter",
          "Times the robot connection came back after a loss.",
          static_cast<double>(fcgi.robotReconnects()));
    // No sample until the robot has reported its battery, nor while it is gone: a last reading
    // would pass for the present one.
    const SensorDataHandler::BatteryState battery = fcgi.context().sensors.batteryState();
    const bool batteryKnown = battery.received && fcgi.isRobotConnected();
    family(out, "webgated_battery_voltage_volts", "gauge", "Battery voltage the robot reports.");
    if (batteryKnown) sample(out, "webgated_battery_voltage_volts", battery.voltage);
    family(out, "webgated_battery_low", "gauge", "1 while the robot reports its battery low.");
    if (batteryKnown) sample(out, "webgated_battery_low", battery.batteryLow ? 1.0 : 0.0);
    const ControlHandler* control = &fcgi.context().control;
    gauge(out, "webgated_watchdog_stops_total", "counter",
          "Drives stopped because no drive command or heartbeat came.",
          static_cast<double>(control->watchdogStops()));
    gauge(out, "webgated_watchdog_late_tick_stops_total", "counter",
          "Drives stopped because the drive timer came more than 0.5 s late (a starved or frozen "
          "daemon).",
          static_cast<double>(control->lateTickStops()));
    gauge(out, "webgated_bumper_stops_total", "counter", "Drives stopped by the bumper.",
          static_cast<double>(control->bumperStops()));
    const qint64 heartbeat = control->heartbeatAgeMs();
    gauge(out, "webgated_heartbeat_age_seconds", "gauge",
          "Seconds since the last drive command or heartbeat (-1 before the first).",
          heartbeat < 0 ? -1.0 : static_cast<double>(heartbeat) / 1000.0);
    gauge(out, "webgated_log_lines_dropped_total", "counter",
          "Log lines dropped because the log could not keep up.",
          static_cast<double>(kel::corvanta::daemons::Log::singleton()->droppedLines()));
    gauge(out, "webgated_programs_running", "gauge",
          "Programs and scripts the daemon started that still run.",
          ScriptRunner::singleton()->runningCount());

    gauge(out, "webgated_network_changes_total", "counter",
          "Network changes begun that undo themselves unless kept.",
          static_cast<double>(fcgi.context().network.changesBegun()));
    gauge(out, "webgated_network_rollbacks_total", "counter", "Network changes undone.",
          static_cast<double>(fcgi.context().network.rollbacks()));
    family(out, "webgated_settings_saves_total", "counter", "Settings saves, by outcome.");
    const CommandTable& table = fcgi.commandTable();
    for (size_t row = 0; row < table.size(); ++row) {
        if (std::strcmp(table[row].name, "saveSettings") != 0) continue;
        for (int o = 0; o < static_cast<int>(RequestOutcome::Count); ++o) {
            const quint64 n = requests.requests(row, static_cast<RequestOutcome>(o));
            const std::string labels = std::string("result=\"") +
                                       RequestMetrics::label(static_cast<RequestOutcome>(o)) + "\"";
            sample(out, "webgated_settings_saves_total", static_cast<double>(n), labels.c_str());
        }
        break;
    }

    // The process figures every exporter has.
    const QList<QByteArray> statm = readProc("/proc/self/statm").split(' ');
    const double page = static_cast<double>(sysconf(_SC_PAGESIZE));
    rusage usage = {};
    getrusage(RUSAGE_SELF, &usage);
    rlimit files = {};
    getrlimit(RLIMIT_NOFILE, &files);
    gauge(out, "process_cpu_seconds_total", "counter",
          "Total user and system CPU time spent in seconds.",
          static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
              static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6);
    gauge(out, "process_resident_memory_bytes", "gauge", "Resident memory size in bytes.",
          statm.size() > 1 ? statm.at(1).toDouble() * page : 0);
    gauge(out, "process_virtual_memory_bytes", "gauge", "Virtual memory size in bytes.",
          statm.size() > 0 ? statm.at(0).toDouble() * page : 0);
    gauge(out, "process_start_time_seconds", "gauge",
          "Start time of the process since unix epoch in seconds.", startTimeSeconds());
    gauge(out, "process_open_fds", "gauge", "Number of open file descriptors.",
          QDir(QStringLiteral("/proc/self/fd"))
              .entryList(QDir::Files | QDir::System | QDir::NoDotAndDotDot)
              .size());
    gauge(out, "process_max_fds", "gauge", "Maximum number of open file descriptors.",
          files.rlim_cur == RLIM_INFINITY ? -1.0 : static_cast<double>(files.rlim_cur));
    return out;
}
