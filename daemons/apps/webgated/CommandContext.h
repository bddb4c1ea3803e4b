#pragma once

#include <QByteArray>
#include <QString>

class ComponentRestarts;
class ConfigPageBuilder;
class ControlHandler;
class Fcgi;
class ImageStreams;
class NetworkChange;
class PackageListing;
class ProgramStore;
class SensorDataHandler;

/// What the commands share: the parts of the daemon a handler may reach, owned by Fcgi and
/// handed to every handler. A row of the command table passes on only the parts its command needs.
struct CommandContext {
    ImageStreams& camera;        // the camera: pictures, streams and next frames
    SensorDataHandler& sensors;  // sensors, battery, I/O
    ControlHandler& control;     // driving
    const QByteArray& noCamPng;  // the picture without a camera (empty when it could not be read)
    const QString& interpreterPath;
    QString& currentProgram;  // the program started last (request thread only)
    const ProgramStore& programs;
    ConfigPageBuilder& settings;  // the settings page (worker thread only once the threads run)
    ComponentRestarts& restarts;
    NetworkChange& network;
    PackageListing& packages;  // updateCheck's package tool
    const Fcgi& daemon;        // health figures for the metrics page, the stop for test hooks
};
