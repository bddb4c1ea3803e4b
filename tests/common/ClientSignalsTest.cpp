#include <gtest/gtest.h>

#include <QHostAddress>
#include <QTcpServer>
#include <QTcpSocket>

#include "TestRobot.h"
#include "Wait.h"
#include "kel/corvanta/rpc/Client.h"

namespace {

using Client = kel::corvanta::rpc::Client;
using testsupport::spin;
using testsupport::TestRobot;
using testsupport::waitFor;

const QStringList kTopics = {"odometry",        "distance_sensors", "bumper",
                             "battery",         "charger0_info",    "charger1_info",
                             "charger2_info",   "charger0_version", "charger2_version",
                             "digital_input",   "analog_input",     "set_digital_output_array",
                             "set_relay_array", "image0",           "set_log_level"};

// One argument that is itself an array (braces alone would copy rather than nest it).
QJsonArray nested(const QJsonArray& inner) {
    QJsonArray outer;
    outer.append(inner);
    return outer;
}

/// Records every topic signal of the client as "name: args" texts.
class SignalLog {
public:
    explicit SignalLog(Client* c) {
        QObject::connect(c, &Client::odometry_changed,
                         [this](double x, double y, double phi, float vx, float vy, float omega,
                                unsigned int seq) {
                             add(QStringLiteral("odometry %1 %2 %3 %4 %5 %6 %7")
                                     .arg(x)
                                     .arg(y)
                                     .arg(phi)
                                     .arg(vx)
                                     .arg(vy)
                                     .arg(omega)
                                     .arg(seq));
                         });
        QObject::connect(c, &Client::distance_sensors_changed,
                         [this](const QVector<float>& v) { add("distance " + floats(v)); });
        QObject::connect(c, &Client::bumper_changed,
                         [this](bool b) { add(QStringLiteral("bumper %1").arg(b)); });
        QObject::connect(
            c, &Client::battery_changed,
            [this](float v, float i, bool ext, int n, const QString& type, bool low, int counter) {
                add(QStringLiteral("battery %1 %2 %3 %4 %5 %6 %7")
                        .arg(v)
                        .arg(i)
                        .arg(ext)
                        .arg(n)
                        .arg(type)
                        .arg(low)
                        .arg(counter));
            });
        auto info = [this](int n) {
            return [this, n](unsigned int t, float v, float i, float t1, float t2, int state,
                             const QString& text) {
                add(QStringLiteral("charger%1_info %2 %3 %4 %5 %6 %7 %8")
                        .arg(n)
                        .arg(t)
                        .arg(v)
                        .arg(i)
                        .arg(t1)
                        .arg(t2)
                        .arg(state)
                        .arg(text));
            };
        };
        QObject::connect(c, &Client::charger0_info_changed, info(0));
        QObject::connect(c, &Client::charger1_info_changed, info(1));
        QObject::connect(c, &Client::charger2_info_changed, info(2));
        auto version = [this](int n) {
            return [this, n](int a, int b, int p) {
                add(QStringLiteral("charger%1_version %2.%3.%4").arg(n).arg(a).arg(b).arg(p));
            };
        };
        QObject::connect(c, &Client::charger0_version_changed, version(0));
        QObject::connect(c, &Client::charger1_version_changed, version(1));
        QObject::connect(c, &Client::charger2_version_changed, version(2));
        QObject::connect(c, &Client::digital_input_changed,
                         [this](const QVector<bool>& v) { add("din " + bools(v)); });
        QObject::connect(c, &Client::analog_input_changed,
                         [this](const QVector<float>& v) { add("ain " + floats(v)); });
        QObject::connect(c, &Client::set_digital_output_array_changed,
                         [this](const QVector<bool>& v) { add("dout " + bools(v)); });
        QObject::connect(c, &Client::set_relay_array_changed,
                         [this](const QVector<bool>& v) { add("relay " + bools(v)); });
        QObject::connect(c, &Client::image0_changed,
                         [this](const QByteArray& data, unsigned int w, unsigned int h,
                                unsigned int step, const QString& format) {
                             add(QStringLiteral("image %1 %2 %3 %4 %5")
                                     .arg(QString::fromLatin1(data.toHex()))
                                     .arg(w)
                                     .arg(h)
                                     .arg(step)
                                     .arg(format));
                         });
        QObject::connect(c, &Client::logLevelChanged,
                         [this](int level) { add(QStringLiteral("loglevel %1").arg(level)); });
    }
    QStringList lines;

private:
    void add(const QString& line) { lines.append(line); }
    static QString floats(const QVector<float>& v) {
        QStringList parts;
        for (float f : v) parts.append(QString::number(f));
        return parts.join(',');
    }
    static QString bools(const QVector<bool>& v) {
        QString text;
        for (bool b : v) text += b ? '1' : '0';
        return text;
    }
};

class ClientSignalsTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(m_robot.isListening());
        m_client.setAddress(m_robot.address());
        m_client.set_kel_corvanta_rpc_odometry_enabled(true);
        m_client.set_kel_corvanta_rpc_distance_sensors_enabled(true);
        m_client.set_kel_corvanta_rpc_bumper_enabled(true);
        m_client.set_kel_corvanta_rpc_battery_enabled(true);
        m_client.set_kel_corvanta_rpc_charger0_info_enabled(true);
        m_client.set_kel_corvanta_rpc_charger1_info_enabled(true);
        m_client.set_kel_corvanta_rpc_charger2_info_enabled(true);
        m_client.set_kel_corvanta_rpc_charger0_version_enabled(true);
        m_client.set_kel_corvanta_rpc_charger2_version_enabled(true);
        m_client.set_kel_corvanta_rpc_digital_input_enabled(true);
        m_client.set_kel_corvanta_rpc_analog_input_enabled(true);
        m_client.set_kel_corvanta_rpc_set_digital_output_array_enabled(true);
        m_client.set_kel_corvanta_rpc_set_relay_array_enabled(true);
        m_client.set_kel_corvanta_rpc_image0_enabled(true);
        m_client.set_kel_corvanta_rpc_set_log_level_enabled(true);
        m_client.connectToServer(3000);
        ASSERT_TRUE(waitFor([this] {
            for (const QString& topic : kTopics) {
                if (!m_robot.isSwitchedOn(topic)) return false;
            }
            return m_client.isConnected();
        }));
    }

    TestRobot m_robot;
    Client m_client;
    SignalLog m_log{&m_client};
};

