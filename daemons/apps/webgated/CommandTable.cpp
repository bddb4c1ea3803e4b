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
RequestResult holdRequestThread(Fcgi& fcgi, Request& request) {
    const qint64 ms = std::clamp<qint64>(json_integer_value(request.param("ms")), 0, 60000);
    for (qint64 waited = 0; waited < ms && !fcgi.isStopping(); waited += 10) QThread::msleep(10);
    return Ack;
}

// The page's one poll of the robot's state: the replies of the commands it would otherwise send
// one by one, each under its command's name with its own "TYPE".
RequestResult getState(Fcgi& fcgi, Request& request) {
    const struct {
        const char* name;
        RequestResult (*handler)(Fcgi&, Request&);
    } parts[] = {
        {"getDriveState", [](Fcgi& f, Request& r) { return DriveCommands::getDriveState(r, *f.controlHandler()); }},
        {"getDistance", [](Fcgi& f, Request& r) { return SensorCommands::getDistance(r, *f.sensorDataHandler()); }},
        {"getBatteryInfo", [](Fcgi& f, Request& r) { return SensorCommands::getBatteryInfo(r, *f.sensorDataHandler()); }},
        // Only reads: an "output" in this query sets nothing.
        {"getIOBoardInfo",
         [](Fcgi& f, Request& r) {
             Request reading(nullptr, r.reply());
             return SensorCommands::getIOBoardInfo(reading, *f.sensorDataHandler(), *Client::singleton());
         }},
    };
    for (const auto& part : parts) {
        json_t* reply = json_object();
        const RequestResult result = request.replyInto(reply, [&](Request& r) { return part.handler(fcgi, r); });
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
         [](Fcgi&, Request& request) {
             return SystemInfoCommands::getMenuItems(request, *Client::singleton());
         }},
        {"getimage", CommandAccess::Reading, CommandThread::Request, CommandLog::Full,
         [](Fcgi& fcgi, Request& request) { return fcgi.imageStreams()->getImage(request); }},
        {"changeRes", CommandAccess::Acting, CommandThread::Request, CommandLog::Full,
         [](Fcgi&, Request& request) { return changeRes(request, *Client::singleton()); }},
        {"stop", CommandAccess::Open, CommandThread::Request, CommandLog::Full,
         [](Fcgi& fcgi, Request& request) {
             return DriveCommands::stop(request, *fcgi.controlHandler());
         }},
        {"velDrive", CommandAccess::Acting, CommandThread::Request, CommandLog::Full,
         [](Fcgi& fcgi, Request& request) {
             return DriveCommands::velDrive(request, *fcgi.controlHandler());
         }},
        {"positionDrive", CommandAccess::Acting, CommandThread::Request, CommandLog::Full,
         [](Fcgi& fcgi, Request& request) {
             return DriveCommands::positionDrive(request, *fcgi.controlHandler());
         }},
        {"getDriveState", CommandAccess::Reading, CommandThread::Request, CommandLog::Quiet,
         [](Fcgi& fcgi, Request& request) {
             return DriveCommands::getDriveState(request, *fcgi.controlHandler());
         }},
        {"getState", CommandAccess::Reading, CommandThread::Request, CommandLog::Quiet, getState},
        {"HEARTBEAT", CommandAccess::Acting, CommandThread::Request, CommandLog::Quiet,
         [](Fcgi& fcgi, Request&) {
             fcgi.controlHandler()->alive();
             return Ack;
         }},
        {"getProgramList", CommandAccess::Reading, CommandThread::Worker, CommandLog::Full,
         [](Fcgi& fcgi, Request& request) {
             return ProgramCommands::getProgramList(request, fcgi.programStore());
         }},
        {"deleteFile", CommandAccess::Acting, CommandThread::Worker, CommandLog::Full,
         [](Fcgi& fcgi, Request& request) {
             return ProgramCommands::deleteFile(request, fcgi.programStore());
         }},
        {"renameFile", CommandAccess::Acting, CommandThread::Worker, CommandLog::Full,
         [](Fcgi& fcgi, Request& request) {
             return ProgramCommands::renameFile(request, fcgi.programStore());
         }},
        {"runProgram", CommandAccess::Acting, CommandThread::Request, CommandLog::Full,
         [](Fcgi& fcgi, Request& request) {
             return ProgramCommands::runProgram(request, fcgi.interpreterPath(),
                                                fcgi.currentProgram());
         }},
        {"killProcess", CommandAccess::Acting, CommandThread::Request, CommandLog::Full,
         [](Fcgi& fcgi, Request& request) {
             return ProgramCommands::killProcess(request, fcgi.interpreterPath(),
                                                 fcgi.currentProgram());
         }},
        {"writeToStdin", CommandAccess::Acting, CommandThread::Request, CommandLog::Full,
         [](Fcgi&, Request& request) { return ProgramCommands::writeToStdin(request); }},
        {"getProcessInfo", CommandAccess::Acting, CommandThread::Request, CommandLog::Quiet,
         [](Fcgi& fcgi, Request& request) {
             return ProgramCommands::getProcessInfo(request, fcgi.interpreterPath(),
                                                    fcgi.currentProgram());
         }},
        {"SetEthConf", CommandAccess::Acting, CommandThread::Worker, CommandLog::Full,
         [](Fcgi& fcgi, Request& request) {
             return NetworkCommands::setEthConf(request, *ScriptRunner::singleton(),
                                                *fcgi.networkChange());
         }},
        {"SetWlanConf", CommandAccess::Acting, CommandThread::Worker, CommandLog::Full,
         [](Fcgi& fcgi, Request& request) {
             return NetworkCommands::setWlanConf(request, *ScriptRunner::singleton(),
                                                 *fcgi.networkChange());
         }},
        {"GetIFConf", CommandAccess::Reading, CommandThread::Request, CommandLog::Full,
         [](Fcgi&, Request& request) { return NetworkCommands::getIFConf(request); }},
        {"SetHostapd", CommandAccess::Acting, CommandThread::Worker, CommandLog::Full,
         [](Fcgi& fcgi, Request& request) {
             return NetworkCommands::setHostapd(request, *ScriptRunner::singleton(),
                                                *fcgi.networkChange());
         }},
        {"getWLANConf", CommandAccess::Acting, CommandThread::Worker, CommandLog::Full,
         [](Fcgi&, Request& request) { return NetworkCommands::getWLANConf(request); }},
        {"confirmNetwork", CommandAccess::Acting, CommandThread::Worker, CommandLog::Full,
         [](Fcgi& fcgi, Request& request) {
             return NetworkCommands::confirmNetwork(request, *fcgi.networkChange());
         }},
        {"getNetworkChange", CommandAccess::Reading, CommandThread::Request, CommandLog::Quiet,
         [](Fcgi& fcgi, Request& request) {
             return NetworkCommands::getNetworkChange(request, *fcgi.networkChange());
         }},
        {"getDistance", CommandAccess::Reading, CommandThread::Request, CommandLog::Quiet,
         [](Fcgi& fcgi, Request& request) {
             return SensorCommands::getDistance(request, *fcgi.sensorDataHandler());
         }},
        {"getBatteryInfo", CommandAccess::Reading, CommandThread::Request, CommandLog::Quiet,
         [](Fcgi& fcgi, Request& request) {
             return SensorCommands::getBatteryInfo(request, *fcgi.sensorDataHandler());
         }},
        {"getIOBoardInfo", CommandAccess::ReadingUnlessOutput, CommandThread::Request,
         CommandLog::Full,
         [](Fcgi& fcgi, Request& request) {
             return SensorCommands::getIOBoardInfo(request, *fcgi.sensorDataHandler(),
                                                   *Client::singleton());
         }},
        {"getSettingsCategoryXML", CommandAccess::Reading, CommandThread::Worker, CommandLog::Full,
         [](Fcgi& fcgi, Request& request) {
             return SettingsCommands::getSettingsCategoryXML(request, fcgi.configPageBuilder());
         }},
        {"getSettingsItemsXML", CommandAccess::Reading, CommandThread::Worker, CommandLog::Full,
         [](Fcgi& fcgi, Request& request) {
             return SettingsCommands::getSettingsItemsXML(request, fcgi.configPageBuilder());
         }},
        {"saveSettings", CommandAccess::Acting, CommandThread::Worker, CommandLog::Full,
         [](Fcgi& fcgi, Request& request) {
             return SettingsCommands::saveSettings(request, fcgi.configPageBuilder());
         }},
        {"restartComponent", CommandAccess::Acting, CommandThread::Worker, CommandLog::Full,
         [](Fcgi& fcgi, Request& request) {
             return SettingsCommands::restartComponent(request, fcgi.configPageBuilder(),
                                                       fcgi.componentRestarts());
         }},
        {"getVersion", CommandAccess::Reading, CommandThread::Worker, CommandLog::Full,
         [](Fcgi&, Request& request) { return SystemInfoCommands::getVersion(request); }},
        {"updateCheck", CommandAccess::Acting, CommandThread::Request, CommandLog::Full,
         [](Fcgi& fcgi, Request& request) {
             return SystemInfoCommands::updateCheck(request, fcgi.packageListing());
         }},
        {"sendDebugMessage", CommandAccess::Acting, CommandThread::Worker, CommandLog::Full,
         [](Fcgi&, Request& request) { return SystemInfoCommands::sendDebugMessage(request); }},
        // The daemon's figures for a monitoring system, in the Prometheus text format.
        {"getMetrics", CommandAccess::Reading, CommandThread::Request, CommandLog::Full,
         [](Fcgi& fcgi, Request& request) {
             const std::string text = metricsText(fcgi);
             request.setRawResponse(kMetricsHeader,
                                    QByteArray(text.data(), static_cast<int>(text.size())));
             return Ack;
         }},
    };
}
