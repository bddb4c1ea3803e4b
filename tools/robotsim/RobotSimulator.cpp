#include "RobotSimulator.h"

#include <QDateTime>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTimer>
#include <algorithm>
#include <cmath>

#include "FrameRenderer.h"
#include "kel/rpc/Server.h"

namespace {

constexpr double kPi = 3.14159265358979323846;
constexpr double kFullVoltage = 24.0;
constexpr double kVoltageDropPerSecond = 0.0005;  // 1.8 V an hour
constexpr double kEmptyVoltage = 21.0;
constexpr double kLowVoltage = 22.0;
constexpr int kVersions[3][3] = {{1, 4, 2}, {0, 0, 0}, {0, 0, 0}};

// A publication whose single argument is a vector (braces alone would copy, not nest).
QJsonArray vectorArgs(const QJsonArray& vector) {
    QJsonArray args;
    args.append(vector);
    return args;
}

template <typename T>
QJsonArray toJson(const QVector<T>& values) {
    QJsonArray array;
    for (const T& value : values) array.append(static_cast<double>(value));
    return array;
}

QJsonArray toJson(const QVector<bool>& values) {
    QJsonArray array;
    for (bool value : values) array.append(value);
    return array;
}

// Applies a command's leading values to the outputs and keeps the rest; false if malformed.
bool applyBools(const QJsonArray& args, QVector<bool>* outputs) {
    if (args.size() != 1 || !args.at(0).isArray()) return false;
    const QJsonArray values = args.at(0).toArray();
    for (const QJsonValue& value : values) {
        if (!value.isBool()) return false;
    }
    for (int i = 0; i < std::min<int>(values.size(), outputs->size()); ++i) {
        (*outputs)[i] = values.at(i).toBool();
    }
    return true;
}

bool isPositiveInteger(const QJsonValue& value) {
    const double number = value.toDouble(-1);
    return value.isDouble() && number >= 1 && number <= 1e6 && std::floor(number) == number;
}

// "chargerN_version" -> N, else -1.
int versionTopicCharger(const QString& topic) {
    for (int n = 0; n < 3; ++n) {
        if (topic == QStringLiteral("charger%1_version").arg(n)) return n;
    }
    return -1;
}

}  // namespace

RobotSimulator::RobotSimulator(QObject* parent)
    : QObject(parent),
      m_server(new kel::rpc::Server(this)),
      m_simulationTimer(new QTimer(this)),
      m_odometryTimer(new QTimer(this)),
      m_sensorTimer(new QTimer(this)),
      m_inputTimer(new QTimer(this)),
      m_batteryTimer(new QTimer(this)),
      m_cameraTimer(new QTimer(this)),
      m_driveTimeout(new QTimer(this)) {
    m_clock.start();
    m_simulationTimer->setTimerType(Qt::PreciseTimer);
    m_simulationTimer->setInterval(20);
    m_odometryTimer->setInterval(50);
    m_sensorTimer->setInterval(100);
    m_inputTimer->setInterval(250);
    m_batteryTimer->setInterval(1000);
    setFps(10);
    m_driveTimeout->setSingleShot(true);
    setDriveTimeout(500);
    connect(m_driveTimeout, &QTimer::timeout, this, [this] {
        if (!m_model.isCommandedToMove()) return;
        m_model.setVelocity(0, 0, 0);
        emit driveTimedOut(m_driveTimeout->interval());
    });
    connect(m_simulationTimer, &QTimer::timeout, this, [this] {
        // The real time passed, so a late tick does not slow the robot down.
        const double dt = std::min(0.1, m_stepClock.restart() / 1000.0);
        simulate(dt);
    });
    connect(m_odometryTimer, &QTimer::timeout, this, &RobotSimulator::publishOdometry);
    connect(m_sensorTimer, &QTimer::timeout, this, &RobotSimulator::publishDistances);
    connect(m_inputTimer, &QTimer::timeout, this, &RobotSimulator::publishInputs);
    connect(m_batteryTimer, &QTimer::timeout, this, &RobotSimulator::publishBattery);
    connect(m_cameraTimer, &QTimer::timeout, this, &RobotSimulator::publishCameraFrame);

    connect(m_server, &kel::rpc::Server::commandReceived, this, &RobotSimulator::onCommand);
    connect(m_server, &kel::rpc::Server::topicSwitched, this, &RobotSimulator::onTopicSwitched);
    connect(m_server, &kel::rpc::Server::messageReceived, this, &RobotSimulator::record);
    // A client's own publication goes to every client that listens to the topic.
    connect(m_server, &kel::rpc::Server::publishReceived, m_server, &kel::rpc::Server::publish);
}

