// The robot client on the wire: switches before is_connected and renewed after a robot restart,
// commands encoded and kept in order from any thread, dropped while disconnected; every topic
// decoded into its signal, and misshapen publications ignored without losing the connection; the
// line reader and message parser under it; the parameter store.
#include <gtest/gtest.h>

#include <atomic>
#include <limits>
#include <thread>

#include "E2e.h"
#include "TestRobot.h"
#include "Wait.h"
#include "kel/corvanta/rpc/Client.h"
#include "kel/rpc/LineReader.h"
#include "kel/rpc/Message.h"

using namespace testsupport;
using C = kel::corvanta::rpc::Client;

namespace {

template <typename T>
QString text(T value) {
    return QString::number(value);
}
QString text(const QString& value) { return value; }
QString text(const QByteArray& value) { return QString::fromLatin1(value.toHex()); }
template <typename T>
QString text(const QVector<T>& values) {
    QStringList parts;
    for (const T& value : values) parts << text(value);
    return parts.join(',');
}

// A client of a test robot that records the topic signals as texts ("bumper 1", "odometry 1.25
// -2.5 ...", vectors comma-separated, image bytes in hex), and counts connects and disconnects. A
// topic wired to another signal loses its line.
class ClientTest : public ::testing::Test {
protected:
    ClientTest() {
        QObject::connect(&m_client, &C::is_connected, [this] { ++m_connects; });
        QObject::connect(&m_client, &C::is_disconnected, [this] { ++m_disconnects; });
        record(&C::odometry_changed, "odometry");
        record(&C::distance_sensors_changed, "distance_sensors");
        record(&C::bumper_changed, "bumper");
        record(&C::battery_changed, "battery");
        record(&C::charger1_info_changed, "charger1_info");
        record(&C::charger2_version_changed, "charger2_version");
        record(&C::digital_input_changed, "digital_input");
        record(&C::analog_input_changed, "analog_input");
        record(&C::set_digital_output_array_changed, "set_digital_output_array");
        record(&C::set_relay_array_changed, "set_relay_array");
        record(&C::image0_changed, "image0");
        record(&C::logLevelChanged, "set_log_level");
        m_client.setAutoReconnectEnabled(true, 100);
        m_client.setAddress(m_robot.address());
    }
    template <typename... A>
    void record(void (C::*signal)(A...), const char* name) {
        QObject::connect(&m_client, signal, [this, name](A... args) {
            QStringList parts{QString::fromLatin1(name)};
            (parts << ... << text(args));
            m_lines.append(parts.join(' '));
        });
    }
    bool connectClient() {
        m_client.connectToServer(3000);
        return waitFor([this] { return m_client.isConnected() && m_robot.clientCount() == 1; });
    }
    int switchesOn() const {
        int count = 0;
        for (const QJsonObject& m : m_robot.messages()) count += m.value("op") == "enable" && m.value("on").toBool();
        return count;
    }

