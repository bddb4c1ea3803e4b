#include "CommandTable.h"

#include <QThread>
#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "Fcgi.h"
#include "MetricsPage.h"
#include "network/NetworkCommands.h"
#include "process/ScriptRunner.h"
#include "programs/ProgramCommands.h"
#include "robot/ControlHandler.h"
#include "robot/DriveCommands.h"
#include "robot/ImageCommands.h"
#include "robot/ImageStreams.h"
#include "robot/SensorCommands.h"
#include "service/Client.h"
#include "settings/SettingsCommands.h"
#include "system/SystemInfoCommands.h"

namespace {

// Test builds of the health checks hold the request thread on purpose: with WEBGATED_TEST_HOOKS=1
// the command "holdRequestThread" keeps it for "ms" milliseconds (at most a minute, less when the
// daemon stops meanwhile).
RequestResult holdRequestThread(CommandContext& c, Request& request) {
    const qint64 ms = std::clamp<qint64>(json_integer_value(request.param("ms")), 0, 60000);
    for (qint64 waited = 0; waited < ms && !c.daemon.isStopping(); waited += 10) QThread::msleep(10);
    return Ack;
}

// The page's one poll of the robot's state: the replies of the commands it would otherwise send
// one by one, each under its command's name with its own "TYPE".
RequestResult getState(CommandContext& context, Request& request) {
    const struct {
        const char* name;
        RequestResult (*handler)(CommandContext&, Request&);
    } parts[] = {
        {"getDriveState", [](CommandContext& c, Request& r) { return DriveCommands::getDriveState(r, c.control); }},
        {"getDistance", [](CommandContext& c, Request& r) { return SensorCommands::getDistance(r, c.sensors); }},
        {"getBatteryInfo", [](CommandContext& c, Request& r) { return SensorCommands::getBatteryInfo(r, c.sensors); }},
        // Only reads: an "output" in this query sets nothing.
        {"getIOBoardInfo",
         [](CommandContext& c, Request& r) {
             Request reading(nullptr, r.reply());
             return SensorCommands::getIOBoardInfo(reading, c.sensors, *Client::singleton());
         }},
    };
    for (const auto& part : parts) {
        json_t* reply = json_object();
        const RequestResult result = request.replyInto(reply, [&](Request& r) { return part.handler(context, r); });
        json_object_set_new_nocheck(reply, "TYPE", json_string(result == Ack ? "ACK" : result == Data ? "DATA" : "ERR"));
        request.set(part.name, reply);
    }
    return Data;
}

}  // namespace

CommandTable webgatedCommands() {
    CommandTable table = commandRows();
    const char* hooks = std::getenv("WEBGATED_TEST_HOOKS");
    if (hooks && std::strcmp(hooks, "1") == 0)
        table.push_back({"holdRequestThread", CommandAccess::Acting, CommandThread::Request,
                         CommandLog::Full, holdRequestThread});
    return table;
}

