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

CommandTable webgatedCommands() {
    // Matched in this order; the flag marks the commands whose "Done:" line is quiet.
    return CommandTable{
        {"getMenuItems",
         [](Fcgi&, Request& request) {
             return SystemInfoCommands::getMenuItems(request, *Client::singleton());
         },
         false},
        {"getimage",
         [](Fcgi& fcgi, Request& request) {
             return getImage(request, *fcgi.imageHandler(), fcgi.noCamPng(), fcgi.isNoCamLoaded());
         },
         false},
        {"changeRes",
         [](Fcgi&, Request& request) { return changeRes(request, *Client::singleton()); },
         false},
        {"stop",
         [](Fcgi& fcgi, Request& request) {
             return DriveCommands::stop(request, *fcgi.controlHandler());
         },
         false},
        {"velDrive",
         [](Fcgi& fcgi, Request& request) {
             return DriveCommands::velDrive(request, *fcgi.controlHandler());
         },
         false},
        {"positionDrive",
         [](Fcgi& fcgi, Request& request) {
             return DriveCommands::positionDrive(request, *fcgi.controlHandler());
         },
         false},
        {"HEARTBEAT",
         [](Fcgi& fcgi, Request&) {
             fcgi.controlHandler()->alive();
             return Ack;
         },
         true},
        {"getProgramList",
         [](Fcgi& fcgi, Request& request) {
             return ProgramCommands::getProgramList(request, fcgi.programStore());
         },
         false},
        {"deleteFile",
         [](Fcgi& fcgi, Request& request) {
             return ProgramCommands::deleteFile(request, fcgi.programStore());
         },
         false},
        {"renameFile",
         [](Fcgi& fcgi, Request& request) {
             return ProgramCommands::renameFile(request, fcgi.programStore());
         },
         false},
        {"runProgram",
         [](Fcgi& fcgi, Request& request) {
             return ProgramCommands::runProgram(request, fcgi.interpreterPath(),
                                                fcgi.currentProgram());
         },
         false},
        {"killProcess",
         [](Fcgi& fcgi, Request& request) {
             return ProgramCommands::killProcess(request, fcgi.interpreterPath(),
                                                 fcgi.currentProgram());
         },
         false},
        {"writeToStdin",
         [](Fcgi&, Request& request) { return ProgramCommands::writeToStdin(request); },
         false},
        {"getProcessInfo",
         [](Fcgi& fcgi, Request& request) {
             return ProgramCommands::getProcessInfo(request, fcgi.interpreterPath(),
                                                    fcgi.currentProgram());
         },
         true},
        {"SetEthConf",
         [](Fcgi&, Request& request) {
             return NetworkCommands::setEthConf(request, *Client::singleton(), *ScriptRunner::singleton());
         },
         false},
        {"SetWlanConf",
         [](Fcgi&, Request& request) {
             return NetworkCommands::setWlanConf(request, *Client::singleton(), *ScriptRunner::singleton());
         },
         false},
        {"GetIFConf", [](Fcgi&, Request& request) { return NetworkCommands::getIFConf(request); }, false},
        {"SetHostapd",
         [](Fcgi&, Request& request) {
             return NetworkCommands::setHostapd(request, *Client::singleton(), *ScriptRunner::singleton());
         },
         false},
        {"getWLANConf", [](Fcgi&, Request& request) { return NetworkCommands::getWLANConf(request); },
         false},
        {"getDistance",
         [](Fcgi& fcgi, Request& request) {
             return SensorCommands::getDistance(request, *fcgi.sensorDataHandler());
         },
         true},
        {"getBatteryInfo",
         [](Fcgi& fcgi, Request& request) {
             return SensorCommands::getBatteryInfo(request, *fcgi.sensorDataHandler());
         },
         true},
        {"getIOBoardInfo",
         [](Fcgi& fcgi, Request& request) {
             return SensorCommands::getIOBoardInfo(request, *fcgi.sensorDataHandler(),
                                                   *Client::singleton());
         },
         false},
        {"getSettingsCategoryXML",
         [](Fcgi& fcgi, Request& request) {
             return SettingsCommands::getSettingsCategoryXML(request, fcgi.configPageBuilder());
         },
         false},
        {"getSettingsItemsXML",
         [](Fcgi& fcgi, Request& request) {
             return SettingsCommands::getSettingsItemsXML(request, fcgi.configPageBuilder());
         },
         false},
        {"saveSettings",
         [](Fcgi& fcgi, Request& request) {
             return SettingsCommands::saveSettings(request, fcgi.configPageBuilder());
         },
         false},
        {"restartComponent",
         [](Fcgi& fcgi, Request& request) {
             return SettingsCommands::restartComponent(request, fcgi.configPageBuilder(),
                                                       fcgi.componentRestarts());
         },
         false},
        {"getVersion", [](Fcgi&, Request& request) { return SystemInfoCommands::getVersion(request); },
         false},
        {"updateCheck",
         [](Fcgi&, Request& request) { return SystemInfoCommands::updateCheck(request); }, false},
        {"sendDebugMessage",
         [](Fcgi&, Request& request) { return SystemInfoCommands::sendDebugMessage(request); },
         false},
    };
}
