// The status commands for real: robotsim publishes, the daemon behind nginx answers, and the
// outputs a request sets show once the robot echoed them.
#include <gtest/gtest.h>

#include "DaemonEnvironment.h"
#include "E2e.h"
#include "Robotsim.h"
#include "Wait.h"

using namespace testsupport;

namespace {

TEST(SensorsE2eTest, StatusCommandsShowTheSimulatedRobotAndItsOutputs) {
    Robotsim robot;
    ASSERT_TRUE(robot.start());
    Sandbox sandbox;
    sandbox.writeFile("/etc/corvanta/webgated.conf", "[Log]\nverbosity=3\n\n[Network]\nserver=" + robot.address().toUtf8() + "\n");
    DaemonUnderTest daemon(sandbox);
    ASSERT_TRUE(daemon.start());
    JsonPtr reply;
    const auto ask = [&](const QByteArray& json, const std::function<bool()>& done) {
        return waitFor([&] {
            const QByteArray body = daemon.command(json).body;
            reply.reset(json_loads(body.constData(), 0, nullptr));
            return reply && done();
        }, 15000);
    };
    ASSERT_TRUE(ask(R"({"TYPE":"getBatteryInfo"})", [&] {
        return field(reply.get(), "c0_major") == "1" && field(reply.get(), "batteryType") == "\"LIION\"";
    }));
    EXPECT_EQ(field(reply.get(), "batteryType") + field(reply.get(), "ext_power") + field(reply.get(), "c0_state") +
                  field(reply.get(), "c1_state"),
              R"("LIION"0.0"Not charging""UNKNOWN")");

    // The robot stands inside its room, so every sensor sees a wall at some distance.
    ASSERT_TRUE(ask(R"({"TYPE":"getDistance"})", [&] {
        return json_real_value(json_array_get(json_object_get(reply.get(), "dist"), 0)) < 60.0;
    }));
    EXPECT_EQ(json_array_size(json_object_get(reply.get(), "dist")), 9u);

    ASSERT_TRUE(ask(R"({"TYPE":"getIOBoardInfo"})", [&] { return field(reply.get(), "relay") == "[0,0]"; }));
    EXPECT_EQ(field(reply.get(), "digitalout"), "[0,0,0,0,0,0,0,0]");
    EXPECT_EQ(daemon.command(R"({"TYPE":"getIOBoardInfo","output":[1,0,1,0,0,0,0,1,0,1]})").status, 200);
    EXPECT_TRUE(ask(R"({"TYPE":"getIOBoardInfo"})", [&] { return field(reply.get(), "relay") == "[0,1]"; }));
    EXPECT_EQ(field(reply.get(), "digitalout"), "[1,0,1,0,0,0,0,1]");
}

}  // namespace
