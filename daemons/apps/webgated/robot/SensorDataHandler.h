#pragma once

#include <QElapsedTimer>
#include <QMutex>
#include <QObject>
#include <QString>
#include <QVector>

/// The latest sensor, battery, charger and I/O-board values the robot published. The slots run
/// in the main thread; the getters may be called from any thread and return copies.
class SensorDataHandler : public QObject {
    Q_OBJECT
public:
    /// The battery values of one update.
    struct BatteryState {
        float voltage = 0;
        float systemCurrent = 0;
        bool extPower = false;
        int numChargers = 0;
        QString batteryType = QStringLiteral("UNKNOWN BATTERY");
        bool batteryLow = false;
        int shutdownCounter = 0;
        bool received = false;  // the initial values above are no reading of the robot's
    };

    /// The values of one charger update.
    struct ChargerInfo {
        quint32 time = 0;
        float batteryVoltage = 0;
        float chargingCurrent = 0;
        float bat1Temp = 0;
        float bat2Temp = 0;
        int stateNumber = -1;
        QString state = QStringLiteral("UNKNOWN");
    };

    struct ChargerVersion {
        int majorVer = 0;
        int minorVer = 0;
        int patchVer = 0;
    };

    /// The I/O board as last reported: inputs, and outputs and relays as the robot has them.
    struct IoState {
        QVector<bool> digitalInput;
        QVector<float> analogInput;
        QVector<bool> digitalOutput;
        QVector<bool> relay;
    };

    static constexpr int kChargerCount = 3;
    static constexpr int kDistanceSensorCount = 9;

    explicit SensorDataHandler(QObject* parent = nullptr);

    QVector<float> getDistance() const;
    /// Milliseconds since the last bumper contact, or since construction before the first one.
    int timeSinceLastBump() const;

    /// Every battery value taken under one lock, so they come from the same update.
    BatteryState batteryState() const;
    float getBatteryBoltage() const { return batteryState().voltage; }
    float getSystemCurrent() const { return batteryState().systemCurrent; }
    bool isExtPower() const { return batteryState().extPower; }
    int getNumChargers() const { return batteryState().numChargers; }
    QString getBatteryType() const { return batteryState().batteryType; }
    bool isBatteryLow() const { return batteryState().batteryLow; }
    int getBatteryLowShutdownCounter() const { return batteryState().shutdownCounter; }

    IoState ioState() const;
    QVector<bool> getDigitalInput() const { return ioState().digitalInput; }
    QVector<float> getAnalogInput() const { return ioState().analogInput; }
    QVector<bool> getDigitalOutput() const { return ioState().digitalOutput; }
    QVector<bool> getRelay() const { return ioState().relay; }

    /// Charger `index` (0 to 2) as one snapshot; an index out of range gives the initial values.
    ChargerInfo chargerInfo(int index) const;
    ChargerVersion chargerVersion(int index) const;

    quint32 getCharger0Time() const { return chargerInfo(0).time; }
    quint32 getCharger1Time() const { return chargerInfo(1).time; }
    quint32 getCharger2Time() const { return chargerInfo(2).time; }
    float getCharger0BatteryVoltage() const { return chargerInfo(0).batteryVoltage; }
    float getCharger1BatteryVoltage() const { return chargerInfo(1).batteryVoltage; }
    float getCharger2BatteryVoltage() const { return chargerInfo(2).batteryVoltage; }
    float getCharger0ChargingCurrent() const { return chargerInfo(0).chargingCurrent; }
    float getCharger1ChargingCurrent() const { return chargerInfo(1).chargingCurrent; }
    float getCharger2ChargingCurrent() const { return chargerInfo(2).chargingCurrent; }
    float getCharger0Bat1temp() const { return chargerInfo(0).bat1Temp; }
    float getCharger1Bat1temp() const { return chargerInfo(1).bat1Temp; }
    float getCharger2Bat1temp() const { return chargerInfo(2).bat1Temp; }
    float getCharger0Bat2temp() const { return chargerInfo(0).bat2Temp; }
    float getCharger1Bat2temp() const { return chargerInfo(1).bat2Temp; }
    float getCharger2Bat2temp() const { return chargerInfo(2).bat2Temp; }
    int getCharger0StateNumber() const { return chargerInfo(0).stateNumber; }
    int getCharger1StateNumber() const { return chargerInfo(1).stateNumber; }
    int getCharger2StateNumber() const { return chargerInfo(2).stateNumber; }
    QString getCharger0State() const { return chargerInfo(0).state; }
    QString getCharger1State() const { return chargerInfo(1).state; }
    QString getCharger2State() const { return chargerInfo(2).state; }
    int getCharger0MajorVer() const { return chargerVersion(0).majorVer; }
    int getCharger1MajorVer() const { return chargerVersion(1).majorVer; }
    int getCharger2MajorVer() const { return chargerVersion(2).majorVer; }
    int getCharger0MinorVer() const { return chargerVersion(0).minorVer; }
    int getCharger1MinorVer() const { return chargerVersion(1).minorVer; }
    int getCharger2MinorVer() const { return chargerVersion(2).minorVer; }
    int getCharger0PatchVer() const { return chargerVersion(0).patchVer; }
    int getCharger1PatchVer() const { return chargerVersion(1).patchVer; }
    int getCharger2PatchVer() const { return chargerVersion(2).patchVer; }

public Q_SLOTS:
    void on_distance_sensors_changed(const QVector<float>& readings);
    void on_bumper_changed(bool contact);
    void on_battery_changed(float voltage, float current, bool extPower, int numChargers,
                            const QString& batteryType, bool batteryLow, int shutdownCounter);
    void on_charger0_info_changed(unsigned int time, float batteryVoltage, float chargingCurrent,
                                  float bat1Temp, float bat2Temp, int stateNumber,
                                  const QString& state);
    void on_charger1_info_changed(unsigned int time, float batteryVoltage, float chargingCurrent,
                                  float bat1Temp, float bat2Temp, int stateNumber,
                                  const QString& state);
    void on_charger2_info_changed(unsigned int time, float batteryVoltage, float chargingCurrent,
                                  float bat1Temp, float bat2Temp, int stateNumber,
                                  const QString& state);
    void on_digitalinput_changed(const QVector<bool>& values);
    void on_analoginput_changed(const QVector<float>& values);
    void on_digitaloutput_changed(const QVector<bool>& values);
    void on_relay_changed(const QVector<bool>& values);
    void on_charger0_version_info_changed(int majorVer, int minorVer, int patchVer);
    void on_charger1_version_info_changed(int majorVer, int minorVer, int patchVer);
    void on_charger2_version_info_changed(int majorVer, int minorVer, int patchVer);

private:
    // Values are swapped in under the lock, so the old ones are released after it.
    void storeChargerInfo(int index, ChargerInfo info);
    void storeChargerVersion(int index, const ChargerVersion& version);
    template <typename T>
    void replaceUnderIoLock(QVector<T>* cached, QVector<T> values);

    mutable QMutex m_distanceMutex;
    QVector<float> m_distance;

    mutable QMutex m_bumperMutex;
    QElapsedTimer m_lastBump;

    mutable QMutex m_batteryMutex;
    BatteryState m_battery;

    mutable QMutex m_chargerMutex[kChargerCount];
    ChargerInfo m_charger[kChargerCount];

    mutable QMutex m_versionMutex;
    ChargerVersion m_version[kChargerCount];

    mutable QMutex m_ioMutex;
    IoState m_io;
};
