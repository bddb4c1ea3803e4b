#include "robot/SensorDataHandler.h"

#include <QMutexLocker>
#include <algorithm>
#include <climits>
#include <utility>

#include "kel/corvanta/daemons/Log.h"

template <typename T>
void SensorDataHandler::replaceUnderIoLock(QVector<T>* cached, QVector<T> values) {
    QMutexLocker locker(&m_ioMutex);
    cached->swap(values);
}

SensorDataHandler::SensorDataHandler(QObject* parent)
    : QObject(parent), m_distance(kDistanceSensorCount, 0.0f) {
    m_lastBump.start();
}

QVector<float> SensorDataHandler::getDistance() const {
    QMutexLocker locker(&m_distanceMutex);
    return m_distance;
}

int SensorDataHandler::timeSinceLastBump() const {
    qint64 elapsed = 0;
    {
        QMutexLocker locker(&m_bumperMutex);
        elapsed = m_lastBump.elapsed();
    }
    // Saturates instead of wrapping: after weeks without contact the time must not turn negative.
    return static_cast<int>(std::min<qint64>(elapsed, INT_MAX));
}

SensorDataHandler::BatteryState SensorDataHandler::batteryState() const {
    QMutexLocker locker(&m_batteryMutex);
    return m_battery;
}

SensorDataHandler::IoState SensorDataHandler::ioState() const {
    QMutexLocker locker(&m_ioMutex);
    return m_io;
}

SensorDataHandler::ChargerInfo SensorDataHandler::chargerInfo(int index) const {
    if (index < 0 || index >= kChargerCount) return ChargerInfo();
    QMutexLocker locker(&m_chargerMutex[index]);
    return m_charger[index];
}

SensorDataHandler::ChargerVersion SensorDataHandler::chargerVersion(int index) const {
    if (index < 0 || index >= kChargerCount) return ChargerVersion();
    QMutexLocker locker(&m_versionMutex);
    return m_version[index];
}

void SensorDataHandler::on_distance_sensors_changed(const QVector<float>& readings) {
    if (readings.size() != kDistanceSensorCount) return;
    QVector<float> values = readings;
    QMutexLocker locker(&m_distanceMutex);
    m_distance.swap(values);
}

void SensorDataHandler::on_bumper_changed(bool contact) {
    if (!contact) return;
    QMutexLocker locker(&m_bumperMutex);
    m_lastBump.restart();
}

void SensorDataHandler::on_battery_changed(float voltage, float current, bool extPower,
                                           int numChargers, const QString& batteryType,
                                           bool batteryLow, int shutdownCounter) {
    BatteryState state;
    state.voltage = voltage;
    state.systemCurrent = current;
    state.extPower = extPower;
    state.numChargers = numChargers;
    state.batteryType = batteryType;
    state.batteryLow = batteryLow;
    state.shutdownCounter = shutdownCounter;
    state.received = true;
    QMutexLocker locker(&m_batteryMutex);
    std::swap(m_battery, state);
}

void SensorDataHandler::storeChargerInfo(int index, ChargerInfo info) {
    QMutexLocker locker(&m_chargerMutex[index]);
    std::swap(m_charger[index], info);
}

void SensorDataHandler::storeChargerVersion(int index, const ChargerVersion& version) {
    QMutexLocker locker(&m_versionMutex);
    m_version[index] = version;
}

void SensorDataHandler::on_charger0_info_changed(unsigned int time, float batteryVoltage,
                                                 float chargingCurrent, float bat1Temp,
                                                 float bat2Temp, int stateNumber,
                                                 const QString& state) {
    storeChargerInfo(
        0, {time, batteryVoltage, chargingCurrent, bat1Temp, bat2Temp, stateNumber, state});
}

void SensorDataHandler::on_charger1_info_changed(unsigned int time, float batteryVoltage,
                                                 float chargingCurrent, float bat1Temp,
                                                 float bat2Temp, int stateNumber,
                                                 const QString& state) {
    storeChargerInfo(
        1, {time, batteryVoltage, chargingCurrent, bat1Temp, bat2Temp, stateNumber, state});
}

void SensorDataHandler::on_charger2_info_changed(unsigned int time, float batteryVoltage,
                                                 float chargingCurrent, float bat1Temp,
                                                 float bat2Temp, int stateNumber,
                                                 const QString& state) {
    storeChargerInfo(
        2, {time, batteryVoltage, chargingCurrent, bat1Temp, bat2Temp, stateNumber, state});
}

void SensorDataHandler::on_digitalinput_changed(const QVector<bool>& values) {
    replaceUnderIoLock(&m_io.digitalInput, values);
}

void SensorDataHandler::on_analoginput_changed(const QVector<float>& values) {
    replaceUnderIoLock(&m_io.analogInput, values);
}

void SensorDataHandler::on_digitaloutput_changed(const QVector<bool>& values) {
    replaceUnderIoLock(&m_io.digitalOutput, values);
    kel::corvanta::daemons::Log::singleton()->log(QStringLiteral("CALLY"), 0);
}

void SensorDataHandler::on_relay_changed(const QVector<bool>& values) {
    replaceUnderIoLock(&m_io.relay, values);
}

void SensorDataHandler::on_charger0_version_info_changed(int majorVer, int minorVer, int patchVer) {
    storeChargerVersion(0, {majorVer, minorVer, patchVer});
}

void SensorDataHandler::on_charger1_version_info_changed(int majorVer, int minorVer, int patchVer) {
    storeChargerVersion(1, {majorVer, minorVer, patchVer});
}

void SensorDataHandler::on_charger2_version_info_changed(int majorVer, int minorVer, int patchVer) {
    storeChargerVersion(2, {majorVer, minorVer, patchVer});
}