    TestRobot m_robot;
    C m_client;
    QStringList m_lines;
    int m_connects = 0, m_disconnects = 0;
};

// What the robot makes of the other commands' encodings is pinned by the camera and I/O tests.
TEST_F(ClientTest, SendsDriveCommandsInOrderFromAnyThreadAndDropsThemWhileDisconnected) {
    m_client.set_omnidrive(1, 0, 0);  // not connected yet: dropped
    ASSERT_TRUE(connectClient());
    // A velocity that is not a number stops that axis rather than keeping the old set-point.
    m_client.set_omnidrive(0.1f, -0.25f, 1.5f);
    m_client.set_omnidrive(std::numeric_limits<float>::quiet_NaN(), 0.2f, std::numeric_limits<float>::infinity());
    constexpr int kCount = 300;
    std::thread thread([this] {
        for (int i = 0; i < kCount; ++i) {
            m_client.set_omnidrive(static_cast<float>(i), 0, 0);
            (void)m_client.getParameter("~/Log/verbosity", 0);
        }
    });
    thread.join();  // the sender never waits for the client's thread
    ASSERT_TRUE(waitFor([this] { return m_robot.commands("omnidrive").size() == kCount + 2; }));
    const QList<QJsonArray> drive = m_robot.commands("omnidrive");
    EXPECT_EQ(drive.mid(0, 2), (QList<QJsonArray>{{0.1, -0.25, 1.5}, {0, 0.2, 0}}));
    for (int i = 0; i < kCount; ++i) ASSERT_EQ(drive.at(i + 2).at(0).toInt(), i);

    m_client.disconnectFromServer();
    m_client.set_omnidrive(2, 0, 0);
    m_robot.clearMessages();
    ASSERT_TRUE(connectClient());
    ASSERT_TRUE(m_robot.syncWith(m_client, false));
    EXPECT_TRUE(m_robot.commands("omnidrive").isEmpty());
    EXPECT_EQ(m_disconnects, 1);
}

TEST_F(ClientTest, SwitchesGoFirstOnEveryConnectionAndEveryTopicIsDecodedOrIgnoredWhenMisshapen) {
    // The robot publishes only what is switched on: a setter switching the wrong topic loses its rows.
    for (auto enable : {&C::set_kel_corvanta_rpc_log_enabled, &C::set_kel_corvanta_rpc_odometry_enabled,
                        &C::set_kel_corvanta_rpc_distance_sensors_enabled, &C::set_kel_corvanta_rpc_bumper_enabled,
                        &C::set_kel_corvanta_rpc_battery_enabled, &C::set_kel_corvanta_rpc_charger1_info_enabled,
                        &C::set_kel_corvanta_rpc_charger2_version_enabled,
                        &C::set_kel_corvanta_rpc_digital_input_enabled, &C::set_kel_corvanta_rpc_analog_input_enabled,
                        &C::set_kel_corvanta_rpc_set_digital_output_array_enabled, &C::set_kel_corvanta_rpc_set_relay_array_enabled,
                        &C::set_kel_corvanta_rpc_image0_enabled, &C::set_kel_corvanta_rpc_set_log_level_enabled})
        (m_client.*enable)(true);
    m_client.set_kel_corvanta_rpc_log_enabled(false);
    // The first thing a receiver of is_connected sends goes out after the switches.
    QObject::connect(&m_client, &kel::rpc::Client::is_connected, [this] { m_client.set_omnidrive(0.1f, 0, 0); });
    ASSERT_TRUE(connectClient());
    ASSERT_TRUE(waitFor([this] { return m_robot.messages().size() == 13; }));
    EXPECT_EQ(m_robot.messages().at(12).value("op").toString(), "set");
    EXPECT_EQ(switchesOn(), 12);
    EXPECT_EQ(switchesIn(m_robot.messages(), "log", true), 0);
    const struct {
        const char* topic;
        QJsonArray args;
        const char* signal;  // none: ignored
    } rows[] = {
        {"odometry", {1.25, -2.5, 0.75, 0.5, -0.125, 0.25, 4294967295.0}, "odometry 1.25 -2.5 0.75 0.5 -0.125 0.25 4294967295"},
        {"odometry", {1, 2, 3, 0, 0, 0}, nullptr},        // one argument short
        {"odometry", {1, 2, 3, 0, 0, 0, -1}, nullptr},    // negative sequence
        {"odometry", {1, 2, 3, 0, 0, 0, 1.5}, nullptr},   // fractional sequence
        {"odometry", {1, 2, 3, 1e300, 0, 0, 1}, nullptr}, // beyond float range
        {"distance_sensors", nested({0.5, 1, 1.5, 2, 2.5, 3, 3.5, 4, 4.5}), "distance_sensors 0.5,1,1.5,2,2.5,3,3.5,4,4.5"},
        {"distance_sensors", nested({}), "distance_sensors "},
        {"distance_sensors", nested({1, "2", 3}), nullptr},  // text inside the vector
        {"bumper", {1}, nullptr},  // number for a boolean (the drive tests decode both contacts)
        {"battery", {24.5, 1.5, false, 1, "Pb", true, -3}, "battery 24.5 1.5 0 1 Pb 1 -3"},
        {"battery", {24, 1, false, 1, 7, false, 0}, nullptr},       // number for a text
        {"charger1_info", {60, 25.5, 2.5, 30.5, 31.5, 3, "Charging"}, "charger1_info 60 25.5 2.5 30.5 31.5 3 Charging"},
        {"charger2_version", {1, 2, 3}, "charger2_version 1 2 3"},
        {"digital_input", nested({true, false, false, true}), "digital_input 1,0,0,1"},
        {"digital_input", nested({true, 1}), nullptr},
        {"analog_input", nested({0.25, 9.75}), "analog_input 0.25,9.75"},
        {"set_digital_output_array", nested({false, true}), "set_digital_output_array 0,1"},
        {"set_relay_array", nested({true, true}), "set_relay_array 1,1"},
        {"image0", {"AAEC/w==", 2, 1, 6, "rgb24"}, "image0 000102ff 2 1 6 rgb24"},
        {"image0", {"not base64!", 2, 1, 6, "rgb24"}, nullptr},
        {"set_log_level", {5}, "set_log_level 5"},
        {"set_log_level", {3000000000.0}, nullptr},  // beyond int
        {"bumper", {false}, "bumper 0"},  // the marker: everything before it has been handled
    };
    QStringList expected;
    for (const auto& row : rows) {
        m_robot.publish(row.topic, row.args);
        if (row.signal) expected << row.signal;
    }
    ASSERT_TRUE(waitFor([this] { return m_lines.endsWith("bumper 0"); }));
    EXPECT_EQ(m_lines, expected);
    EXPECT_TRUE(m_client.isConnected());

    // A switch made while connected goes out once, and with the others again after a robot restart.
    m_client.set_kel_corvanta_rpc_charger0_info_enabled(true);
    m_client.set_kel_corvanta_rpc_charger0_info_enabled(true);
    ASSERT_TRUE(m_robot.syncWith(m_client, false));
    EXPECT_EQ(switchesIn(m_robot.messages(), "charger0_info", true), 1);
    m_robot.disconnectClients();
    m_robot.clearMessages();
    ASSERT_TRUE(waitFor([this] { return m_connects == 2 && m_robot.isSwitchedOn("mcstatus"); }));
    EXPECT_EQ(switchesOn(), 14);  // with charger0_info and the marker's mcstatus
    EXPECT_EQ(m_disconnects, 1);
}

TEST(WireTest, LinesJoinWhenSplitAndDropWhenOversizedAndOnlyWellFormedMessagesOfKnownOpsParse) {
    kel::rpc::LineReader reader(16);
    const auto drain = [&reader] {
        QList<QByteArray> lines;
        for (QByteArray line; reader.nextLine(&line);) lines.append(line);
        return lines;
    };
    reader.append("first\nsec");
    EXPECT_EQ(drain(), QList<QByteArray>{"first"});
    reader.append("ond\n\n");
    EXPECT_EQ(drain(), (QList<QByteArray>{"second", ""}));
    reader.append(QByteArray(10, 'a'));
    reader.append(QByteArray(10, 'b'));  // now past the limit without a line feed
    EXPECT_TRUE(drain().isEmpty());
    reader.append(QByteArray(100, 'c') + "\nkept\n" + QByteArray(40, 'd') + "\nalso\n");
    EXPECT_EQ(drain(), (QList<QByteArray>{"kept", "also"}));
    EXPECT_EQ(reader.droppedLines(), 2);

    kel::rpc::Message message;
    ASSERT_TRUE(kel::rpc::Message::parse(R"({"args":[1,"x"],"topic":"t","op":"set"})", &message));
    EXPECT_EQ(message.op, kel::rpc::Message::Op::Set);
    EXPECT_EQ(message.args, (QJsonArray{1, "x"}));
    for (const char* bad :
         {"", "not json", "[1,2]", R"({"op":"enable","topic":"t"})", R"({"op":"enable","topic":"t","on":1})",
          R"({"op":"set","topic":"t","args":{}})", R"({"op":"publish","topic":"","args":[]})",
          R"({"op":"frobnicate","topic":"t"})", R"({"op":"publish","topic":7,"args":[]})",
          R"({"op":"publish","topic":"t","args":[])"}) {
        EXPECT_FALSE(kel::rpc::Message::parse(bad, &message)) << bad;
    }
}

TEST(ParameterStoreTest, UserFileWinsAndSystemFileFillsTheRest) {
    const QString data = sourceDir() + "/tests/data/rpc/";
    kel::rpc::Client client;
    client.readParameters(data + "system.conf", data + "user.conf");
    const auto get = [&](const char* key) { return client.getParameter(key, "-").toString(); };
    // An entry before any section has no group in its key.
    for (const auto& [key, value] :
         {std::pair("~/Log/verbosity", "4"), {"~/Debug/udpIP", "192.168.0.5"}, {"~/image_request_timeout", "1500"},
          {"~/Debug/missing", "-"}, {"~/ConfigPage/directories", "/opt/taviron/etc;/etc/corvanta"},
          {"~/Text/commas", "left, middle,right"}, {"~/Text/quoted", "kept, as one"}})
        EXPECT_EQ(get(key), value) << key;
    // Read again in another thread meanwhile: no read sees the store half replaced.
    std::atomic<int> wrong{0};
    std::thread thread([&] {
        for (int i = 0; i < 200; ++i) client.readParameters(data + "system.conf", data + "user.conf");
    });
    for (int i = 0; i < 2000; ++i) wrong += get("~/Debug/udpIP") != "192.168.0.5";
    thread.join();
    EXPECT_EQ(wrong.load(), 0);

    // Reading again replaces every value; a missing file or a folder adds nothing.
    client.readParameters(data + "system.conf", "/nonexistent/user.conf");
    EXPECT_EQ(get("~/Log/verbosity"), "1");
    client.readParameters(data, "/nonexistent/user.conf");
    EXPECT_EQ(get("~/Log/verbosity"), "-");
}

}  // namespace
