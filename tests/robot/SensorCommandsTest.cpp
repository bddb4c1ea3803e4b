// The sensor cache and its three status commands through the request function: the replies byte
// for byte, getState gathering them with the drive state (and sending no outputs), the distance
// conversion, the bump time, the outputs a request sends to the robot, and the polled commands
// closing quietly.
// ctest: threads
#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QJsonArray>
#include <atomic>
#include <climits>
#include <cmath>
#include <thread>

#include "DaemonEnvironment.h"
#include "Fcgi.h"
#include "TestRobot.h"
#include "Wait.h"
#include "service/Client.h"
#include "robot/SensorCommands.h"
#include "robot/SensorDataHandler.h"

using namespace testsupport;

namespace {

DaemonEnvironment& env() { return DaemonEnvironment::instance(); }
SensorDataHandler& sensors() { return env().fcgi().context().sensors; }

TEST(SensorCommandsTest, RepliesBatteryAndIoByteForByte) {
    sensors().on_battery_changed(24.5f, 1.25f, true, 2, QStringLiteral("Blei-Säure"), true, 7);
    sensors().on_charger1_info_changed(4000000000u, 26.5f, 1.75f, 32.5f, 33.5f, 4, QStringLiteral("full"));
    sensors().on_charger2_version_info_changed(7, 8, 9);
    // Every key in its place; an unsigned time beyond the int range stays positive.
    EXPECT_EQ(env().reply(R"({"TYPE":"getBatteryInfo"})"),
              "{\"current\":1.25,\"voltage\":24.5,\"batteryType\":\"Blei-S\xc3\xa4ure\",\"ext_power\":1.0,"
              "\"isBatteryLow\":1.0,\"numChargers\":2,\"shutdownCounter\":7,"
              "\"c0_time\":0.0,\"c0_vol\":0.0,\"c0_current\":0.0,\"c0_temp1\":0.0,\"c0_temp2\":0.0,\"c0_state\":\"UNKNOWN\","
              "\"c1_time\":4000000000.0,\"c1_vol\":26.5,\"c1_current\":1.75,\"c1_temp1\":32.5,\"c1_temp2\":33.5,"
              "\"c1_state\":\"full\",\"c2_time\":0.0,\"c2_vol\":0.0,\"c2_current\":0.0,\"c2_temp1\":0.0,\"c2_temp2\":0.0,"
              "\"c2_state\":\"UNKNOWN\",\"c0_major\":0,\"c0_minor\":0,\"c0_patch\":0,\"c1_major\":0,\"c1_minor\":0,"
              "\"c1_patch\":0,\"c2_major\":7,\"c2_minor\":8,\"c2_patch\":9,\"TYPE\":\"DATA\"}");
    sensors().on_battery_changed(23.0f, 1.0f, false, 0, QString(), false, 0);
    EXPECT_TRUE(env().reply(R"({"TYPE":"getBatteryInfo"})").contains(R"("ext_power":0.0,"isBatteryLow":0.0,)"));

    EXPECT_EQ(env().reply(R"({"TYPE":"getIOBoardInfo"})"),
              R"({"digital":[],"analog":[],"digitalout":[],"relay":[],"TYPE":"DATA"})");
    sensors().on_digitalinput_changed({true, false, true});
    sensors().on_analoginput_changed({0.5f, 2.25f});
    sensors().on_digitaloutput_changed({false, true});
    sensors().on_relay_changed({true});
    sensors().on_digitalinput_changed({false});  // a shorter vector replaces the whole cache
    EXPECT_EQ(env().reply(R"({"TYPE":"getIOBoardInfo"})"),
              R"({"digital":[0],"analog":[0.5,2.25],"digitalout":[0,1],"relay":[1],"TYPE":"DATA"})");
    // getState: each command's reply under its name, as the command itself answers it.
    const JsonPtr state = env().requestJson(R"({"TYPE":"getState"})");
    EXPECT_EQ(field(state.get(), "getIOBoardInfo"), env().reply(R"({"TYPE":"getIOBoardInfo"})"));
    EXPECT_EQ(field(state.get(), "getBatteryInfo"), env().reply(R"({"TYPE":"getBatteryInfo"})"));
    const json_t* distance = json_object_get(state.get(), "getDistance");
    EXPECT_EQ(field(distance, "dist"), field(env().requestJson(R"({"TYPE":"getDistance"})").get(), "dist"));
    EXPECT_EQ(field(json_object_get(state.get(), "getDriveState"), "TYPE"), "\"DATA\"");
    EXPECT_EQ(field(json_object_get(state.get(), "getDriveState"), "mode"), "\"stopped\"");
    EXPECT_EQ(field(state.get(), "TYPE"), "\"DATA\"");
    // What the page polls closes quietly (level 4), so it does not fill the log; the I/O line does not.
    const QString log = env().logOf(3, [] {
        for (const char* type : {"HEARTBEAT", "getBatteryInfo", "getDistance", "getimage", "getIOBoardInfo", "getState"})
            env().request(QByteArray(R"({"TYPE":")") + type + "\"}");
    });
    EXPECT_EQ(log.count("| Done:"), 1) << qPrintable(log);
}

TEST(SensorCommandsTest, ConvertsDistancesAndKeepsNineOfThem) {
    const float half = static_cast<float>(0.3 + std::log(2.0) / 1.5);
    sensors().on_distance_sensors_changed({0.3f, half, 0.3f, 0.3f, 0.3f, 0.3f, 0.3f, 0.3f, -100.0f});
    // Updates of another length are dropped.
    sensors().on_distance_sensors_changed(QVector<float>(8, 5.0f));
    sensors().on_distance_sensors_changed(QVector<float>(10, 5.0f));
    sensors().on_distance_sensors_changed({});
    const JsonPtr reply = env().requestJson(R"({"TYPE":"getDistance"})");
    // Rounded to float precision; a reading far below the range stays finite in its own slot.
    EXPECT_EQ(field(reply.get(), "dist").toStdString(), "[40.0,20.0,40.0,40.0,40.0,40.0,40.0,40.0,3.4028234663852886e38]");
    sensors().on_distance_sensors_changed(QVector<float>(9, 0.3f));  // a new reading is a new reply
    EXPECT_EQ(field(env().requestJson(R"({"TYPE":"getDistance"})").get(), "dist").toStdString(), "[40.0,40.0,40.0,40.0,40.0,40.0,40.0,40.0,40.0]");

    ASSERT_TRUE(waitFor([] { return sensors().timeSinceLastBump() >= 300; }));
    sensors().on_bumper_changed(false);  // only a contact restarts the bump time
    EXPECT_GE(field(env().requestJson(R"({"TYPE":"getDistance"})").get(), "bumpTime").toInt(), 300);
    sensors().on_bumper_changed(true);
    EXPECT_LT(field(env().requestJson(R"({"TYPE":"getDistance"})").get(), "bumpTime").toInt(), 300);
    for (const auto& [ms, page] : {std::pair{99999, 99999}, {100000, 100000}, {100001, 100000}, {INT_MAX, 100000}}) {
        EXPECT_EQ(SensorCommands::bumpTimeForPage(ms), page);
    }
}

TEST(SensorCommandsTest, OutputArraySplitsIntoOutputsAndRelaysByPosition) {
    TestRobot robot;
    ASSERT_TRUE(env().connectTo(robot));
    ASSERT_TRUE(env().syncWith(robot));
    const struct {
        const char* output;
        bool sends;
        QJsonArray digital, relays;
    } rows[] = {
        {",\"output\":[1,0,1,1,0,0,0,0,1,0]", true, {true, false, true, true, false, false, false, false}, {true, false}},
        // Skipped elements shift the later outputs down; positions 8 and up stay relays.
        {",\"output\":[\"1\",1]", true, {true}, {}},
        {",\"output\":[1.0,2,1,true,null,1,{},[1]]", true, {false, true, true}, {}},
        {",\"output\":[0,0,0,0,0,0,0,0,\"r\",1,-1,7]", true, {false, false, false, false, false, false, false, false},
         {true, false, false}},
        {",\"output\":[]", true, {}, {}},
        {"", false, {}, {}},  // without an array nothing is sent
        {",\"output\":\"[1]\"", false, {}, {}},
        {",\"output\":{\"0\":1}", false, {}, {}},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.output);
        // getState only reads (another site's page may send it): its "output" is never sent.
        EXPECT_EQ(field(env().requestJson(QByteArray(R"({"TYPE":"getState")") + row.output + "}").get(), "TYPE"),
                  "\"DATA\"");
        EXPECT_EQ(field(env().requestJson(QByteArray(R"({"TYPE":"getIOBoardInfo")") + row.output + "}").get(), "TYPE"),
                  "\"DATA\"");
        ASSERT_TRUE(env().syncWith(robot, false));
        EXPECT_EQ(robot.commands("set_digital_output_array"), row.sends ? QList<QJsonArray>{nested(row.digital)} : QList<QJsonArray>{});
        EXPECT_EQ(robot.commands("set_relay_array"), row.sends ? QList<QJsonArray>{nested(row.relays)} : QList<QJsonArray>{});
        robot.clearMessages();
    }
    env().client().disconnectFromServer();
}