CommandTable commandRows() {
    // Matched in this order. Each row says whether the command reads or acts, the thread its
    // handler runs in and its "Done:" line. A command that changes anything, hands out what it
    // empties or carries secrets acts; stopping is open. Commands that wait for the disk or a
    // local socket run in the worker thread, so that driving, the camera and the sensors never
    // wait behind them. The page polls the quiet ones.
    return CommandTable{
        {"getMenuItems", CommandAccess::Reading, CommandThread::Request, CommandLog::Full,
         [](CommandContext&, Request& request) {
             return SystemInfoCommands::getMenuItems(request, *Client::singleton());
         }},
        {"getimage", CommandAccess::Reading, CommandThread::Request, CommandLog::Full,
         [](CommandContext& c, Request& request) { return c.camera.getImage(request); }},
        {"changeRes", CommandAccess::Acting, CommandThread::Request, CommandLog::Full,
         [](CommandContext&, Request& request) { return changeRes(request, *Client::singleton()); }},
        {"stop", CommandAccess::Open, CommandThread::Request, CommandLog::Full,
         [](CommandContext& c, Request& request) {
             return DriveCommands::stop(request, c.control);
         }},
        {"velDrive", CommandAccess::Acting, CommandThread::Request, CommandLog::Full,
         [](CommandContext& c, Request& request) {
             return DriveCommands::velDrive(request, c.control);
         }},
        {"positionDrive", CommandAccess::Acting, CommandThread::Request, CommandLog::Full,
         [](CommandContext& c, Request& request) {
             return DriveCommands::positionDrive(request, c.control);
         }},
        {"getDriveState", CommandAccess::Reading, CommandThread::Request, CommandLog::Quiet,
         [](CommandContext& c, Request& request) {
             return DriveCommands::getDriveState(request, c.control);
         }},
        {"getState", CommandAccess::Reading, CommandThread::Request, CommandLog::Quiet, getState},
        {"HEARTBEAT", CommandAccess::Acting, CommandThread::Request, CommandLog::Quiet,
         [](CommandContext& c, Request& request) {
             return DriveCommands::heartbeat(request, c.control);
         }},
        {"getProgramList", CommandAccess::Reading, CommandThread::Worker, CommandLog::Full,
         [](CommandContext& c, Request& request) {
             return ProgramCommands::getProgramList(request, c.programs);
         }},
        {"deleteFile", CommandAccess::Acting, CommandThread::Worker, CommandLog::Full,
         [](CommandContext& c, Request& request) {
             return ProgramCommands::deleteFile(request, c.programs);
         }},
        {"renameFile", CommandAccess::Acting, CommandThread::Worker, CommandLog::Full,
         [](CommandContext& c, Request& request) {
             return ProgramCommands::renameFile(request, c.programs);
         }},
        {"runProgram", CommandAccess::Acting, CommandThread::Request, CommandLog::Full,
         [](CommandContext& c, Request& request) {
             return ProgramCommands::runProgram(request, c.interpreterPath,
                                                c.currentProgram);
         }},
        {"killProcess", CommandAccess::Acting, CommandThread::Request, CommandLog::Full,
         [](CommandContext& c, Request& request) {
             return ProgramCommands::killProcess(request, c.interpreterPath,
                                                 c.currentProgram);
         }},
        {"writeToStdin", CommandAccess::Acting, CommandThread::Request, CommandLog::Full,
         [](CommandContext&, Request& request) { return ProgramCommands::writeToStdin(request); }},
        {"getProcessInfo", CommandAccess::Acting, CommandThread::Request, CommandLog::Quiet,
         [](CommandContext& c, Request& request) {
             return ProgramCommands::getProcessInfo(request, c.interpreterPath,
                                                    c.currentProgram);
         }},
        {"SetEthConf", CommandAccess::Acting, CommandThread::Worker, CommandLog::Full,
         [](CommandContext& c, Request& request) {
             return NetworkCommands::setEthConf(request, *ScriptRunner::singleton(),
                                                c.network);
         }},
        {"SetWlanConf", CommandAccess::Acting, CommandThread::Worker, CommandLog::Full,
         [](CommandContext& c, Request& request) {
             return NetworkCommands::setWlanConf(request, *ScriptRunner::singleton(),
                                                 c.network);
         }},
        {"GetIFConf", CommandAccess::Reading, CommandThread::Request, CommandLog::Full,
         [](CommandContext&, Request& request) { return NetworkCommands::getIFConf(request); }},
        {"SetHostapd", CommandAccess::Acting, CommandThread::Worker, CommandLog::Full,
         [](CommandContext& c, Request& request) {
             return NetworkCommands::setHostapd(request, *ScriptRunner::singleton(),
                                                c.network);
         }},
        {"getWLANConf", CommandAccess::Acting, CommandThread::Worker, CommandLog::Full,
         [](CommandContext&, Request& request) { return NetworkCommands::getWLANConf(request); }},
        {"confirmNetwork", CommandAccess::Acting, CommandThread::Worker, CommandLog::Full,
         [](CommandContext& c, Request& request) {
             return NetworkCommands::confirmNetwork(request, c.network);
         }},
        {"getNetworkChange", CommandAccess::Reading, CommandThread::Request, CommandLog::Quiet,
         [](CommandContext& c, Request& request) {
             return NetworkCommands::getNetworkChange(request, c.network);
         }},
        {"getDistance", CommandAccess::Reading, CommandThread::Request, CommandLog::Quiet,
         [](CommandContext& c, Request& request) {
             return SensorCommands::getDistance(request, c.sensors);
         }},
        {"getBatteryInfo", CommandAccess::Reading, CommandThread::Request, CommandLog::Quiet,
         [](CommandContext& c, Request& request) {
             return SensorCommands::getBatteryInfo(request, c.sensors);
         }},
        {"getIOBoardInfo", CommandAccess::ReadingUnlessOutput, CommandThread::Request,
         CommandLog::Full,
         [](CommandContext& c, Request& request) {
             return SensorCommands::getIOBoardInfo(request, c.sensors,
                                                   *Client::singleton());
         }},
        {"getSettingsCategoryXML", CommandAccess::Reading, CommandThread::Worker, CommandLog::Full,
         [](CommandContext& c, Request& request) {
             return SettingsCommands::getSettingsCategoryXML(request, c.settings);
         }},
        {"getSettingsItemsXML", CommandAccess::Reading, CommandThread::Worker, CommandLog::Full,
         [](CommandContext& c, Request& request) {
             return SettingsCommands::getSettingsItemsXML(request, c.settings);
         }},
        {"saveSettings", CommandAccess::Acting, CommandThread::Worker, CommandLog::Full,
         [](CommandContext& c, Request& request) {
             return SettingsCommands::saveSettings(request, c.settings);
         }},
        {"restartComponent", CommandAccess::Acting, CommandThread::Worker, CommandLog::Full,
         [](CommandContext& c, Request& request) {
             return SettingsCommands::restartComponent(request, c.settings,
                                                       c.restarts);
         }},
        {"getVersion", CommandAccess::Reading, CommandThread::Worker, CommandLog::Full,
         [](CommandContext&, Request& request) { return SystemInfoCommands::getVersion(request); }},
        {"updateCheck", CommandAccess::Acting, CommandThread::Request, CommandLog::Full,
         [](CommandContext& c, Request& request) {
             return SystemInfoCommands::updateCheck(request, c.packages);
         }},
        {"sendDebugMessage", CommandAccess::Acting, CommandThread::Worker, CommandLog::Full,
         [](CommandContext&, Request& request) { return SystemInfoCommands::sendDebugMessage(request); }},
        // The daemon's figures for a monitoring system, in the Prometheus text format.
        {"getMetrics", CommandAccess::Reading, CommandThread::Request, CommandLog::Full,
         [](CommandContext& c, Request& request) {
             const std::string text = metricsText(c.daemon);
             request.setRawResponse(kMetricsHeader,
                                    QByteArray(text.data(), static_cast<int>(text.size())));
             return Ack;
         }},
    };
}
