// The status commands for real: robotsim publishes, the daemon behind nginx answers.
#include <gtest/gtest.h>

#include <memory>

#include "E2e.h"
#include "Robotsim.h"
#include "Wait.h"
#include "frame/Json.h"

using namespace testsupport;

namespace {

JsonPtr ask(const DaemonUnderTest& daemon, const QByteArray& json) {
    const HttpReply reply = daemon.command(json);
    return JsonPtr(reply.ok ? json_loads(reply.body.constData(), 0, nullptr) : nullptr);
}

QByteArray field(const json_t* reply, const char* key) {
    return jsonDump(json_object_get(reply, key), JSON_COMPACT | JSON_ENCODE_ANY);
}

class SensorsE2eTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(m_robot.start());
        m_sandbox.writeFile(
            QStringLiteral("/etc/corvanta/webgated.conf"),
            "[Log]\nverbosity=3\n\n[Network]\nserver=" + m_robot.address().toUtf8() + "\n");
        m_daemon.reset(new DaemonUnderTest(m_sandbox));
        ASSERT_TRUE(m_daemon->start());
    }

    Robotsim m_robot;
    Sandbox m_sandbox;
    std::unique_ptr<DaemonUnderTest> m_daemon;
};

TEST_F(SensorsE2eTest, StatusCommandsShowTheSimulatedRobot) {
    JsonPtr battery;
    ASSERT_TRUE(waitFor(
        [&] {
            battery = ask(*m_daemon, "{\"TYPE\":\"getBatteryInfo\"}");
            return battery && field(battery.get(), "batteryType") == "\"LIION\"" &&
                   field(battery.get(), "c0_major") == "1";
        },
        15000));
    const double voltage = json_number_value(json_object_get(battery.get(), "voltage"));
    EXPECT_TRUE(voltage >= 21.0 && voltage <= 24.0) << voltage;
    EXPECT_EQ(field(battery.get(), "ext_power") + field(battery.get(), "c0_state") +
                  field(battery.get(), "c1_state"),
              "0.0\"Not charging\"\"UNKNOWN\"");

    JsonPtr io;
    ASSERT_TRUE(waitFor(
        [&] {
            io = ask(*m_daemon, "{\"TYPE\":\"getIOBoardInfo\"}");
            return io && json_array_size(json_object_get(io.get(), "analog")) == 8 &&
                   json_array_size(json_object_get(io.get(), "relay")) == 2;
        },
        15000));
    EXPECT_NEAR(json_real_value(json_array_get(json_object_get(io.get(), "analog"), 2)), 3.3, 1e-6);
    EXPECT_EQ(json_array_size(json_object_get(io.get(), "digital")), 8u);
    EXPECT_EQ(field(io.get(), "digitalout"), "[0,0,0,0,0,0,0,0]");
    EXPECT_EQ(field(io.get(), "relay"), "[0,0]");

    // The robot stands inside its room, so every sensor sees a wall at some distance.
    JsonPtr distance;
    ASSERT_TRUE(waitFor(
        [&] {
            distance = ask(*m_daemon, "{\"TYPE\":\"getDistance\"}");
            return distance && json_real_value(json_array_get(
                                   json_object_get(distance.get(), "dist"), 0)) < 60.0;
        },
        15000));
    const json_t* dist = json_object_get(distance.get(), "dist");
    ASSERT_EQ(json_array_size(dist), 9u);
    for (size_t i = 0; i < 9; ++i) {
        const double value = json_real_value(json_array_get(dist, i));
        EXPECT_GT(value, 0.0) << i;
        EXPECT_LT(value, 60.0) << i;
    }
    EXPECT_TRUE(json_is_integer(json_object_get(distance.get(), "bumpTime")));
}

TEST_F(SensorsE2eTest, OutputsShowOnceTheRobotEchoedThem) {
    ASSERT_TRUE(waitFor(
        [&] {
            const JsonPtr io = ask(*m_daemon, "{\"TYPE\":\"getIOBoardInfo\"}");
            return io && field(io.get(), "relay") == "[0,0]";
        },
        15000));
    const JsonPtr set =
        ask(*m_daemon, "{\"TYPE\":\"getIOBoardInfo\",\"output\":[1,0,1,0,0,0,0,1,0,1]}");
    ASSERT_TRUE(set);
    EXPECT_EQ(field(set.get(), "TYPE"), "\"DATA\"");

    JsonPtr io;
    EXPECT_TRUE(waitFor(
        [&] {
            io = ask(*m_daemon, "{\"TYPE\":\"getIOBoardInfo\"}");
            return io && field(io.get(), "relay") == "[0,1]";
        },
        10000));
    EXPECT_EQ(field(io.get(), "digitalout"), "[1,0,1,0,0,0,0,1]");
    EXPECT_TRUE(waitFor([&] { return m_daemon->logFile().contains("| CALLY"); }, 5000));
}

}  // namespace
