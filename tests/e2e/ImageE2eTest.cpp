// The camera for real: the no-camera picture's exact bytes through nginx, then robotsim's frames in
// the size changeRes chose, and the camera switched off once when the page stops polling. (The
// browser tests watch the frames change and both sizes on the page.)
#include <gtest/gtest.h>

#include <QImage>

#include "E2e.h"
#include "Robotsim.h"
#include "TestRobot.h"
#include "Wait.h"

using namespace testsupport;

namespace {

/// One getimage as the page sends it: "png", or "jpeg <width>x<height>", and the bytes.
QByteArray getimage(const DaemonUnderTest& daemon, QByteArray* body = nullptr) {
    const HttpReply reply = daemon.command(R"({"TYPE":"getimage"})");
    const QImage image = QImage::fromData(reply.body);
    if (body) *body = reply.body;
    if (reply.status != 200 || image.isNull()) return "none";
    if (reply.headers.contains("Content-Type: image/png")) return "png";
    return reply.headers.contains("Content-Type: image/jpeg") ? QByteArray("jpeg %1x%2").replace("%1", QByteArray::number(image.width())).replace("%2", QByteArray::number(image.height())) : "other";
}

/// Polls like the page (every 100 ms) until the picture is `wanted`.
bool pollUntil(const DaemonUnderTest& daemon, const QByteArray& wanted) {
    return waitFor([&] {
        if (getimage(daemon) == wanted) return true;
        spin(100);
        return false;
    }, 15000);
}

TEST(ImageE2eTest, PollingPageGetsFramesInTheChosenSizeAndTheCameraGoesOffOnceWhenItStops) {
    Sandbox sandbox;
    Robotsim robot;
    ASSERT_TRUE(robot.start(sandbox.path("/run/robotsim.jsonl"), {"--fps", "20"}));
    sandbox.writeFile("/etc/corvanta/webgated.conf",
                      "image_request_timeout=800\n[Log]\nverbosity=3\n[Network]\nserver=" + robot.address().toLatin1() + "\n");
    // The daemon looks for ./resources/nocam.png in its working directory, the sandbox root.
    sandbox.writeFile("/resources/nocam.png", sourceFile("resources/nocam.png"));
    DaemonUnderTest daemon(sandbox);
    ASSERT_TRUE(daemon.start());
    ASSERT_TRUE(waitFor([&] { return switchesIn(robot.recorded(), "odometry", true) > 0; }, 10000));
    QByteArray body;
    EXPECT_EQ(getimage(daemon, &body), "png");  // the camera is off: the no-camera picture
    EXPECT_EQ(body, sourceFile("resources/nocam.png"));

    EXPECT_EQ(daemon.command(R"({"TYPE":"changeRes","res":"high"})").body, R"({"TYPE":"ACK"})");
    ASSERT_TRUE(pollUntil(daemon, "jpeg 640x480"));

    // The page stops: the camera goes off after the timeout, once; a page coming back turns it on.
    EXPECT_TRUE(waitFor([&] { return switchesIn(robot.recorded(), "image0", false) == 1; }, 10000));
    EXPECT_TRUE(pollUntil(daemon, "jpeg 640x480"));  // maybe still the last frame: not a second old
    EXPECT_TRUE(waitFor([&] { return switchesIn(robot.recorded(), "image0", true) == 2; }));
    EXPECT_EQ(switchesIn(robot.recorded(), "image0", false), 1);
}

}  // namespace
