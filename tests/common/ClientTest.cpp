// The robot client on the wire: switches before is_connected and renewed after a robot restart,
// commands encoded and kept in order from any thread, dropped while disconnected; every topic
// decoded into its signal, and misshapen publications ignored without losing the connection; the
// line reader and message parser under it; the parameter store.
#include <gtest/gtest.h>

#include <atomic>
#include <limits>
#include <thread>

#include "TestRobot.h"
#include "Wait.h"
#include "E2e.h"
#include "kel/corvanta/rpc/Client.h"
#include "kel/rpc/LineReader.h"
#include "kel/rpc/Message.h"

using namespace testsupport;

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

/// Records what a robot client reports: every topic signal as a text ("bumper 1",
/// "odometry 1.25 -2.5 ...", vectors comma-separated, image bytes in hex), the connects and disconnects.
struct ClientRecorder {
    using C = kel::corvanta::rpc::Client;
    QStringList lines;
    int connects = 0;
    int disconnects = 0;
    C* client;
    template <typename... A>
    void record(void (C::*signal)(A...), const char* name) {
        QObject::connect(client, signal, client, [this, name](A... args) {
            QStringList parts{QString::fromLatin1(name)};
            (parts << ... << text(args));
            lines.append(parts.join(' '));
        });
    }
    explicit ClientRecorder(C* c) : client(c) {
        QObject::connect(c, &C::is_connected, c, [this] { ++connects; });
        QObject::connect(c, &C::is_disconnected, c, [this] { ++disconnects; });
        record(&C::odometry_changed, "odometry");
        record(&C::distance_sensors_changed, "distance_sensors");
        record(&C::bumper_changed, "bumper");
        record(&C::battery_changed, "battery");
        record(&C::charger0_info_changed, "charger0_info");
        record(&C::charger1_info_changed, "charger1_info");
        record(&C::charger2_info_changed, "charger2_info");
        record(&C::charger0_version_changed, "charger0_version");
        record(&C::charger1_version_changed, "charger1_version");
        record(&C::charger2_version_changed, "charger2_version");
        record(&C::digital_input_changed, "digital_input");
        record(&C::analog_input_changed, "analog_input");
        record(&C::set_digital_output_array_changed, "set_digital_output_array");
        record(&C::set_relay_array_changed, "set_relay_array");
        record(&C::image0_changed, "image0");
        record(&C::logLevelChanged, "set_log_level");
    }
};

class ClientTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(m_robot.isListening());
        m_client.setAutoReconnectEnabled(true, 100);
        m_client.setAddress(m_robot.address());
    }
    bool connectClient() {
        m_client.connectToServer(3000);
        return waitFor([this] { return m_client.isConnected() && m_robot.clientCount() == 1; });
    }
    /// Waits until everything sent before has reached the robot.
    bool marker() { return m_robot.syncWith(m_client, false); }
    QStringList switchedOn() const {
        QStringList topics;
        for (const QJsonObject& m : m_robot.messages()) {
            if (m.value("op").toString() == "enable" && m.value("on").toBool()) topics << m.value("topic").toString();
        }
        return topics;
    }

    TestRobot m_robot;
    kel::corvanta::rpc::Client m_client;
    ClientRecorder m_recorder{&m_client};
};

TEST_F(ClientTest, SendsItsSwitchesBeforeReportingConnectedAndRenewsThemAfterARestart) {
    m_client.set_kel_corvanta_rpc_log_enabled(true);
    m_client.set_kel_corvanta_rpc_bumper_enabled(true);
    m_client.set_kel_corvanta_rpc_log_enabled(false);
    // The first thing a receiver of is_connected sends goes out after the switches.
    QObject::connect(&m_client, &kel::rpc::Client::is_connected, [this] { m_client.set_omnidrive(0.1f, 0, 0); });
    ASSERT_TRUE(connectClient());
    ASSERT_TRUE(waitFor([this] { return m_robot.messages().size() == 2; }));
    EXPECT_EQ(switchedOn(), QStringList{"bumper"});
    EXPECT_EQ(m_robot.messages().at(1).value("op").toString(), "set");
    m_client.set_kel_corvanta_rpc_battery_enabled(true);  // while connected, and for the next connection
    m_client.set_kel_corvanta_rpc_battery_enabled(true);  // repeating a switch sends nothing
    ASSERT_TRUE(marker());
    EXPECT_EQ(switchedOn(), (QStringList{"bumper", "battery", "mcstatus"}));

    m_robot.disconnectClients();
    m_robot.clearMessages();
    ASSERT_TRUE(waitFor([this] { return m_recorder.connects == 2 && m_robot.isSwitchedOn("mcstatus"); }));
    EXPECT_EQ(switchedOn(), (QStringList{"bumper", "battery", "mcstatus"}));
    EXPECT_EQ(m_recorder.disconnects, 1);
}

