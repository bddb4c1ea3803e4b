// Remote driving for real: the page's requests through nginx to the daemon, set-points on the wire
// to robotsim, which moves; a second client watches its odometry. The daemon ending while the
// robot drives leaves it standing. (The watchdog, bumper and position drive are checked against a
// played robot and a simulated one in the unit tests.)
#include <gtest/gtest.h>
#include <signal.h>

#include "ClientRecorder.h"
#include "E2e.h"
#include "Robotsim.h"
#include "TestRobot.h"
#include "Wait.h"
#include "kel/corvanta/rpc/Client.h"

using namespace testsupport;

namespace {

TEST(ControlE2eTest, TerminatingTheDaemonWhileDrivingStopsTheRobot) {
    Sandbox sandbox;
    Robotsim robot;
    ASSERT_TRUE(robot.start(sandbox.path("/run/robot.jsonl")));
    sandbox.writeFile("/etc/corvanta/webgated.conf", "[Network]\nserver=" + robot.address().toUtf8() + "\n");
    DaemonUnderTest daemon(sandbox);
    ASSERT_TRUE(daemon.start());
    kel::corvanta::rpc::Client observer;
    ClientRecorder watch(&observer);
    observer.set_kel_corvanta_rpc_odometry_enabled(true);
    observer.setAddress(robot.address());
    observer.connectToServer();
    ASSERT_TRUE(waitFor([&] { return switchesIn(robot.recorded(), "odometry", true) > 1 && watch.poses > 0; }, 15000));

    ASSERT_EQ(daemon.command(R"({"TYPE":"velDrive","vx":0.1,"vy":0.1,"omega":0})").body,
              R"j({"MSG":"velDrive(0.100,0.100,0.000)","TYPE":"ACK"})j");
    const auto setPoints = [&] { return commandsIn(robot.recorded(), "omnidrive"); };
    ASSERT_TRUE(waitFor([&] { return setPoints().size() >= 3 && watch.moving; }));
    EXPECT_NEAR(setPoints().first()[1].toDouble(), 0.1, 1e-6);
    int status = -1;
    ASSERT_TRUE(daemon.stopDaemon(SIGTERM, &status));
    EXPECT_EQ(status, 0);
    const auto standstill = [](const QJsonArray& p) { return p[0].toDouble() == 0 && p[1].toDouble() == 0 && p[2].toDouble() == 0; };
    ASSERT_TRUE(waitFor([&] { return standstill(setPoints().last()) && !watch.moving; }));
}

}  // namespace
