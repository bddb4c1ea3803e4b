// The daemon for real behind nginx with the simulated robot: whatever stops, the robot moves only
// while someone drives it. A daemon frozen right after a drive command sends no moving set-point
// when it runs again; a robot frozen while driving is seen as stale, the page is refused, and on
// the thaw the robot gets at most what was sent before the silence was noticed, the last of it a
// standstill.
#include <gtest/gtest.h>
#include <signal.h>

#include <QJsonDocument>
#include <QJsonObject>
#include <chrono>
#include <thread>

#include "E2e.h"
#include "TestRobot.h"
#include "Wait.h"

using namespace testsupport;

namespace {

bool isZero(const QJsonArray& args) { return args == QJsonArray{0, 0, 0}; }

QJsonObject driveState(const DaemonUnderTest& daemon) {
    return QJsonDocument::fromJson(daemon.command(R"({"TYPE":"getDriveState"})").body).object();
}

// A message that goes to the robot from the request thread: once it has arrived, so has every
// set-point the daemon sent before it.
bool marker(const DaemonUnderTest& daemon, const SimulatedRobot& robot) {
    const auto count = [&] {
        return commandsIn(robot.messages(), QStringLiteral("set_camera0_settings")).size();
    };
    const auto before = count();
    if (!daemon.command(R"({"TYPE":"changeRes","res":"low"})").body.contains("ACK")) return false;
    return waitFor([&] { return count() > before; });
}

struct Stack {
    Sandbox sandbox;
    SimulatedRobot robot{sandbox.path("/run/robot.record")};
    DaemonUnderTest daemon{sandbox};

    bool start() {
        if (!robot.start()) return false;
        sandbox.writeFile("/etc/corvanta/webgated.conf",
                          "[Network]\nserver=" + robot.address().toUtf8() + "\n");
        return daemon.start() && waitFor([&] { return driveState(daemon)["link"] == "up"; }, 15000);
    }
    QList<QJsonArray> setPointsFrom(int index) const { return robot.setPoints().mid(index); }
};

TEST(DriveE2eTest, ADaemonFrozenRightAfterADriveCommandSendsNoMovingSetPointWhenItRunsAgain) {
    Stack stack;
    ASSERT_TRUE(stack.start());
    ASSERT_TRUE(stack.daemon.command(R"({"TYPE":"velDrive","vx":0,"vy":0,"omega":0.3})").body.contains("ACK"));
    const auto pid = static_cast<pid_t>(stack.daemon.daemonPid());
    ::kill(pid, SIGSTOP);
    // The freeze itself is what is tried here: as long as a starved robot computer may stall us.
    std::this_thread::sleep_for(std::chrono::seconds(3));
    const int frozenAt = stack.robot.setPoints().size();
    ::kill(pid, SIGCONT);
    ASSERT_TRUE(waitFor([&] { return driveState(stack.daemon)["mode"] == "stopped"; }));
    ASSERT_TRUE(marker(stack.daemon, stack.robot));
    for (const QJsonArray& p : stack.setPointsFrom(frozenAt)) EXPECT_TRUE(isZero(p)) << p.size();
    EXPECT_LE(stack.setPointsFrom(frozenAt).size(), 1);
}

TEST(DriveE2eTest, ARobotFrozenWhileDrivingIsStaleAndGetsNoMotionOnTheThaw) {
    Stack stack;
    ASSERT_TRUE(stack.start());
    ASSERT_TRUE(stack.daemon.command(R"({"TYPE":"velDrive","vx":0,"vy":0,"omega":0.3})").body.contains("ACK"));
    ASSERT_TRUE(waitFor([&] {
        const QList<QJsonArray> points = stack.robot.setPoints();
        return !points.isEmpty() && !isZero(points.last());
    }));
    stack.robot.signal(SIGSTOP);
    const int frozenAt = stack.robot.setPoints().size();
    // The operator keeps the watchdog fed: the silence alone ends the drive.
    QJsonObject state;
    ASSERT_TRUE(waitFor([&] {
        stack.daemon.command(R"({"TYPE":"HEARTBEAT"})");
        state = driveState(stack.daemon);
        return state["link"] == "stale" && state["mode"] == "stopped";
    }));
    EXPECT_EQ(state["lastStop"].toObject()["reason"], "link");
    EXPECT_EQ(stack.daemon.command(R"({"TYPE":"velDrive","vx":0,"vy":0,"omega":0.3})").body,
              R"({"MSG":"NO CONNECTION TO THE ROBOT","TYPE":"ERR"})");
    stack.robot.signal(SIGCONT);
    ASSERT_TRUE(waitFor([&] { return driveState(stack.daemon)["link"] == "up"; }));
    ASSERT_TRUE(marker(stack.daemon, stack.robot));
    const QList<QJsonArray> afterFreeze = stack.setPointsFrom(frozenAt);
    // What the daemon sent before it noticed the silence (about a second's worth), then one
    // standstill; nothing piled up, nothing after.
    ASSERT_FALSE(afterFreeze.isEmpty());
    EXPECT_TRUE(isZero(afterFreeze.last()));
    EXPECT_LE(afterFreeze.size(), 15);
    int zeros = 0;
    for (const QJsonArray& p : afterFreeze) zeros += isZero(p);
    EXPECT_EQ(zeros, 1);
    EXPECT_EQ(driveState(stack.daemon)["mode"], "stopped");
}

}  // namespace