TEST_F(ClientSignalsTest, EmitsEveryTopicWithItsArgumentsInOrder) {
    m_robot.publish("odometry", {1.25, -2.5, 0.75, 0.5, -0.125, 0.25, 4294967295.0});
    m_robot.publish("distance_sensors", nested({0.5, 1, 1.5, 2, 2.5, 3, 3.5, 4, 4.5}));
    m_robot.publish("bumper", {true});
    m_robot.publish("battery", {24.5, 1.5, false, 1, "Pb", true, -3});
    m_robot.publish("charger1_info", {60, 25.5, 2.5, 30.5, 31.5, 3, "Charging"});
    m_robot.publish("charger2_version", {1, 2, 3});
    m_robot.publish("digital_input", nested({true, false, false, true}));
    m_robot.publish("analog_input", nested({0.25, 9.75}));
    m_robot.publish("set_digital_output_array", nested({false, true}));
    m_robot.publish("set_relay_array", nested({true, true}));
    m_robot.publish("image0", {"AAEC/w==", 2, 1, 6, "rgb24"});
    m_robot.publish("set_log_level", {5});
    m_robot.publish("distance_sensors", nested({}));
    ASSERT_TRUE(waitFor([this] { return m_log.lines.size() == 13; }));
    EXPECT_EQ(m_log.lines, (QStringList{
                               "odometry 1.25 -2.5 0.75 0.5 -0.125 0.25 4294967295",
                               "distance 0.5,1,1.5,2,2.5,3,3.5,4,4.5",
                               "bumper 1",
                               "battery 24.5 1.5 0 1 Pb 1 -3",
                               "charger1_info 60 25.5 2.5 30.5 31.5 3 Charging",
                               "charger2_version 1.2.3",
                               "din 1001",
                               "ain 0.25,9.75",
                               "dout 01",
                               "relay 11",
                               "image 000102ff 2 1 6 rgb24",
                               "loglevel 5",
                               "distance ",
                           }));
}

