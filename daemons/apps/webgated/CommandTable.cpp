#include "CommandTable.h"

#include "Fcgi.h"
#include "robot/ControlHandler.h"
#include "robot/DriveCommands.h"
#include "frame/Client.h"
#include "robot/ImageCommands.h"
#include "frame/SystemInfoCommands.h"
#include "robot/SensorCommands.h"
#include "programs/ProgramCommands.h"
#include "settings/SettingsCommands.h"
#include "network/NetworkCommands.h"
#include "process/ScriptRunner.h"
#include "MetricsPage.h"

#include <QThread>
#include <algorithm>
#include <cstdlib>
#include <cstring>

namespace {

// Test builds of the health checks hold the request thread on purpose: with WEBGATED_TEST_HOOKS=1
// the command "holdRequestThread" keeps it for "ms" milliseconds (at most a minute, less when the
// daemon stops meanwhile).
RequestResult holdRequestThread(Fcgi& fcgi, Request& request) {
    const qint64 ms = std::clamp<qint64>(json_integer_value(request.param("ms")), 0, 60000);
    for (qint64 waited = 0; waited < ms && !fcgi.isStopping(); waited += 10) QThread::msleep(10);
    return Ack;
}

}  // namespace

CommandTable webgatedCommands() {
    CommandTable table = commandRows();
    const char* hooks = std::getenv("WEBGATED_TEST_HOOKS");
    if (hooks && std::strcmp(hooks, "1") == 0) table.push_back({"holdRequestThread", holdRequestThread, false});
    return table;
}

