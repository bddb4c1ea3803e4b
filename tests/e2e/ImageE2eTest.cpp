// The camera for real: a page polling getimage through nginx at 10 Hz, the daemon switching
// robotsim's camera on and off, changeRes choosing the frame size, and the no-camera picture
// when the page pauses and comes back.
#include <gtest/gtest.h>

#include <QFile>
#include <QImage>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRegularExpression>
#include <QSet>

#include "E2e.h"
#include "Robotsim.h"
#include "Wait.h"

using namespace testsupport;

namespace {

constexpr int kRequestTimeoutMs = 800;

/// How often robotsim's recording shows a switch of `topic` to `on`.
int switchesInRecording(const Robotsim& robot, const QString& topic, bool on) {
    int count = 0;
    for (const QJsonObject& message : robot.recorded()) {
        if (message.value(QStringLiteral("op")).toString() == QLatin1String("enable") &&
            message.value(QStringLiteral("topic")).toString() == topic &&
            message.value(QStringLiteral("on")).toBool() == on) {
            ++count;
        }
    }
    return count;
}

/// One getimage as the page sends it: the content type and the decoded picture.
struct Picture {
    bool ok = false;
    QByteArray type;  // "jpeg" or "png"
    QByteArray body;
    QImage image;
};

Picture getimage(const DaemonUnderTest& daemon) {
    Picture picture;
    const HttpReply reply = daemon.command("{\"TYPE\":\"getimage\"}");
    if (!reply.ok || reply.status != 200) return picture;
    const auto match = QRegularExpression(QStringLiteral("(?i)content-type: image/(\\w+)"))
                           .match(QString::fromLatin1(reply.headers));
    if (!match.hasMatch()) return picture;
    picture.type = match.captured(1).toLatin1();
    picture.body = reply.body;
    picture.image = QImage::fromData(reply.body, picture.type == "jpeg" ? "JPG" : "PNG");
    picture.ok = !picture.image.isNull();
    return picture;
}

/// Polls like the page (every 100 ms) until `accept` takes a picture or `timeoutMs` passes.
Picture pollUntil(const DaemonUnderTest& daemon, const std::function<bool(const Picture&)>& accept,
                  int timeoutMs) {
    Picture last;
    waitFor(
        [&] {
            last = getimage(daemon);
            if (accept(last)) return true;
            spin(100);
            return false;
        },
        timeoutMs);
    return last;
}

bool isJpegOfSize(const Picture& picture, int width, int height) {
    return picture.ok && picture.type == "jpeg" && picture.image.size() == QSize(width, height);
}

TEST(ImageE2eTest, PollingPageGetsFreshFramesInTheChosenSizeAndTheFallbackAfterAPause) {
    Sandbox sandbox;
    const QString recordFile = sandbox.path(QStringLiteral("/run/robotsim.jsonl"));
    Robotsim robot;
    ASSERT_TRUE(robot.start(recordFile, {QStringLiteral("--fps"), QStringLiteral("20")}));
    sandbox.writeFile(QStringLiteral("/etc/corvanta/webgated.conf"),
                      "image_request_timeout=" + QByteArray::number(kRequestTimeoutMs) +
                          "\n[Log]\nverbosity=3\n[Network]\nserver=" + robot.address().toLatin1() +
                          "\n");
    QFile noCamFile(sourceDir() + QStringLiteral("/resources/nocam.png"));
    ASSERT_TRUE(noCamFile.open(QIODevice::ReadOnly));
    const QByteArray noCamBytes = noCamFile.readAll();
    const QImage noCam = QImage::fromData(noCamBytes, "PNG");
    // The daemon looks for ./resources/nocam.png in its working directory, the sandbox root.
    sandbox.writeFile(QStringLiteral("/resources/nocam.png"), noCamBytes);
    DaemonUnderTest daemon(sandbox);
    ASSERT_TRUE(daemon.start());
    ASSERT_TRUE(waitFor(
        [&] { return switchesInRecording(robot, QStringLiteral("odometry"), true) > 0; },
        10000))
        << "the daemon did not reach robotsim";
    ASSERT_EQ(switchesInRecording(robot, QStringLiteral("image0"), true), 0);

    // The camera is off: the first picture is the no-camera one.
    const Picture first = getimage(daemon);
    ASSERT_TRUE(first.ok);
    EXPECT_EQ(first.type, "png");
    EXPECT_EQ(first.image.convertToFormat(QImage::Format_RGB32),
              noCam.convertToFormat(QImage::Format_RGB32));

    // High resolution: 640 x 480 frames, new ones as the page keeps polling.
    EXPECT_EQ(daemon.command("{\"TYPE\":\"changeRes\",\"res\":\"high\"}").body,
              "{\"TYPE\":\"ACK\"}");
    ASSERT_TRUE(
        isJpegOfSize(pollUntil(
                         daemon, [](const Picture& p) { return isJpegOfSize(p, 640, 480); }, 15000),
                     640, 480));
    QSet<QByteArray> distinct;
    for (int i = 0; i < 10; ++i) {
        spin(100);
        const Picture frame = getimage(daemon);
        EXPECT_TRUE(isJpegOfSize(frame, 640, 480))
            << "poll " << i << ": " << frame.type.constData();
        distinct.insert(frame.body);
    }
    EXPECT_GE(distinct.size(), 5) << "the frames do not change while the page polls";

    // Low resolution: 320 x 240.
    EXPECT_EQ(daemon.command("{\"TYPE\":\"changeRes\",\"res\":\"low\"}").body,
              "{\"TYPE\":\"ACK\"}");
    EXPECT_TRUE(
        isJpegOfSize(pollUntil(
                         daemon, [](const Picture& p) { return isJpegOfSize(p, 320, 240); }, 15000),
                     320, 240));

    // The page stops: the camera goes off after the timeout, and the last frame grows old.
    EXPECT_TRUE(waitFor(
        [&] { return switchesInRecording(robot, QStringLiteral("image0"), false) == 1; },
        10000));
    spin(1200);
    const Picture back = getimage(daemon);
    ASSERT_TRUE(back.ok);
    EXPECT_EQ(back.type, "png") << "a page coming back first sees the no-camera picture";
    EXPECT_EQ(back.image.convertToFormat(QImage::Format_RGB32),
              noCam.convertToFormat(QImage::Format_RGB32));
    EXPECT_TRUE(
        isJpegOfSize(pollUntil(
                         daemon, [](const Picture& p) { return isJpegOfSize(p, 320, 240); }, 15000),
                     320, 240));
    EXPECT_EQ(switchesInRecording(robot, QStringLiteral("image0"), true), 2);
}

}  // namespace
