// The daemon and the simulated robot together: what the daemon tells the robot on connecting.
#include <gtest/gtest.h>
#include <signal.h>

#include <QJsonArray>
#include <QSet>

#include "E2e.h"
#include "Robotsim.h"
#include "Wait.h"

using namespace testsupport;

namespace {

QSet<QString> enabledTopics(const QList<QJsonObject>& messages) {
    QSet<QString> on;
    for (const QJsonObject& message : messages) {
        if (message.value("op").toString() != "enable") continue;
        const QString topic = message.value("topic").toString();
        if (message.value("on").toBool()) {
            on.insert(topic);
        } else {
            on.remove(topic);
        }
    }
    return on;
}

TEST(RobotsimE2eTest, DaemonSwitchesItsTopicsOnAndTheRobotAnswers) {
    Sandbox sandbox;
    Robotsim robot;
    ASSERT_TRUE(robot.start(sandbox.path("/run/robotsim.jsonl")));
    sandbox.writeFile("/etc/corvanta/webgated.conf", "[Network]\nserver=" + robot.address().toUtf8() + "\n");
    DaemonUnderTest daemon(sandbox);
    ASSERT_TRUE(daemon.start());

    const QStringList expected{"log", "set_log_level", "omnidrive", "odometry", "distance_sensors", "bumper",
                               "battery", "map", "poseOnMap", "initialPose", "navGoal", "charger0_info",
                               "charger1_info", "charger2_info", "charger0_version", "charger1_version",
                               "charger2_version", "scan0", "fleetcom_response", "mclayout", "mcstatus",
                               "digital_input", "analog_input", "set_digital_output",
                               "set_digital_output_array", "set_relay", "set_relay_array"};
    ASSERT_TRUE(waitFor([&] { return enabledTopics(robot.recorded()).size() >= expected.size(); }, 10000));
    const QSet<QString> on = enabledTopics(robot.recorded());
    for (const QString& topic : expected) EXPECT_TRUE(on.contains(topic)) << topic.toStdString();
    // The camera stays off until a page asks for a picture.
    EXPECT_FALSE(on.contains("image0"));

    // The robot's publications reach the daemon's cache: the battery shows the simulated voltage.
    EXPECT_TRUE(waitFor(
        [&] {
            const QByteArray body = daemon.command("{\"TYPE\":\"getBatteryInfo\"}").body;
            return body.contains("\"voltage\":") && !body.contains("\"voltage\":0.0,");
        },
        10000));

    int status = -1;
    ASSERT_TRUE(daemon.stopDaemon(SIGTERM, &status));
    EXPECT_EQ(status, 0);
    EXPECT_EQ(robot.stop(), 0);
}

}  // namespace
