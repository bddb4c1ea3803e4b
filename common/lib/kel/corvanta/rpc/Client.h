#pragma once

#include <QByteArray>
#include <QString>
#include <QVector>

#include "kel/rpc/Client.h"

namespace kel {
namespace corvanta {
namespace rpc {

/// The robot's RPC client: one switch per topic, a signal per consumed topic, and the commands.
/// Switches and commands may be called from any thread; signals are emitted on the owner thread.
/// A publication whose arguments do not have the expected count and types is ignored.
class Client : public kel::rpc::Client {
    Q_OBJECT
public:
    explicit Client(QObject* parent = nullptr);

    // Topic switches, remembered and renewed after every reconnection.
    void set_kel_corvanta_rpc_log_enabled(bool on) { setTopicEnabled(QStringLiteral("log"), on); }
    void set_kel_corvanta_rpc_set_log_level_enabled(bool on) {
        setTopicEnabled(QStringLiteral("set_log_level"), on);
    }
    void set_kel_corvanta_rpc_omnidrive_enabled(bool on) {
        setTopicEnabled(QStringLiteral("omnidrive"), on);
    }
    void set_kel_corvanta_rpc_odometry_enabled(bool on) {
        setTopicEnabled(QStringLiteral("odometry"), on);
    }
    void set_kel_corvanta_rpc_distance_sensors_enabled(bool on) {
        setTopicEnabled(QStringLiteral("distance_sensors"), on);
    }
    void set_kel_corvanta_rpc_bumper_enabled(bool on) {
        setTopicEnabled(QStringLiteral("bumper"), on);
    }
    void set_kel_corvanta_rpc_battery_enabled(bool on) {
        setTopicEnabled(QStringLiteral("battery"), on);
    }
    void set_kel_corvanta_rpc_map_enabled(bool on) { setTopicEnabled(QStringLiteral("map"), on); }
    void set_kel_corvanta_rpc_poseOnMap_enabled(bool on) {
        setTopicEnabled(QStringLiteral("poseOnMap"), on);
    }
    void set_kel_corvanta_rpc_initialPose_enabled(bool on) {
        setTopicEnabled(QStringLiteral("initialPose"), on);
    }
    void set_kel_corvanta_rpc_navGoal_enabled(bool on) {
        setTopicEnabled(QStringLiteral("navGoal"), on);
    }
    void set_kel_corvanta_rpc_charger0_info_enabled(bool on) {
        setTopicEnabled(QStringLiteral("charger0_info"), on);
    }
    void set_kel_corvanta_rpc_charger1_info_enabled(bool on) {
        setTopicEnabled(QStringLiteral("charger1_info"), on);
    }
    void set_kel_corvanta_rpc_charger2_info_enabled(bool on) {
        setTopicEnabled(QStringLiteral("charger2_info"), on);
    }
    void set_kel_corvanta_rpc_charger0_version_enabled(bool on) {
        setTopicEnabled(QStringLiteral("charger0_version"), on);
    }
    void set_kel_corvanta_rpc_charger1_version_enabled(bool on) {
        setTopicEnabled(QStringLiteral("charger1_version"), on);
    }
    void set_kel_corvanta_rpc_charger2_version_enabled(bool on) {
        setTopicEnabled(QStringLiteral("charger2_version"), on);
    }
    void set_kel_corvanta_rpc_scan0_enabled(bool on) {
        setTopicEnabled(QStringLiteral("scan0"), on);
    }
    void set_kel_corvanta_rpc_fleetcom_response_enabled(bool on) {
        setTopicEnabled(QStringLiteral("fleetcom_response"), on);
    }
    void set_kel_corvanta_rpc_mclayout_enabled(bool on) {
        setTopicEnabled(QStringLiteral("mclayout"), on);
    }
    void set_kel_corvanta_rpc_mcstatus_enabled(bool on) {
        setTopicEnabled(QStringLiteral("mcstatus"), on);
    }
    void set_kel_corvanta_rpc_digital_input_enabled(bool on) {
        setTopicEnabled(QStringLiteral("digital_input"), on);
    }
    void set_kel_corvanta_rpc_analog_input_enabled(bool on) {
        setTopicEnabled(QStringLiteral("analog_input"), on);
    }
    void set_kel_corvanta_rpc_set_digital_output_enabled(bool on) {
        setTopicEnabled(QStringLiteral("set_digital_output"), on);
    }
    void set_kel_corvanta_rpc_set_digital_output_array_enabled(bool on) {
        setTopicEnabled(QStringLiteral("set_digital_output_array"), on);
    }
    void set_kel_corvanta_rpc_set_relay_enabled(bool on) {
        setTopicEnabled(QStringLiteral("set_relay"), on);
    }
    void set_kel_corvanta_rpc_set_relay_array_enabled(bool on) {
        setTopicEnabled(QStringLiteral("set_relay_array"), on);
    }
    void set_kel_corvanta_rpc_image0_enabled(bool on) {
        setTopicEnabled(QStringLiteral("image0"), on);
    }

    void set_omnidrive(float vx, float vy, float omega);
    void set_set_camera0_settings(unsigned int width, unsigned int height, const QString& format);
    void set_set_digital_output_array(const QVector<bool>& values);
    void set_set_relay_array(const QVector<bool>& values);

Q_SIGNALS:
    void odometry_changed(double x, double y, double phi, float vx, float vy, float omega,
                          unsigned int sequence);
    void distance_sensors_changed(const QVector<float>& readings);
    void bumper_changed(bool contact);
    void battery_changed(float voltage, float current, bool extPower, int numChargers,
                         const QString& batteryType, bool batteryLow, int shutdownCounter);
    void charger0_info_changed(unsigned int time, float batteryVoltage, float chargingCurrent,
                               float bat1Temp, float bat2Temp, int stateNumber,
                               const QString& state);
    void charger1_info_changed(unsigned int time, float batteryVoltage, float chargingCurrent,
                               float bat1Temp, float bat2Temp, int stateNumber,
                               const QString& state);
    void charger2_info_changed(unsigned int time, float batteryVoltage, float chargingCurrent,
                               float bat1Temp, float bat2Temp, int stateNumber,
                               const QString& state);
    void charger0_version_changed(int major, int minor, int patch);
    void charger1_version_changed(int major, int minor, int patch);
    void charger2_version_changed(int major, int minor, int patch);
    void digital_input_changed(const QVector<bool>& values);
    void analog_input_changed(const QVector<float>& values);
    void set_digital_output_array_changed(const QVector<bool>& values);
    void set_relay_array_changed(const QVector<bool>& values);
    /// `data` is the decoded frame.
    void image0_changed(const QByteArray& data, unsigned int width, unsigned int height,
                        unsigned int step, const QString& format);
    void logLevelChanged(int level);

protected:
    void handlePublish(const QString& topic, const QJsonArray& args) override;
};

}  // namespace rpc
}  // namespace corvanta
}  // namespace kel