RobotSimulator::~RobotSimulator() = default;

bool RobotSimulator::listen(const QHostAddress& address, quint16 port) {
    return m_server->listen(address, port);
}

quint16 RobotSimulator::serverPort() const { return m_server->serverPort(); }

void RobotSimulator::setFps(int fps) { m_cameraTimer->setInterval(1000 / std::clamp(fps, 1, 100)); }

bool RobotSimulator::setRecordFile(const QString& fileName) {
    m_recordFile.close();
    m_recordFile.setFileName(fileName);
    return m_recordFile.open(QIODevice::WriteOnly | QIODevice::Append);
}

void RobotSimulator::setDriveTimeout(int ms) {
    m_driveTimeout->stop();
    m_driveTimeout->setInterval(std::max(0, ms));
}

void RobotSimulator::start() {
    m_stepClock.start();
    m_simulationTimer->start();
    m_odometryTimer->start();
    m_sensorTimer->start();
    m_inputTimer->start();
    m_batteryTimer->start();
    m_cameraTimer->start();
}

void RobotSimulator::simulate(double dt) {
    m_model.step(dt);
    const bool contact = m_model.inContact();
    if (contact != m_contact) {
        m_contact = contact;
        m_server->publish(QStringLiteral("bumper"), QJsonArray{contact});
    }
}

void RobotSimulator::publishOdometry() {
    m_server->publish(QStringLiteral("odometry"),
                      QJsonArray{m_model.x(), m_model.y(), m_model.phi(),
                                 static_cast<double>(static_cast<float>(m_model.actualVx())),
                                 static_cast<double>(static_cast<float>(m_model.actualVy())),
                                 static_cast<double>(static_cast<float>(m_model.actualOmega())),
                                 static_cast<qint64>(++m_odometrySequence)});
}

void RobotSimulator::publishDistances() {
    m_server->publish(QStringLiteral("distance_sensors"),
                      vectorArgs(toJson(m_model.distanceReadings())));
}

void RobotSimulator::publishBattery() {
    const double t = uptime();
    const double voltage = std::max(kEmptyVoltage, kFullVoltage - kVoltageDropPerSecond * t);
    const bool moving =
        m_model.actualVx() != 0 || m_model.actualVy() != 0 || m_model.actualOmega() != 0;
    const double current = moving ? 2.5 : 1.2;
    m_server->publish(
        QStringLiteral("battery"),
        QJsonArray{voltage, current, false, 1, QStringLiteral("LIION"), voltage < kLowVoltage, 0});
    m_server->publish(
        QStringLiteral("charger0_info"),
        QJsonArray{static_cast<qint64>(t), voltage, 0.0, 25.0 + 0.5 * std::sin(t / 60), 25.5, 0,
                   QStringLiteral("Not charging")});
}

void RobotSimulator::publishInputs() {
    const double t = uptime();
    QVector<bool> digital(kDigitalIoCount, false);
    digital[0] = static_cast<qint64>(t / 2) % 2 == 1;
    digital[1] = static_cast<qint64>(t / 5) % 2 == 1;
    QVector<float> analog(kAnalogInputCount, 0.0f);
    analog[0] = static_cast<float>(5 + 5 * std::sin(2 * kPi * t / 20));
    analog[1] = static_cast<float>(std::fmod(t / 10, 10));
    analog[2] = 3.3f;
    m_server->publish(QStringLiteral("digital_input"), vectorArgs(toJson(digital)));
    m_server->publish(QStringLiteral("analog_input"), vectorArgs(toJson(analog)));
}