CommandTable commandRows() {
    // Matched in this order; the flag marks the commands whose "Done:" line is quiet (polled). A
    // command that changes anything, hands out what it empties or carries secrets acts; stopping
    // is open. Commands that wait for the disk or a local socket run in the worker thread, so
    // that driving, the camera and the sensors never wait behind them.
    return CommandTable{
        {"getMenuItems",
         [](Fcgi&, Request& request) {
             return SystemInfoCommands::getMenuItems(request, *Client::singleton());
         },
         false, CommandAccess::Reading},
        {"getimage",
         [](Fcgi& fcgi, Request& request) {
             return getImage(request, *fcgi.imageHandler(), fcgi.noCamPng(), fcgi.isNoCamLoaded());
         },
         false, CommandAccess::Reading},
        {"changeRes",
         [](Fcgi&, Request& request) { return changeRes(request, *Client::singleton()); },
         false, CommandAccess::Acting},
        {"stop",
         [](Fcgi& fcgi, Request& request) {
             return DriveCommands::stop(request, *fcgi.controlHandler());
         },
         false, CommandAccess::Open},
        {"velDrive",
         [](Fcgi& fcgi, Request& request) {
             return DriveCommands::velDrive(request, *fcgi.controlHandler());
         },
         false, CommandAccess::Acting},
        {"positionDrive",
         [](Fcgi& fcgi, Request& request) {
             return DriveCommands::positionDrive(request, *fcgi.controlHandler());
         },
         false, CommandAccess::Acting},
        {"getDriveState",
         [](Fcgi& fcgi, Request& request) {
             return DriveCommands::getDriveState(request, *fcgi.controlHandler());
         },
         true, CommandAccess::Reading},
        {"HEARTBEAT",
         [](Fcgi& fcgi, Request&) {
             fcgi.controlHandler()->alive();
             return Ack;
         },
         true, CommandAccess::Acting},
        {"getProgramList",
         [](Fcgi& fcgi, Request& request) {
             return ProgramCommands::getProgramList(request, fcgi.programStore());
         },
         false, CommandAccess::Reading, CommandThread::Worker},
        {"deleteFile",
         [](Fcgi& fcgi, Request& request) {
             return ProgramCommands::deleteFile(request, fcgi.programStore());
         },
         false, CommandAccess::Acting, CommandThread::Worker},
        {"renameFile",
         [](Fcgi& fcgi, Request& request) {
             return ProgramCommands::renameFile(request, fcgi.programStore());
         },
         false, CommandAccess::Acting, CommandThread::Worker},
        {"runProgram",
         [](Fcgi& fcgi, Request& request) {
             return ProgramCommands::runProgram(request, fcgi.interpreterPath(),
                                                fcgi.currentProgram());
         },
         false, CommandAccess::Acting},
        {"killProcess",
         [](Fcgi& fcgi, Request& request) {
             return ProgramCommands::killProcess(request, fcgi.interpreterPath(),
                                                 fcgi.currentProgram());
         },
         false, CommandAccess::Acting},
        {"writeToStdin",
         [](Fcgi&, Request& request) { return ProgramCommands::writeToStdin(request); },
         false, CommandAccess::Acting},
        {"getProcessInfo",
         [](Fcgi& fcgi, Request& request) {
             return ProgramCommands::getProcessInfo(request, fcgi.interpreterPath(),
                                                    fcgi.currentProgram());
         },
         true, CommandAccess::Acting},
        {"SetEthConf",
         [](Fcgi& fcgi, Request& request) {
             return NetworkCommands::setEthConf(request, *ScriptRunner::singleton(),
                                                   *fcgi.networkChange());
         },
         false, CommandAccess::Acting, CommandThread::Worker},
        {"SetWlanConf",
         [](Fcgi& fcgi, Request& request) {
             return NetworkCommands::setWlanConf(request, *ScriptRunner::singleton(),
                                                   *fcgi.networkChange());
         },
         false, CommandAccess::Acting, CommandThread::Worker},
        {"GetIFConf", [](Fcgi&, Request& request) { return NetworkCommands::getIFConf(request); }, false, CommandAccess::Reading},
        {"SetHostapd",
         [](Fcgi& fcgi, Request& request) {
             return NetworkCommands::setHostapd(request, *ScriptRunner::singleton(),
                                                   *fcgi.networkChange());
         },
         false, CommandAccess::Acting, CommandThread::Worker},
        {"getWLANConf", [](Fcgi&, Request& request) { return NetworkCommands::getWLANConf(request); },
         false, CommandAccess::Acting, CommandThread::Worker},
        {"confirmNetwork",
         [](Fcgi& fcgi, Request& request) {
             return NetworkCommands::confirmNetwork(request, *fcgi.networkChange());
         },
         false, CommandAccess::Acting, CommandThread::Worker},
        {"getNetworkChange",
         [](Fcgi& fcgi, Request& request) {
             return NetworkCommands::getNetworkChange(request, *fcgi.networkChange());
         },
         true, CommandAccess::Reading},
        {"getDistance",
         [](Fcgi& fcgi, Request& request) {
             return SensorCommands::getDistance(request, *fcgi.sensorDataHandler());
         },
         true, CommandAccess::Reading},
        {"getBatteryInfo",
         [](Fcgi& fcgi, Request& request) {
             return SensorCommands::getBatteryInfo(request, *fcgi.sensorDataHandler());
         },
         true, CommandAccess::Reading},
        {"getIOBoardInfo",
         [](Fcgi& fcgi, Request& request) {
             return SensorCommands::getIOBoardInfo(request, *fcgi.sensorDataHandler(),
                                                   *Client::singleton());
         },
         false, CommandAccess::ReadingUnlessOutput},
        {"getSettingsCategoryXML",
         [](Fcgi& fcgi, Request& request) {
             return SettingsCommands::getSettingsCategoryXML(request, fcgi.configPageBuilder());
         },
         false, CommandAccess::Reading, CommandThread::Worker},
        {"getSettingsItemsXML",
         [](Fcgi& fcgi, Request& request) {
             return SettingsCommands::getSettingsItemsXML(request, fcgi.configPageBuilder());
         },
         false, CommandAccess::Reading, CommandThread::Worker},
        {"saveSettings",
         [](Fcgi& fcgi, Request& request) {
             return SettingsCommands::saveSettings(request, fcgi.configPageBuilder());
         },
         false, CommandAccess::Acting, CommandThread::Worker},
        {"restartComponent",
         [](Fcgi& fcgi, Request& request) {
             return SettingsCommands::restartComponent(request, fcgi.configPageBuilder(),
                                                       fcgi.componentRestarts());
         },
         false, CommandAccess::Acting, CommandThread::Worker},
        {"getVersion", [](Fcgi&, Request& request) { return SystemInfoCommands::getVersion(request); },
         false, CommandAccess::Reading, CommandThread::Worker},
        {"updateCheck",
         [](Fcgi& fcgi, Request& request) {
             return SystemInfoCommands::updateCheck(request, fcgi.packageListing());
         },
         false, CommandAccess::Acting},
        {"sendDebugMessage",
         [](Fcgi&, Request& request) { return SystemInfoCommands::sendDebugMessage(request); },
         false, CommandAccess::Acting, CommandThread::Worker},
        // The daemon's figures for a monitoring system, in the Prometheus text format.
        {"getMetrics",
         [](Fcgi& fcgi, Request& request) {
             const std::string text = metricsText(fcgi);
             request.setRawResponse(kMetricsHeader,
                                    QByteArray(text.data(), static_cast<int>(text.size())));
             return Ack;
         },
         false, CommandAccess::Reading},
    };
}
