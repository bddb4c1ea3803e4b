// The sensor cache and its three status commands, checked on the replies' JSON.
#include <gtest/gtest.h>

#include <QStringList>
#include <cfloat>
#include <climits>
#include <cmath>
#include <functional>

#include "DaemonEnvironment.h"
#include "Wait.h"
#include "frame/Client.h"
#include "robot/SensorCommands.h"
#include "robot/SensorDataHandler.h"

using testsupport::DaemonEnvironment;

namespace {

struct Reply {
    RequestResult result;
    bool quiet;
    JsonPtr json;
};

// Runs one command function the way the request loop does: a parsed query, an empty reply.
Reply run(const QByteArray& query, const std::function<RequestResult(Request&)>& command) {
    JsonPtr parsed(json_loads(query.constData(), 0, nullptr));
    JsonPtr reply(json_object());
    Request request(parsed.get(), reply.get());
    const RequestResult result = command(request);
    return {result, request.quiet(), std::move(reply)};
}

Reply battery(const SensorDataHandler& sensors) {
    return run("{}", [&](Request& r) { return SensorCommands::getBatteryInfo(r, sensors); });
}

Reply distance(const SensorDataHandler& sensors) {
    return run("{}", [&](Request& r) { return SensorCommands::getDistance(r, sensors); });
}

QStringList keys(const json_t* object) {
    QStringList result;
    for (void* it = json_object_iter(const_cast<json_t*>(object)); it;
         it = json_object_iter_next(const_cast<json_t*>(object), it)) {
        result << QString::fromUtf8(json_object_iter_key(it));
    }
    return result;
}

double realAt(const json_t* reply, const char* key) {
    const json_t* value = json_object_get(reply, key);
    EXPECT_TRUE(json_is_real(value)) << key << " is not a real";
    return json_real_value(value);
}

json_int_t integerAt(const json_t* reply, const char* key) {
    const json_t* value = json_object_get(reply, key);
    EXPECT_TRUE(json_is_integer(value)) << key << " is not an integer";
    return json_integer_value(value);
}

QByteArray textAt(const json_t* reply, const char* key) {
    const json_t* value = json_object_get(reply, key);
    EXPECT_TRUE(json_is_string(value)) << key << " is not a string";
    return QByteArray(json_string_value(value), static_cast<int>(json_string_length(value)));
}

QVector<double> realsAt(const json_t* reply, const char* key) {
    QVector<double> result;
    const json_t* array = json_object_get(reply, key);
    EXPECT_TRUE(json_is_array(array)) << key << " is not an array";
    for (size_t i = 0; i < json_array_size(array); ++i) {
        EXPECT_TRUE(json_is_real(json_array_get(array, i))) << key << "[" << i << "]";
        result << json_real_value(json_array_get(array, i));
    }
    return result;
}

TEST(SensorBatteryTest, RepliesInitialValuesInTheirFormsAndOrder) {
    DaemonEnvironment::instance();
    SensorDataHandler sensors;
    const Reply reply = battery(sensors);
    EXPECT_EQ(reply.result, Data);
    EXPECT_TRUE(reply.quiet);
    const json_t* json = reply.json.get();

    QStringList expected = {"current",      "voltage",     "batteryType",    "ext_power",
                            "isBatteryLow", "numChargers", "shutdownCounter"};
    for (const char* c : {"c0_", "c1_", "c2_"}) {
        for (const char* name : {"time", "vol", "current", "temp1", "temp2", "state"}) {
            expected << QLatin1String(c) + QLatin1String(name);
        }
    }
    for (const char* c : {"c0_", "c1_", "c2_"}) {
        for (const char* name : {"major", "minor", "patch"}) {
            expected << QLatin1String(c) + QLatin1String(name);
        }
    }
    EXPECT_EQ(keys(json), expected);

    EXPECT_EQ(textAt(json, "batteryType"), "UNKNOWN BATTERY");
    for (const char* key : {"c0_state", "c1_state", "c2_state"})
        EXPECT_EQ(textAt(json, key), "UNKNOWN");
    for (const char* key : {"current", "voltage", "ext_power", "isBatteryLow", "c0_time", "c1_vol",
                            "c2_current", "c0_temp1", "c1_temp2"}) {
        EXPECT_EQ(realAt(json, key), 0.0) << key;
    }
    for (const char* key : {"numChargers", "shutdownCounter", "c0_major", "c1_minor", "c2_patch"}) {
        EXPECT_EQ(integerAt(json, key), 0) << key;
    }
    EXPECT_EQ(sensors.getCharger0StateNumber(), -1);
}

TEST(SensorBatteryTest, RepliesUpdatedValuesPerChargerAndKeepsReals) {
    DaemonEnvironment::instance();
    SensorDataHandler sensors;
    sensors.on_battery_changed(24.5f, 1.25f, true, 2, QStringLiteral("Blei-Säure"), true, 7);
    sensors.on_charger0_info_changed(60, 25.5f, 0.75f, 30.5f, 31.5f, 3, QStringLiteral("charging"));
    sensors.on_charger1_info_changed(4000000000u, 26.5f, 1.75f, 32.5f, 33.5f, 4,
                                     QStringLiteral("full"));
    sensors.on_charger2_info_changed(5, 27.5f, 2.75f, 34.5f, 35.5f, 5, QStringLiteral("error"));
    sensors.on_charger0_version_info_changed(1, 2, 3);
    sensors.on_charger1_version_info_changed(4, 5, 6);
    sensors.on_charger2_version_info_changed(7, 8, 9);

    const Reply reply = battery(sensors);
    const json_t* json = reply.json.get();
    EXPECT_EQ(realAt(json, "voltage"), 24.5);
    EXPECT_EQ(realAt(json, "current"), 1.25);
    EXPECT_EQ(textAt(json, "batteryType"), "Blei-S\xc3\xa4ure");
    EXPECT_EQ(realAt(json, "ext_power"), 1.0);
    EXPECT_EQ(realAt(json, "isBatteryLow"), 1.0);
    EXPECT_EQ(integerAt(json, "numChargers"), 2);
    EXPECT_EQ(integerAt(json, "shutdownCounter"), 7);

    EXPECT_EQ(realAt(json, "c0_time"), 60.0);
    // An unsigned time beyond the int range stays positive.
    EXPECT_EQ(realAt(json, "c1_time"), 4000000000.0);
    EXPECT_EQ(realAt(json, "c2_time"), 5.0);
    EXPECT_EQ(realAt(json, "c0_vol"), 25.5);
    EXPECT_EQ(realAt(json, "c1_current"), 1.75);
    EXPECT_EQ(realAt(json, "c2_temp1"), 34.5);
    EXPECT_EQ(realAt(json, "c2_temp2"), 35.5);
    EXPECT_EQ(textAt(json, "c0_state"), "charging");
    EXPECT_EQ(textAt(json, "c1_state"), "full");
    EXPECT_EQ(textAt(json, "c2_state"), "error");
    EXPECT_EQ(integerAt(json, "c0_major"), 1);
    EXPECT_EQ(integerAt(json, "c1_minor"), 5);
    EXPECT_EQ(integerAt(json, "c2_patch"), 9);
    EXPECT_EQ(sensors.getCharger1StateNumber(), 4);

    // Switching power and low battery off again gives 0.0, still as reals.
    sensors.on_battery_changed(23.0f, 1.0f, false, 0, QString(), false, 0);
    const Reply later = battery(sensors);
    EXPECT_EQ(realAt(later.json.get(), "ext_power"), 0.0);
    EXPECT_EQ(realAt(later.json.get(), "isBatteryLow"), 0.0);
    EXPECT_EQ(textAt(later.json.get(), "batteryType"), "");
}

TEST(SensorDistanceTest, ConvertsReadingsAndKeepsNineOfThem) {
    DaemonEnvironment::instance();
    SensorDataHandler sensors;
    Reply reply = distance(sensors);
    EXPECT_EQ(reply.result, Data);
    EXPECT_TRUE(reply.quiet);
    QVector<double> dist = realsAt(reply.json.get(), "dist");
    ASSERT_EQ(dist.size(), 9);
    for (double value : dist) {
        EXPECT_NEAR(value, 62.7325, 1e-3);
        // Rounded to float precision before it is written.
        EXPECT_EQ(value, static_cast<double>(static_cast<float>(value)));
    }

    const float half = static_cast<float>(0.3 + std::log(2.0) / 1.5);
    sensors.on_distance_sensors_changed({0.3f, half, 0.3f, 0.3f, 0.3f, 0.3f, 0.3f, 0.3f, -100.0f});
    dist = realsAt(distance(sensors).json.get(), "dist");
    ASSERT_EQ(dist.size(), 9);
    EXPECT_NEAR(dist[0], 40.0, 1e-5);
    EXPECT_NEAR(dist[1], 20.0, 1e-4);
    // A reading far below the range still yields a finite number in its own slot.
    EXPECT_EQ(dist[8], static_cast<double>(FLT_MAX));

    // Updates of another length are dropped.
    sensors.on_distance_sensors_changed(QVector<float>(8, 5.0f));
    sensors.on_distance_sensors_changed(QVector<float>(10, 5.0f));
    sensors.on_distance_sensors_changed({});
    EXPECT_EQ(realsAt(distance(sensors).json.get(), "dist"), dist);
}

TEST(SensorDistanceTest, BumpTimeRestartsOnContactOnly) {
    DaemonEnvironment::instance();
    SensorDataHandler sensors;
    ASSERT_TRUE(testsupport::waitFor([&] { return sensors.timeSinceLastBump() >= 300; }, 5000));
    sensors.on_bumper_changed(false);
    const json_int_t before = integerAt(distance(sensors).json.get(), "bumpTime");
    EXPECT_GE(before, 300);
    EXPECT_LE(before, 100000);

    sensors.on_bumper_changed(true);
    const json_int_t after = integerAt(distance(sensors).json.get(), "bumpTime");
    EXPECT_GE(after, 0);
    EXPECT_LT(after, before);
}

TEST(SensorDistanceTest, BumpTimeIsCappedAtOneHundredSeconds) {
    EXPECT_EQ(SensorCommands::bumpTimeForPage(0), 0);
    EXPECT_EQ(SensorCommands::bumpTimeForPage(99999), 99999);
    EXPECT_EQ(SensorCommands::bumpTimeForPage(100000), 100000);
    EXPECT_EQ(SensorCommands::bumpTimeForPage(100001), 100000);
    EXPECT_EQ(SensorCommands::bumpTimeForPage(INT_MAX), 100000);
}

TEST(SensorIoTest, RepliesCachedIoAsIntegersAndReals) {
    DaemonEnvironment::instance();
    SensorDataHandler sensors;
    Client& client = DaemonEnvironment::instance().client();
    auto io = [&] {
        return run("{}",
                   [&](Request& r) { return SensorCommands::getIOBoardInfo(r, sensors, client); });
    };
    Reply reply = io();
    EXPECT_EQ(reply.result, Data);
    EXPECT_FALSE(reply.quiet);
    EXPECT_EQ(jsonDump(reply.json.get(), JSON_COMPACT),
              "{\"digital\":[],\"analog\":[],\"digitalout\":[],\"relay\":[]}");

    sensors.on_digitalinput_changed({true, false, true});
    sensors.on_analoginput_changed({0.5f, 2.25f});
    sensors.on_digitaloutput_changed({false, true});
    sensors.on_relay_changed({true});
    reply = io();
    EXPECT_EQ(jsonDump(reply.json.get(), JSON_COMPACT),
              "{\"digital\":[1,0,1],\"analog\":[0.5,2.25],\"digitalout\":[0,1],\"relay\":[1]}");

    // A shorter vector replaces the whole cache.
    sensors.on_digitalinput_changed({false});
    EXPECT_EQ(jsonDump(json_object_get(io().json.get(), "digital"), JSON_COMPACT), "[0]");
    EXPECT_TRUE(DaemonEnvironment::instance().logText().contains(QStringLiteral("| CALLY")));
}

}  // namespace