void RobotSimulator::publishCameraFrame() {
    if (!m_server->anySubscribed(QStringLiteral("image0"))) return;
    CameraFrame frame =
        FrameRenderer::render(++m_frameNumber, m_model.x(), m_model.y(), m_model.phi(),
                              m_cameraWidth, m_cameraHeight, m_cameraFormat);
    if (frame.data.isEmpty()) return;
    if (m_stampTime && frame.format == QLatin1String("mjpg")) {
        // A COM segment right after the start of image: any decoder skips it.
        const QByteArray text = "robotsim-ms=" + QByteArray::number(QDateTime::currentMSecsSinceEpoch());
        const int length = int(text.size()) + 2;
        frame.data.insert(2, QByteArray("\xff\xfe", 2) + char(length >> 8) + char(length & 0xff) + text);
    }
    m_server->publish(
        QStringLiteral("image0"),
        QJsonArray{QString::fromLatin1(frame.data.toBase64()), static_cast<qint64>(frame.width),
                   static_cast<qint64>(frame.height), static_cast<qint64>(frame.step),
                   frame.format});
}

void RobotSimulator::onCommand(const QString& topic, const QJsonArray& args) {
    if (topic == QLatin1String("omnidrive")) {
        if (args.size() != 3) return;
        for (const QJsonValue& value : args) {
            if (!value.isDouble()) return;
        }
        m_model.setVelocity(args.at(0).toDouble(), args.at(1).toDouble(), args.at(2).toDouble());
        if (m_driveTimeout->interval() > 0) m_driveTimeout->start();
    } else if (topic == QLatin1String("set_camera0_settings")) {
        if (args.size() != 3 || !isPositiveInteger(args.at(0)) || !isPositiveInteger(args.at(1)) ||
            !args.at(2).isString()) {
            return;
        }
        const auto width = static_cast<unsigned int>(args.at(0).toDouble());
        const auto height = static_cast<unsigned int>(args.at(1).toDouble());
        const QString format = args.at(2).toString();
        if (!FrameRenderer::isSupported(width, height, format)) return;
        m_cameraWidth = width;
        m_cameraHeight = height;
        m_cameraFormat = format;
    } else if (topic == QLatin1String("set_digital_output_array")) {
        if (applyBools(args, &m_digitalOutputs)) {
            m_server->publish(topic, vectorArgs(toJson(m_digitalOutputs)));
        }
    } else if (topic == QLatin1String("set_relay_array")) {
        if (applyBools(args, &m_relays)) m_server->publish(topic, vectorArgs(toJson(m_relays)));
    }
}

void RobotSimulator::onTopicSwitched(const QString& topic, bool on) {
    if (!on) return;
    const int charger = versionTopicCharger(topic);
    if (charger >= 0) {
        publishVersion(charger);
    } else if (topic == QLatin1String("set_digital_output_array")) {
        m_server->publish(topic, vectorArgs(toJson(m_digitalOutputs)));
    } else if (topic == QLatin1String("set_relay_array")) {
        m_server->publish(topic, vectorArgs(toJson(m_relays)));
    } else if (topic == QLatin1String("bumper")) {
        m_server->publish(topic, QJsonArray{m_contact});
    }
}

void RobotSimulator::publishVersion(int charger) {
    m_server->publish(
        QStringLiteral("charger%1_version").arg(charger),
        QJsonArray{kVersions[charger][0], kVersions[charger][1], kVersions[charger][2]});
}

void RobotSimulator::record(const QJsonObject& message) {
    if (!m_recordFile.isOpen()) return;
    m_recordFile.write(QJsonDocument(message).toJson(QJsonDocument::Compact) + '\n');
    m_recordFile.flush();  // readers follow the file while we run
}

double RobotSimulator::uptime() const { return m_clock.elapsed() / 1000.0; }
