#include <gtest/gtest.h>

#include <QElapsedTimer>
#include <QHostAddress>
#include <QTcpServer>
#include <QThread>
#include <thread>
#include <limits>

#include "TestRobot.h"
#include "Wait.h"
#include "kel/corvanta/rpc/Client.h"
#include "kel/rpc/Server.h"

namespace {

using testsupport::spin;
using testsupport::TestRobot;
using testsupport::waitFor;

quint16 unusedPort() {
    QTcpServer probe;
    probe.listen(QHostAddress::LocalHost, 0);
    return probe.serverPort();
}

// One argument that is itself an array (braces alone would copy rather than nest it).
QJsonArray nested(const QJsonArray& inner) {
    QJsonArray outer;
    outer.append(inner);
    return outer;
}

QStringList enabledTopics(const QList<QJsonObject>& messages) {
    QStringList topics;
    for (const QJsonObject& m : messages) {
        if (m.value("op").toString() == "enable" && m.value("on").toBool()) {
            topics.append(m.value("topic").toString());
        }
    }
    return topics;
}

class ClientTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(m_robot.isListening());
        m_client.setAutoReconnectEnabled(true, 100);
        m_client.setAddress(m_robot.address());
        QObject::connect(&m_client, &kel::rpc::Client::is_connected, [this] { ++m_connects; });
        QObject::connect(&m_client, &kel::rpc::Client::is_disconnected,
                         [this] { ++m_disconnects; });
    }
    bool connectClient() {
        m_client.connectToServer(3000);
        return waitFor([this] { return m_client.isConnected() && m_robot.clientCount() == 1; });
    }

    TestRobot m_robot;
    kel::corvanta::rpc::Client m_client;
    int m_connects = 0;
    int m_disconnects = 0;
};

TEST_F(ClientTest, SendsItsSwitchesInOrderBeforeReportingConnected) {
    m_client.set_kel_corvanta_rpc_log_enabled(true);
    m_client.set_kel_corvanta_rpc_bumper_enabled(true);
    m_client.set_kel_corvanta_rpc_odometry_enabled(true);
    m_client.set_kel_corvanta_rpc_log_enabled(false);
    // The first thing a receiver of is_connected sends goes out after the switches.
    QObject::connect(&m_client, &kel::rpc::Client::is_connected,
                     [this] { m_client.set_omnidrive(0.1f, 0, 0); });
    ASSERT_TRUE(connectClient());
    ASSERT_TRUE(waitFor([this] { return m_robot.messages().size() == 3; }));
    const QList<QJsonObject> messages = m_robot.messages();
    EXPECT_EQ(enabledTopics(messages), (QStringList{"bumper", "odometry"}));
    EXPECT_EQ(messages.at(2).value("op").toString(), "set");
    EXPECT_EQ(m_connects, 1);
    EXPECT_EQ(m_disconnects, 0);
    EXPECT_TRUE(m_robot.isSwitchedOn("bumper"));
    EXPECT_FALSE(m_robot.isSwitchedOn("log"));
}

TEST_F(ClientTest, TellsTheServerOfSwitchChangesWhileConnected) {
    ASSERT_TRUE(connectClient());
    m_client.set_kel_corvanta_rpc_image0_enabled(true);
    m_client.set_kel_corvanta_rpc_image0_enabled(true);
    ASSERT_TRUE(waitFor([this] { return m_robot.isSwitchedOn("image0"); }));
    m_client.set_kel_corvanta_rpc_image0_enabled(false);
    ASSERT_TRUE(waitFor([this] { return !m_robot.isSwitchedOn("image0"); }));
    spin(30);
    // Repeating a switch that is already on sends nothing.
    EXPECT_EQ(m_robot.messages().size(), 2);
}

TEST_F(ClientTest, EncodesTheFourCommands) {
    ASSERT_TRUE(connectClient());
    m_client.set_omnidrive(0.1f, -0.25f, 1.5f);
    m_client.set_omnidrive(std::numeric_limits<float>::quiet_NaN(), 0.2f,
                           std::numeric_limits<float>::infinity());
    m_client.set_set_camera0_settings(640, 480, "mjpg");
    m_client.set_set_digital_output_array({true, false, true});
    m_client.set_set_relay_array({false, true});
    ASSERT_TRUE(waitFor([this] { return m_robot.commands("set_relay_array").size() == 1; }));
    const QList<QJsonArray> drive = m_robot.commands("omnidrive");
    ASSERT_EQ(drive.size(), 2);
    EXPECT_EQ(drive.at(0), (QJsonArray{0.1, -0.25, 1.5}));
    // A velocity that is not a number stops that axis rather than keeping the old set-point.
    EXPECT_EQ(drive.at(1), (QJsonArray{0, 0.2, 0}));
    EXPECT_EQ(m_robot.commands("set_camera0_settings"),
              QList<QJsonArray>{(QJsonArray{640, 480, "mjpg"})});
    EXPECT_EQ(m_robot.commands("set_digital_output_array"),
              QList<QJsonArray>{nested({true, false, true})});
    EXPECT_EQ(m_robot.commands("set_relay_array"), QList<QJsonArray>{nested({false, true})});
}