double number(const JsonPtr& reply, const char* key) { return json_number_value(json_object_get(reply.get(), key)); }

TEST(SensorThreadsTest, RequestThreadReadsWhileMainThreadWrites) {
    SensorDataHandler& sensors = ::sensors();
    std::atomic<bool> done{false};
    std::atomic<int> replies{0}, torn{0};
    // Only errors are logged meanwhile: the log's cross-thread hand-over is not under test here.
    env().logOf(2, [&] {
        std::thread requests([&] {
            while (!done.load() || replies.load() < 200) {
                const JsonPtr battery = env().requestJson(R"({"TYPE":"getBatteryInfo"})");
                const JsonPtr distance = env().requestJson(R"({"TYPE":"getDistance"})");
                const JsonPtr io = env().requestJson(R"({"TYPE":"getIOBoardInfo","output":[1,0,1,0,1,0,1,0,1]})");
                // The writer keeps every value of a group equal, so a mix of two updates shows.
                const double voltage = number(battery, "voltage");
                torn += !battery || !io || number(battery, "current") != voltage ||
                        number(battery, "numChargers") != voltage || number(battery, "c1_vol") != number(battery, "c1_temp2") ||
                        number(battery, "c2_major") != number(battery, "c2_patch") ||
                        !json_is_array(json_object_get(io.get(), "relay"));
                const json_t* dist = json_object_get(distance.get(), "dist");
                torn += json_array_size(dist) != 9;
                for (size_t i = 1; i < json_array_size(dist); ++i) {
                    torn += json_real_value(json_array_get(dist, i)) != json_real_value(json_array_get(dist, 0));
                }
                ++replies;
            }
        });
        for (int update = 1; update <= 20000 && !(update > 100 && replies.load() >= 200); ++update) {
            const float value = static_cast<float>(update % 50);
            const int length = update % 5;
            sensors.on_battery_changed(value, value, update % 2 == 0, update % 50, QString::number(update),
                                       update % 3 == 0, update % 50);
            sensors.on_charger1_info_changed(update, value, value, value, value, update, QString::number(update));
            sensors.on_charger2_version_info_changed(update, update, update);
            sensors.on_distance_sensors_changed(QVector<float>(9, value / 10));
            sensors.on_bumper_changed(update % 7 == 0);
            sensors.on_digitalinput_changed(QVector<bool>(length, true));
            sensors.on_analoginput_changed(QVector<float>(length, value));
            sensors.on_relay_changed(QVector<bool>(length, false));
            sensors.on_digitaloutput_changed(QVector<bool>(length, true));
            if (update % 100 == 0) QCoreApplication::processEvents();
        }
        done = true;
        requests.join();
    });
    EXPECT_GE(replies.load(), 200);
    EXPECT_EQ(torn.load(), 0);
}

}  // namespace