TEST_F(ClientTest, EncodesTheCommandsAndDropsThemWhileDisconnected) {
    m_client.set_omnidrive(1, 0, 0);  // not connected yet: dropped
    ASSERT_TRUE(connectClient());
    m_client.set_omnidrive(0.1f, -0.25f, 1.5f);
    m_client.set_omnidrive(std::numeric_limits<float>::quiet_NaN(), 0.2f, std::numeric_limits<float>::infinity());
    m_client.set_set_camera0_settings(640, 480, "mjpg");
    m_client.set_set_digital_output_array({true, false, true});
    m_client.set_set_relay_array({false, true});
    ASSERT_TRUE(marker());
    // A velocity that is not a number stops that axis rather than keeping the old set-point.
    EXPECT_EQ(m_robot.commands("omnidrive"), (QList<QJsonArray>{{0.1, -0.25, 1.5}, {0, 0.2, 0}}));
    EXPECT_EQ(m_robot.commands("set_camera0_settings"), QList<QJsonArray>{(QJsonArray{640, 480, "mjpg"})});
    EXPECT_EQ(m_robot.commands("set_digital_output_array"), QList<QJsonArray>{nested({true, false, true})});
    EXPECT_EQ(m_robot.commands("set_relay_array"), QList<QJsonArray>{nested({false, true})});

    m_client.disconnectFromServer();
    m_client.set_omnidrive(2, 0, 0);
    m_robot.clearMessages();
    ASSERT_TRUE(connectClient());
    ASSERT_TRUE(marker());
    EXPECT_TRUE(m_robot.commands("omnidrive").isEmpty());
    EXPECT_EQ(m_recorder.disconnects, 1);
}

TEST_F(ClientTest, DeliversCommandsFromAnotherThreadInOrder) {
    ASSERT_TRUE(connectClient());
    constexpr int kCount = 300;
    std::thread thread([this] {
        for (int i = 0; i < kCount; ++i) {
            m_client.set_omnidrive(static_cast<float>(i), 0, 0);
            if (!m_client.isConnected()) return;
            (void)m_client.getParameter("~/Log/verbosity", 0);
        }
    });
    thread.join();  // the sender never waits for the client's thread
    ASSERT_TRUE(waitFor([this] { return m_robot.commands("omnidrive").size() == kCount; }));
    const QList<QJsonArray> drive = m_robot.commands("omnidrive");
    for (int i = 0; i < kCount; ++i) ASSERT_EQ(drive.at(i).at(0).toInt(), i);
}

TEST_F(ClientTest, EmitsEveryTopicWithItsArgumentsAndIgnoresPublicationsOfTheWrongShape) {
    // The robot publishes only what is switched on: a setter switching the wrong topic loses its rows.
    using C = kel::corvanta::rpc::Client;
    for (auto enable : {&C::set_kel_corvanta_rpc_odometry_enabled, &C::set_kel_corvanta_rpc_distance_sensors_enabled,
                        &C::set_kel_corvanta_rpc_bumper_enabled, &C::set_kel_corvanta_rpc_battery_enabled,
                        &C::set_kel_corvanta_rpc_charger1_info_enabled, &C::set_kel_corvanta_rpc_charger0_version_enabled,
                        &C::set_kel_corvanta_rpc_charger2_version_enabled, &C::set_kel_corvanta_rpc_digital_input_enabled,
                        &C::set_kel_corvanta_rpc_analog_input_enabled, &C::set_kel_corvanta_rpc_set_digital_output_array_enabled,
                        &C::set_kel_corvanta_rpc_set_relay_array_enabled, &C::set_kel_corvanta_rpc_image0_enabled,
                        &C::set_kel_corvanta_rpc_set_log_level_enabled})
        (m_client.*enable)(true);
    ASSERT_TRUE(connectClient());
    ASSERT_TRUE(waitFor([this] { return m_robot.isSwitchedOn("set_log_level"); }));
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
        {"distance_sensors", {1, 2, 3}, nullptr},            // not a vector
        {"bumper", {true}, "bumper 1"},
        {"bumper", {1}, nullptr},  // number for a boolean
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
    ASSERT_TRUE(waitFor([this] { return m_recorder.lines.endsWith("bumper 0"); }));
    EXPECT_EQ(m_recorder.lines, expected);
    EXPECT_TRUE(m_client.isConnected());
}

QList<QByteArray> drain(kel::rpc::LineReader* reader) {
    QList<QByteArray> lines;
    QByteArray line;
    while (reader->nextLine(&line)) lines.append(line);
    return lines;
}

TEST(LineReaderTest, JoinsSplitLinesAndDropsOversizedOnes) {
    kel::rpc::LineReader reader(16);
    reader.append("first\nsec");
    EXPECT_EQ(drain(&reader), QList<QByteArray>{"first"});
    reader.append("ond\n\n");
    EXPECT_EQ(drain(&reader), (QList<QByteArray>{"second", ""}));
    reader.append(QByteArray(10, 'a'));
    reader.append(QByteArray(10, 'b'));  // now past the limit without a line feed
    EXPECT_TRUE(drain(&reader).isEmpty());
    reader.append(QByteArray(100, 'c') + "\nkept\n" + QByteArray(40, 'd') + "\nalso\n");
    EXPECT_EQ(drain(&reader), (QList<QByteArray>{"kept", "also"}));
    EXPECT_EQ(reader.droppedLines(), 2);
}

TEST(MessageTest, ParsesOnlyWellFormedMessagesOfKnownOps) {
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

    std::atomic<int> wrong{0};
    std::thread thread([&] {
        for (int i = 0; i < 2000; ++i) wrong += get("~/Log/verbosity") != "4";
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