TEST_F(ClientTest, DeliversCommandsFromAnotherThreadInOrder) {
    ASSERT_TRUE(connectClient());
    constexpr int kCount = 300;
    std::thread thread([this] {
        for (int i = 0; i < kCount; ++i) {
            m_client.set_omnidrive(static_cast<float>(i), 0, 0);
            if (i % 100 == 0) m_client.set_set_relay_array({i % 200 == 0});
            if (!m_client.isConnected()) return;
            (void)m_client.getParameter("~/Log/verbosity", 0);
        }
    });
    thread.join();  // the sender never waits for the client's thread
    ASSERT_TRUE(waitFor([this] { return m_robot.commands("omnidrive").size() == kCount; }));
    const QList<QJsonArray> drive = m_robot.commands("omnidrive");
    for (int i = 0; i < kCount; ++i) ASSERT_EQ(drive.at(i).at(0).toInt(), i);
    EXPECT_EQ(m_robot.commands("set_relay_array").size(), 3);
}

TEST_F(ClientTest, DropsCommandsWhileDisconnected) {
    m_client.set_omnidrive(1, 0, 0);
    m_client.set_set_relay_array({true});
    ASSERT_TRUE(connectClient());
    spin(50);
    EXPECT_TRUE(m_robot.commands("omnidrive").isEmpty());
    EXPECT_TRUE(m_robot.commands("set_relay_array").isEmpty());

    m_client.disconnectFromServer();
    EXPECT_FALSE(m_client.isConnected());
    m_client.set_omnidrive(2, 0, 0);
    spin(50);
    EXPECT_TRUE(m_robot.commands("omnidrive").isEmpty());
    EXPECT_EQ(m_disconnects, 1);
    // No reconnection after an explicit disconnect.
    EXPECT_EQ(m_connects, 1);
}

TEST_F(ClientTest, ReconnectsPromptlyAndRenewsSwitchesAfterRobotRestart) {
    m_client.setAutoReconnectEnabled(true, 1000);
    m_client.set_kel_corvanta_rpc_bumper_enabled(true);
    ASSERT_TRUE(connectClient());
    ASSERT_TRUE(waitFor([this] { return m_robot.isSwitchedOn("bumper"); }));
    m_client.set_kel_corvanta_rpc_battery_enabled(true);  // remembered for the next connection
    ASSERT_TRUE(waitFor([this] { return m_robot.isSwitchedOn("battery"); }));

    QElapsedTimer timer;
    timer.start();
    m_robot.disconnectClients();
    ASSERT_TRUE(waitFor([this] { return m_disconnects == 1; }));
    EXPECT_FALSE(m_client.isConnected());
    ASSERT_TRUE(waitFor([this] { return m_connects == 2 && m_robot.isSwitchedOn("battery"); }));
    EXPECT_LT(timer.elapsed(), 3000);
    EXPECT_TRUE(m_robot.isSwitchedOn("bumper"));
    EXPECT_EQ(enabledTopics(m_robot.messages()),
              (QStringList{"bumper", "battery", "bumper", "battery"}));
}

TEST_F(ClientTest, ReportsOneDisconnectWhileTheRobotIsDownAndReconnectsWhenItIsBack) {
    auto server = std::make_unique<kel::rpc::Server>();
    ASSERT_TRUE(server->listen(QHostAddress::LocalHost, 0));
    const quint16 port = server->serverPort();
    m_client.setAddress(QStringLiteral("127.0.0.1:%1").arg(port));
    m_client.set_kel_corvanta_rpc_odometry_enabled(true);
    m_client.connectToServer(3000);
    ASSERT_TRUE(waitFor([&] { return m_connects == 1 && server->anySubscribed("odometry"); }));

    server.reset();
    ASSERT_TRUE(waitFor([this] { return m_disconnects == 1; }));
    spin(400);  // several failed attempts at 100 ms
    EXPECT_EQ(m_disconnects, 1);
    EXPECT_EQ(m_connects, 1);

    server = std::make_unique<kel::rpc::Server>();
    ASSERT_TRUE(server->listen(QHostAddress::LocalHost, port));
    ASSERT_TRUE(waitFor([&] { return m_connects == 2 && server->anySubscribed("odometry"); }));
    EXPECT_EQ(m_disconnects, 1);
}

TEST_F(ClientTest, ReportsNothingWhenItNeverConnects) {
    m_client.setAddress(QStringLiteral("127.0.0.1:%1").arg(unusedPort()));
    m_client.connectToServer(3000);
    spin(400);
    EXPECT_EQ(m_connects, 0);
    EXPECT_EQ(m_disconnects, 0);
    EXPECT_FALSE(m_client.isConnected());

    // An address without a usable port is retried like a failed connection, without a crash.
    m_client.setAddress("no-port-here");
    m_client.connectToServer(3000);
    spin(250);
    m_client.setAddress(m_robot.address());
    ASSERT_TRUE(waitFor([this] { return m_connects == 1; }));
}

}  // namespace
