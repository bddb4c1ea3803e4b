// The camera topic and camera settings as the robot sees them on the wire: getimage switches
// "image0" on, polling keeps it on, silence switches it off once; frames published by the robot
// come back out of getimage; changeRes sends the camera settings.
#include <gtest/gtest.h>

#include <QDir>
#include <QElapsedTimer>
#include <QJsonArray>
#include <QJsonObject>
#include <QTimer>
#include <memory>

#include "DaemonEnvironment.h"
#include "Fcgi.h"
#include "ImageTestSupport.h"
#include "TestRobot.h"
#include "Wait.h"
#include "frame/Client.h"

using imagetest::testData;
using testsupport::DaemonEnvironment;
using testsupport::spin;
using testsupport::TestRobot;
using testsupport::waitFor;

namespace {

constexpr int kRequestTimeoutMs = 500;
const QByteArray kGetimage = "{\"TYPE\":\"getimage\"}";
const QByteArray kJpegHeader = "Content-Type: image/jpeg \r\n\r\n";
const QByteArray kPngHeader = "Content-Type: image/png \r\n\r\n";

class ImageTopicTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        DaemonEnvironment& environment = env();
        environment.setConfig(QByteArray("image_request_timeout=") +
                              QByteArray::number(kRequestTimeoutMs) + "\n[Log]\nverbosity=3\n");
        QDir::setCurrent(testsupport::sourceDir());
        environment.fcgi();  // built after the configuration: the timeout is read once
        s_robot = new TestRobot();
        environment.client().setAddress(s_robot->address());
        environment.client().connectToServer();
    }
    static void TearDownTestSuite() {
        env().client().disconnectFromServer();
        delete s_robot;
        s_robot = nullptr;
    }
    void SetUp() override {
        ASSERT_TRUE(s_robot->isListening());
        ASSERT_TRUE(waitFor([] { return env().client().isConnected(); }, 10000));
        // Each test starts with the camera topic off and no switch pending.
        ASSERT_TRUE(waitFor([] { return !timer()->isActive() && !s_robot->isSwitchedOn("image0"); },
                            10000));
        s_robot->clearMessages();
    }

    static DaemonEnvironment& env() { return DaemonEnvironment::instance(); }
    static QTimer* timer() { return env().fcgi().imageHandler()->findChild<QTimer*>(); }
    static int switches(bool on) {
        int count = 0;
        for (const QJsonObject& message : s_robot->messages()) {
            if (message.value(QStringLiteral("op")).toString() == QLatin1String("enable") &&
                message.value(QStringLiteral("topic")).toString() == QLatin1String("image0") &&
                message.value(QStringLiteral("on")).toBool() == on) {
                ++count;
            }
        }
        return count;
    }
    static void publishFrame(const QByteArray& data, int width, int height, const char* format) {
        s_robot->publish(QStringLiteral("image0"),
                         QJsonArray{QString::fromLatin1(data.toBase64()), width, height, 0,
                                    QString::fromLatin1(format)});
    }

    static TestRobot* s_robot;
};

TestRobot* ImageTopicTest::s_robot = nullptr;

TEST_F(ImageTopicTest, PollingKeepsTheCameraOnAndSilenceSwitchesItOffOnce) {
    ASSERT_EQ(env().fcgi().imageHandler()->requestTimeoutMs(), kRequestTimeoutMs);
    EXPECT_EQ(env().request(kGetimage), kPngHeader + env().fcgi().noCamPng()) << "no frame yet";
    ASSERT_TRUE(waitFor([] { return s_robot->isSwitchedOn("image0"); }));

    // The page polls at 10 Hz for more than three timeout periods.
    QElapsedTimer sinceRequest;
    for (int i = 0; i < 20; ++i) {
        spin(100);
        EXPECT_TRUE(s_robot->isSwitchedOn("image0")) << "switched off while polling, poll " << i;
        env().request(kGetimage);
        sinceRequest.start();
    }
    ASSERT_TRUE(waitFor([] { return !s_robot->isSwitchedOn("image0"); }, 10000));
    const qint64 offAfter = sinceRequest.elapsed();
    EXPECT_GE(offAfter, kRequestTimeoutMs / 2);
    EXPECT_LE(offAfter, 8 * kRequestTimeoutMs);

    // The timeout does not repeat: nothing more happens over several periods.
    spin(3 * kRequestTimeoutMs);
    EXPECT_FALSE(timer()->isActive());
    EXPECT_EQ(switches(true), 1);
    EXPECT_EQ(switches(false), 1);

    // A page that comes back switches it on again.
    env().request(kGetimage);
    EXPECT_TRUE(waitFor([] { return s_robot->isSwitchedOn("image0"); }));
    EXPECT_TRUE(waitFor([] { return !s_robot->isSwitchedOn("image0"); }, 10000));
    EXPECT_EQ(switches(true), 2);
    EXPECT_EQ(switches(false), 2);
}

TEST_F(ImageTopicTest, FramesFromTheRobotComeBackOutOfGetimage) {
    const QByteArray jpeg = testData(QStringLiteral("frame_64x48.jpg"));
    env().request(kGetimage);
    ASSERT_TRUE(waitFor([] { return s_robot->isSwitchedOn("image0"); }));

    publishFrame(jpeg, 64, 48, "mjpg");
    EXPECT_TRUE(waitFor([&] { return env().request(kGetimage) == kJpegHeader + jpeg; }));

    publishFrame(QByteArray(8, '\x10'), 2, 2, "yuyv");
    EXPECT_TRUE(
        waitFor([&] { return env().request(kGetimage) == kPngHeader + env().fcgi().noCamPng(); }));
}

TEST_F(ImageTopicTest, ChangeResSendsTheCameraSettings) {
    const auto ask = [](const char* res) {
        return env().request(QByteArray("{\"TYPE\":\"changeRes\",\"res\":") + res + "}");
    };
    const QByteArray ack = "Content-type: text/html\r\n\r\n{\"TYPE\":\"ACK\"}";
    EXPECT_EQ(ask("\"high\""), ack);
    EXPECT_NE(ask("\"HIGH\""), ack);
    EXPECT_NE(ask("\"\""), ack);
    EXPECT_EQ(ask("\"low\""), ack);
    EXPECT_NE(ask("5"), ack);
    EXPECT_EQ(ask("\"high\""), ack);

    // Commands keep their order on the connection, so the rejected ones sent nothing.
    ASSERT_TRUE(waitFor([] { return s_robot->commands("set_camera0_settings").size() >= 3; }));
    spin(100);
    const QList<QJsonArray> sent = s_robot->commands("set_camera0_settings");
    ASSERT_EQ(sent.size(), 3);
    EXPECT_EQ(sent.at(0), (QJsonArray{640, 480, "mjpg"}));
    EXPECT_EQ(sent.at(1), (QJsonArray{320, 240, "mjpg"}));
    EXPECT_EQ(sent.at(2), (QJsonArray{640, 480, "mjpg"}));
}

}  // namespace
