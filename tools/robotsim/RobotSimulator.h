#pragma once

#include <QElapsedTimer>
#include <QFile>
#include <QHostAddress>
#include <QJsonArray>
#include <QObject>
#include <QVector>

#include "RobotModel.h"

class QTimer;

namespace kel {
namespace rpc {
class Server;
}
}  // namespace kel

/// The simulated robot: plays the robot's RPC server with drive and odometry, distance sensors,
/// bumper, battery and charger, the I/O board and a camera. Timers drive it once started; the
/// publish functions are public so tests can call them directly.
class RobotSimulator : public QObject {
    Q_OBJECT
public:
    static constexpr int kDigitalIoCount = 8;
    static constexpr int kAnalogInputCount = 8;
    static constexpr int kRelayCount = 2;

    explicit RobotSimulator(QObject* parent = nullptr);
    ~RobotSimulator() override;

    bool listen(const QHostAddress& address, quint16 port);
    quint16 serverPort() const;
    /// Camera frames per second while a client has image0 on (1 to 100).
    void setFps(int fps);
    /// Each JPEG frame carries the time it was made, in a comment segment.
    void setStampTime(bool on) { m_stampTime = on; }
    /// Appends every message received to `fileName`, one JSON line each.
    bool setRecordFile(const QString& fileName);
    /// Like a real base's motor controller: a robot that gets no set-point for `ms` stops on its
    /// own (0: never). 500 ms unless set.
    void setDriveTimeout(int ms);
    /// Starts the simulation and publication timers.
    void start();

    RobotModel& model() { return m_model; }
    kel::rpc::Server& server() { return *m_server; }
    QVector<bool> digitalOutputs() const { return m_digitalOutputs; }
    QVector<bool> relays() const { return m_relays; }
    unsigned int cameraWidth() const { return m_cameraWidth; }
    unsigned int cameraHeight() const { return m_cameraHeight; }
    QString cameraFormat() const { return m_cameraFormat; }

    /// Advances the robot by `dt` seconds and publishes a bumper change.
    void simulate(double dt);
    void publishOdometry();
    void publishDistances();
    void publishBattery();
    void publishInputs();
    void publishCameraFrame();

Q_SIGNALS:
    /// The drive timeout stopped a moving robot.
    void driveTimedOut(int ms);

private:
    void onCommand(const QString& topic, const QJsonArray& args);
    void onTopicSwitched(const QString& topic, bool on);
    void record(const QJsonObject& message);
    void publishVersion(int charger);
    double uptime() const;

    kel::rpc::Server* m_server;
    RobotModel m_model;
    QElapsedTimer m_clock;
    QElapsedTimer m_stepClock;
    QTimer* m_simulationTimer;
    QTimer* m_odometryTimer;
    QTimer* m_sensorTimer;
    QTimer* m_inputTimer;
    QTimer* m_batteryTimer;
    QTimer* m_cameraTimer;
    QTimer* m_driveTimeout;
    QFile m_recordFile;
    bool m_contact = false;
    unsigned int m_odometrySequence = 0;
    quint64 m_frameNumber = 0;
    bool m_stampTime = false;
    unsigned int m_cameraWidth = 320;
    unsigned int m_cameraHeight = 240;
    QString m_cameraFormat = QStringLiteral("mjpg");
    QVector<bool> m_digitalOutputs = QVector<bool>(kDigitalIoCount, false);
    QVector<bool> m_relays = QVector<bool>(kRelayCount, false);
};
