#include "robot/SensorCommands.h"

#include <cfloat>
#include <cmath>

#include "kel/corvanta/rpc/Client.h"
#include "robot/SensorDataHandler.h"

namespace SensorCommands {

namespace {

constexpr int kBumpTimeCap = 100000;
constexpr size_t kDigitalOutputCount = 8;

// JSON has no NaN or infinity; 0 keeps the key (and an array element's position) in the reply.
json_t* real(double value) { return json_real(std::isfinite(value) ? value : 0.0); }

json_t* boolArray(const QVector<bool>& values) {
    json_t* array = json_array();
    for (bool value : values) json_array_append_new(array, json_integer(value ? 1 : 0));
    return array;
}

json_t* realArray(const QVector<float>& values) {
    json_t* array = json_array();
    for (float value : values) json_array_append_new(array, real(value));
    return array;
}

// Spelled out: the battery reply is polled by every open page.
enum ChargerKey { Time, Vol, Current, Temp1, Temp2, State, Major, Minor, Patch, KeyCount };
const char* const kChargerKeys[SensorDataHandler::kChargerCount][KeyCount] = {
    {"c0_time", "c0_vol", "c0_current", "c0_temp1", "c0_temp2", "c0_state", "c0_major", "c0_minor",
     "c0_patch"},
    {"c1_time", "c1_vol", "c1_current", "c1_temp1", "c1_temp2", "c1_state", "c1_major", "c1_minor",
     "c1_patch"},
    {"c2_time", "c2_vol", "c2_current", "c2_temp1", "c2_temp2", "c2_state", "c2_major", "c2_minor",
     "c2_patch"},
};

}  // namespace

float distanceForPage(float reading) {
    const double value = 40.0 * std::exp(-1.5 * (static_cast<double>(reading) - 0.3));
    // Very negative readings would overflow a float; the largest float keeps the value finite.
    return value > FLT_MAX ? FLT_MAX : static_cast<float>(value);
}

int bumpTimeForPage(int msSinceBump) {
    return msSinceBump > kBumpTimeCap ? kBumpTimeCap : msSinceBump;
}

RequestResult getDistance(Request& request, const SensorDataHandler& sensors) {
    // Every open page polls the readings far more often than they change: the array and its text
    // are made once per change and shared by the replies (each holds a reference to the array).
    struct Distances {
        QVector<float> readings;
        JsonPtr dist;
        std::string text;
    };
    thread_local Distances last;
    const QVector<float> readings = sensors.getDistance();
    if (!last.dist || readings != last.readings) {
        JsonPtr dist(json_array());
        for (float reading : readings) json_array_append_new(dist.get(), real(distanceForPage(reading)));
        last.text.clear();
        jsonAppendCompact(last.text, dist.get());
        last.dist = std::move(dist);
        last.readings = readings;
    }
    request.set("dist", json_incref(last.dist.get()));
    request.setRendered(last.dist.get(), &last.text);
    request.set("bumpTime", json_integer(bumpTimeForPage(sensors.timeSinceLastBump())));
    request.setQuiet(true);
    return Data;
}

RequestResult getBatteryInfo(Request& request, const SensorDataHandler& sensors) {
    const SensorDataHandler::BatteryState battery = sensors.batteryState();
    request.set("current", real(battery.systemCurrent));
    request.set("voltage", real(battery.voltage));
    request.setText("batteryType", battery.batteryType);
    request.set("ext_power", real(battery.extPower ? 1.0 : 0.0));
    request.set("isBatteryLow", real(battery.batteryLow ? 1.0 : 0.0));
    request.set("numChargers", json_integer(battery.numChargers));
    request.set("shutdownCounter", json_integer(battery.shutdownCounter));

    for (int i = 0; i < SensorDataHandler::kChargerCount; ++i) {
        const SensorDataHandler::ChargerInfo charger = sensors.chargerInfo(i);
        const char* const* keys = kChargerKeys[i];
        request.set(keys[Time], real(static_cast<double>(charger.time)));
        request.set(keys[Vol], real(charger.batteryVoltage));
        request.set(keys[Current], real(charger.chargingCurrent));
        request.set(keys[Temp1], real(charger.bat1Temp));
        request.set(keys[Temp2], real(charger.bat2Temp));
        request.setText(keys[State], charger.state);
    }
    for (int i = 0; i < SensorDataHandler::kChargerCount; ++i) {
        const SensorDataHandler::ChargerVersion version = sensors.chargerVersion(i);
        const char* const* keys = kChargerKeys[i];
        request.set(keys[Major], json_integer(version.majorVer));
        request.set(keys[Minor], json_integer(version.minorVer));
        request.set(keys[Patch], json_integer(version.patchVer));
    }
    request.setQuiet(true);
    return Data;
}

RequestResult getIOBoardInfo(Request& request, const SensorDataHandler& sensors,
                             kel::corvanta::rpc::Client& robot) {
    const json_t* output = request.param("output");
    if (output && json_is_array(output)) {
        QVector<bool> digital;
        QVector<bool> relays;
        // The array position picks output or relay; a skipped element shifts later ones down a
        // slot.
        for (size_t i = 0; i < json_array_size(output); ++i) {
            const json_t* element = json_array_get(output, i);
            if (!json_is_integer(element)) continue;
            const bool on = json_integer_value(element) == 1;
            (i < kDigitalOutputCount ? digital : relays).append(on);
        }
        robot.set_set_digital_output_array(digital);
        robot.set_set_relay_array(relays);
    }

    const SensorDataHandler::IoState io = sensors.ioState();
    request.set("digital", boolArray(io.digitalInput));
    request.set("analog", realArray(io.analogInput));
    request.set("digitalout", boolArray(io.digitalOutput));
    request.set("relay", boolArray(io.relay));
    return Data;
}

}  // namespace SensorCommands