TEST_F(ClientSignalsTest, IgnoresPublicationsOfTheWrongShape) {
    const QList<QPair<QString, QJsonArray>> bad = {
        {"odometry", {1, 2, 3, 0, 0, 0}},                  // one argument short
        {"odometry", {1, 2, 3, 0, 0, 0, -1}},              // negative sequence
        {"odometry", {1, 2, 3, 0, 0, 0, 1.5}},             // fractional sequence
        {"odometry", {1, 2, 3, 1e300, 0, 0, 1}},           // beyond float range
        {"bumper", {1}},                                   // number for a boolean
        {"bumper", {true, false}},                         // too many
        {"battery", {24, 1, false, 1.5, "Pb", false, 0}},  // fractional integer
        {"battery", {24, 1, false, 1, 7, false, 0}},       // number for a text
        {"charger0_info", {-1, 0, 0, 0, 0, 0, "x"}},       // negative time
        {"charger0_version", {1, 2, "3"}},
        {"distance_sensors", nested({1, "2", 3})},  // text inside the vector
        {"distance_sensors", {1, 2, 3}},            // not a vector
        {"digital_input", nested({true, 1})},
        {"set_relay_array", {QJsonArray{true}, QJsonArray{true}}},
        {"image0", {"not base64!", 2, 1, 6, "rgb24"}},
        {"image0", {"AAEC", 2, 1, 6}},
        {"set_log_level", {"5"}},
        {"set_log_level", {3000000000.0}},  // beyond int
        {"no_such_topic", {1}},
    };
    for (const auto& publication : bad) m_robot.publish(publication.first, publication.second);
    m_robot.publish("bumper", {false});  // the marker: everything before it has been handled
    ASSERT_TRUE(waitFor([this] { return !m_log.lines.isEmpty(); }));
    spin(30);
    EXPECT_EQ(m_log.lines, QStringList{"bumper 0"});
    EXPECT_TRUE(m_client.isConnected());
}

TEST(ClientRawLinesTest, IgnoresMalformedLinesWithoutDroppingTheConnection) {
    QTcpServer server;
    ASSERT_TRUE(server.listen(QHostAddress::LocalHost, 0));
    Client client;
    SignalLog log(&client);
    int disconnects = 0;
    QObject::connect(&client, &Client::is_disconnected, [&] { ++disconnects; });
    client.setAddress(QStringLiteral("127.0.0.1:%1").arg(server.serverPort()));
    client.connectToServer(3000);
    ASSERT_TRUE(waitFor([&] { return server.hasPendingConnections() && client.isConnected(); }));
    std::unique_ptr<QTcpSocket> socket(server.nextPendingConnection());
    socket->write(
        "hello\n{\"op\":\"publish\"}\n[true]\n\n{\"op\":\"publish\",\"topic\":\"bumper\","
        "\"args\":true}\n{\"op\":\"poke\",\"topic\":\"bumper\",\"args\":[true]}\n"
        "{\"op\":\"publish\",\"topic\":\"bumper\",\"args\":[tr");
    socket->flush();
    spin(30);
    socket->write(
        "ue]}\n\x80\xff\n{\"op\":\"publish\",\"topic\":\"set_log_level\",\"args\":[2]}\n");
    ASSERT_TRUE(waitFor([&] { return log.lines.size() == 2; }));
    EXPECT_EQ(log.lines, (QStringList{"bumper 1", "loglevel 2"}));
    EXPECT_TRUE(client.isConnected());
    EXPECT_EQ(disconnects, 0);
}

}  // namespace
