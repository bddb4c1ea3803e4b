// The sensor commands of the daemon's own table against a robot on the wire: what the robot
// publishes shows in the replies, and the outputs a request sets reach the robot.
#include <gtest/gtest.h>

#include <QJsonArray>

#include "DaemonEnvironment.h"
#include "Fcgi.h"
#include "TestRobot.h"
#include "Wait.h"
#include "frame/Client.h"

using testsupport::DaemonEnvironment;
using testsupport::TestRobot;
using testsupport::waitFor;

namespace {

// One argument that is itself an array (braces alone would copy rather than nest it).
QJsonArray nested(const QJsonArray& inner) {
    QJsonArray outer;
    outer.append(inner);
    return outer;
}

QByteArray dump(const json_t* value) { return jsonDump(value, JSON_COMPACT | JSON_ENCODE_ANY); }

class SensorRobotTest : public ::testing::Test {
protected:
    void SetUp() override {
        env().fcgi();
        ASSERT_TRUE(m_robot.isListening());
        env().client().setAddress(m_robot.address());
        env().client().connectToServer();
        ASSERT_TRUE(waitFor([this] {
            return env().client().isConnected() &&
                   m_robot.isSwitchedOn(QStringLiteral("set_relay_array"));
        }));
    }
    void TearDown() override {
        env().client().disconnectFromServer();
        waitFor([] { return !env().client().isConnected(); });
    }
    static DaemonEnvironment& env() { return DaemonEnvironment::instance(); }

    QList<QJsonArray> digitalSent() const {
        return m_robot.commands(QStringLiteral("set_digital_output_array"));
    }
    QList<QJsonArray> relaysSent() const {
        return m_robot.commands(QStringLiteral("set_relay_array"));
    }

    TestRobot m_robot;
};

TEST_F(SensorRobotTest, OutputArraySplitsIntoOutputsAndRelaysByPosition) {
    struct Case {
        const char* output;
        QJsonArray digital;
        QJsonArray relays;
    };
    const Case cases[] = {
        {"[1,0,1,1,0,0,0,0,1,0]",
         {true, false, true, true, false, false, false, false},
         {true, false}},
        // Skipped elements shift the later outputs down; positions 8 and up stay relays.
        {"[\"1\",1]", {true}, {}},
        {"[1.0,2,1,true,null,1,{},[1]]", {false, true, true}, {}},
        {"[1,1,1,\"x\",1,1,1,1,0,1]", {true, true, true, true, true, true, true}, {false, true}},
        {"[0,0,0,0,0,0,0,0,\"r\",1,-1,7]",
         {false, false, false, false, false, false, false, false},
         {true, false, false}},
        {"[]", {}, {}},
    };
    int sent = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.output);
        const JsonPtr reply = env().requestJson(
            QByteArray("{\"TYPE\":\"getIOBoardInfo\",\"output\":") + c.output + "}");
        ASSERT_TRUE(reply);
        EXPECT_STREQ(json_string_value(json_object_get(reply.get(), "TYPE")), "DATA");
        ++sent;
        ASSERT_TRUE(waitFor([&] { return relaysSent().size() == sent; }));
        ASSERT_EQ(digitalSent().size(), sent);
        EXPECT_EQ(digitalSent().last(), nested(c.digital));
        EXPECT_EQ(relaysSent().last(), nested(c.relays));
    }
    // Without an array nothing is sent; commands travel in order, so the marker sent after
    // these requests arrives after anything they might have sent.
    for (const char* output :
         {"", ",\"output\":1", ",\"output\":\"[1]\"", ",\"output\":{\"0\":1}"}) {
        const JsonPtr reply =
            env().requestJson(QByteArray("{\"TYPE\":\"getIOBoardInfo\"") + output + "}");
        EXPECT_TRUE(json_is_array(json_object_get(reply.get(), "digitalout"))) << output;
    }
    env().requestJson("{\"TYPE\":\"getIOBoardInfo\",\"output\":[0]}");
    ASSERT_TRUE(waitFor([&] { return relaysSent().size() == sent + 1; }));
    EXPECT_EQ(digitalSent().size(), sent + 1);
    EXPECT_EQ(digitalSent().last(), nested({false}));
}

TEST_F(SensorRobotTest, PublishedValuesShowInTheReplies) {
    const QByteArray io = "{\"TYPE\":\"getIOBoardInfo\"}";
    const QByteArray battery = "{\"TYPE\":\"getBatteryInfo\"}";
    const QByteArray distance = "{\"TYPE\":\"getDistance\"}";
    auto field = [](const QByteArray& query, const char* key) {
        return dump(json_object_get(DaemonEnvironment::instance().requestJson(query).get(), key));
    };

    m_robot.publish(QStringLiteral("digital_input"), nested({true, false, true}));
    m_robot.publish(QStringLiteral("analog_input"), nested({1.5, 0.25}));
    m_robot.publish(QStringLiteral("set_digital_output_array"), nested({false, true}));
    m_robot.publish(QStringLiteral("set_relay_array"), nested({true}));
    EXPECT_TRUE(waitFor([&] { return field(io, "relay") == "[1]"; }));
    EXPECT_EQ(field(io, "digital"), "[1,0,1]");
    EXPECT_EQ(field(io, "analog"), "[1.5,0.25]");
    EXPECT_EQ(field(io, "digitalout"), "[0,1]");

    m_robot.publish(QStringLiteral("battery"),
                    {24.5, 1.5, true, 1, QStringLiteral("LiFePO4"), false, 3});
    for (int i = 0; i < 3; ++i) {
        m_robot.publish(QStringLiteral("charger%1_info").arg(i),
                        {100 + i, 25.5, 0.5, 30.5, 31.5, 2, QStringLiteral("state %1").arg(i)});
        m_robot.publish(QStringLiteral("charger%1_version").arg(i), {i, i + 1, i + 2});
    }
    // One value per connection: battery, and each charger's information and version.
    EXPECT_TRUE(waitFor([&] { return field(battery, "c2_patch") == "4"; }));
    EXPECT_EQ(field(battery, "batteryType") + field(battery, "ext_power"), "\"LiFePO4\"1.0");
    for (int i = 0; i < 3; ++i) {
        const QByteArray c = "c" + QByteArray::number(i) + "_";
        EXPECT_EQ(field(battery, c + "time") + field(battery, c + "major"),
                  QByteArray::number(100 + i) + ".0" + QByteArray::number(i));
    }

    m_robot.publish(QStringLiteral("distance_sensors"),
                    nested({0.3, 0.3, 0.3, 0.3, 0.3, 0.3, 0.3, 0.3, 0.3}));
    EXPECT_TRUE(waitFor([&] { return field(distance, "dist").startsWith("[40.0,"); }));

    ASSERT_TRUE(waitFor([&] { return field(distance, "bumpTime").toInt() >= 300; }));
    m_robot.publish(QStringLiteral("bumper"), {false});
    testsupport::spin(50);
    EXPECT_GE(field(distance, "bumpTime").toInt(), 300);
    m_robot.publish(QStringLiteral("bumper"), {true});
    EXPECT_TRUE(waitFor([&] { return field(distance, "bumpTime").toInt() < 300; }));

    EXPECT_FALSE(env().logText().contains(QStringLiteral("connectionCheckCode")));
}

}  // namespace
