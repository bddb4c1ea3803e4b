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
    // A key's value as JSON text: reals keep their ".0", so "1.0" and "1" tell real from integer.
    QByteArray operator[](const char* key) const {
        return jsonDump(json_object_get(json.get(), key), JSON_COMPACT | JSON_ENCODE_ANY);
    }
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

QVector<double> dist(const SensorDataHandler& sensors) {
    const Reply reply = distance(sensors);
    QVector<double> result;
    const json_t* array = json_object_get(reply.json.get(), "dist");
    for (size_t i = 0; i < json_array_size(array); ++i) {
        EXPECT_TRUE(json_is_real(json_array_get(array, i))) << i;
        result << json_real_value(json_array_get(array, i));
    }
    return result;
}

TEST(SensorBatteryTest, RepliesEveryKeyInOrderBeforeAndAfterUpdates) {
    DaemonEnvironment::instance();
    SensorDataHandler sensors;
    Reply reply = battery(sensors);
    EXPECT_EQ(reply.result, Data);
    EXPECT_TRUE(reply.quiet);

    QStringList keys;
    for (void* it = json_object_iter(reply.json.get()); it;
         it = json_object_iter_next(reply.json.get(), it)) {
        keys << QString::fromUtf8(json_object_iter_key(it));
    }
    EXPECT_EQ(keys.join(' '),
              "current voltage batteryType ext_power isBatteryLow numChargers shutdownCounter "
              "c0_time c0_vol c0_current c0_temp1 c0_temp2 c0_state "
              "c1_time c1_vol c1_current c1_temp1 c1_temp2 c1_state "
              "c2_time c2_vol c2_current c2_temp1 c2_temp2 c2_state "
              "c0_major c0_minor c0_patch c1_major c1_minor c1_patch c2_major c2_minor c2_patch");
    EXPECT_EQ(reply["batteryType"], "\"UNKNOWN BATTERY\"");
    EXPECT_EQ(reply["c2_state"], "\"UNKNOWN\"");
    for (const char* key :
         {"current", "voltage", "ext_power", "isBatteryLow", "c0_time", "c1_temp2"}) {
        EXPECT_EQ(reply[key], "0.0") << key;
    }
    for (const char* key : {"numChargers", "shutdownCounter", "c0_major", "c2_patch"})
        EXPECT_EQ(reply[key], "0");

    sensors.on_battery_changed(24.5f, 1.25f, true, 2, QStringLiteral("Blei-Säure"), true, 7);
    sensors.on_charger1_info_changed(4000000000u, 26.5f, 1.75f, 32.5f, 33.5f, 4,
                                     QStringLiteral("full"));
    sensors.on_charger2_version_info_changed(7, 8, 9);
    reply = battery(sensors);
    EXPECT_EQ(reply["voltage"], "24.5");
    EXPECT_EQ(reply["current"], "1.25");
    EXPECT_EQ(reply["batteryType"], "\"Blei-S\xc3\xa4ure\"");
    EXPECT_EQ(reply["ext_power"], "1.0");
    EXPECT_EQ(reply["isBatteryLow"], "1.0");
    EXPECT_EQ(reply["numChargers"], "2");
    EXPECT_EQ(reply["shutdownCounter"], "7");
    // An unsigned time beyond the int range stays positive.
    EXPECT_EQ(reply["c1_time"], "4000000000.0");
    EXPECT_EQ(reply["c1_current"], "1.75");
    EXPECT_EQ(reply["c1_temp2"], "33.5");
    EXPECT_EQ(reply["c1_state"], "\"full\"");
    EXPECT_EQ(reply["c0_state"], "\"UNKNOWN\"");
    EXPECT_EQ(reply["c2_major"] + reply["c2_minor"] + reply["c2_patch"], "789");
    EXPECT_EQ(sensors.getCharger1StateNumber(), 4);

    sensors.on_battery_changed(23.0f, 1.0f, false, 0, QString(), false, 0);
    reply = battery(sensors);
    EXPECT_EQ(reply["ext_power"], "0.0");
    EXPECT_EQ(reply["isBatteryLow"], "0.0");
}

TEST(SensorDistanceTest, ConvertsReadingsAndKeepsNineOfThem) {
    DaemonEnvironment::instance();
    SensorDataHandler sensors;
    const Reply reply = distance(sensors);
    EXPECT_EQ(reply.result, Data);
    EXPECT_TRUE(reply.quiet);
    QVector<double> values = dist(sensors);
    ASSERT_EQ(values.size(), 9);
    for (double value : values) {
        EXPECT_NEAR(value, 62.7325, 1e-3);
        // Rounded to float precision before it is written.
        EXPECT_EQ(value, static_cast<double>(static_cast<float>(value)));
    }

    const float half = static_cast<float>(0.3 + std::log(2.0) / 1.5);
    sensors.on_distance_sensors_changed({0.3f, half, 0.3f, 0.3f, 0.3f, 0.3f, 0.3f, 0.3f, -100.0f});
    values = dist(sensors);
    ASSERT_EQ(values.size(), 9);
    EXPECT_NEAR(values[0], 40.0, 1e-5);
    EXPECT_NEAR(values[1], 20.0, 1e-4);
    // A reading far below the range still yields a finite number in its own slot.
    EXPECT_EQ(values[8], static_cast<double>(FLT_MAX));

    // Updates of another length are dropped.
    sensors.on_distance_sensors_changed(QVector<float>(8, 5.0f));
    sensors.on_distance_sensors_changed(QVector<float>(10, 5.0f));
    sensors.on_distance_sensors_changed({});
    EXPECT_EQ(dist(sensors), values);
}

TEST(SensorDistanceTest, BumpTimeRestartsOnContactOnlyAndIsCapped) {
    DaemonEnvironment::instance();
    SensorDataHandler sensors;
    ASSERT_TRUE(testsupport::waitFor([&] { return sensors.timeSinceLastBump() >= 300; }, 5000));
    sensors.on_bumper_changed(false);
    const int before = distance(sensors)["bumpTime"].toInt();
    EXPECT_GE(before, 300);
    EXPECT_LE(before, 100000);
    sensors.on_bumper_changed(true);
    const int after = distance(sensors)["bumpTime"].toInt();
    EXPECT_GE(after, 0);
    EXPECT_LT(after, before);

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
    EXPECT_EQ(jsonDump(io().json.get(), JSON_COMPACT),
              "{\"digital\":[1,0,1],\"analog\":[0.5,2.25],\"digitalout\":[0,1],\"relay\":[1]}");
    // A shorter vector replaces the whole cache.
    sensors.on_digitalinput_changed({false});
    EXPECT_EQ(io()["digital"], "[0]");
    EXPECT_TRUE(DaemonEnvironment::instance().logText().contains(QStringLiteral("| CALLY")));
}

}  // namespace
