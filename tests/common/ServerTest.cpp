#include <gtest/gtest.h>

#include <QHostAddress>
#include <QTcpSocket>
#include <memory>

#include "Wait.h"
#include "kel/rpc/LineReader.h"
#include "kel/rpc/Server.h"

namespace {

using testsupport::spin;
using testsupport::waitFor;

/// A raw protocol peer: writes whatever bytes it is given and collects the lines it receives.
class RawPeer {
public:
    explicit RawPeer(quint16 port) {
        m_socket.connectToHost(QHostAddress::LocalHost, port);
        QObject::connect(&m_socket, &QTcpSocket::readyRead, [this] {
            m_reader.append(m_socket.readAll());
            QByteArray line;
            while (m_reader.nextLine(&line)) m_lines.append(line);
        });
    }
    bool waitConnected() {
        return waitFor([this] { return m_socket.state() == QAbstractSocket::ConnectedState; });
    }
    void send(const QByteArray& bytes) { m_socket.write(bytes); }
    QList<QByteArray> lines() const { return m_lines; }
    bool isConnected() const { return m_socket.state() == QAbstractSocket::ConnectedState; }

private:
    QTcpSocket m_socket;
    kel::rpc::LineReader m_reader;
    QList<QByteArray> m_lines;
};

class ServerTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(m_server.listen(QHostAddress::LocalHost, 0)); }
    kel::rpc::Server m_server;
};

TEST_F(ServerTest, PublishesOnlyToClientsThatSwitchedTheTopicOn) {
    int switches = 0;
    QObject::connect(&m_server, &kel::rpc::Server::topicSwitched, [&] { ++switches; });
    RawPeer a(m_server.serverPort());
    RawPeer b(m_server.serverPort());
    ASSERT_TRUE(a.waitConnected() && b.waitConnected());
    ASSERT_TRUE(waitFor([&] { return m_server.clientCount() == 2; }));

    a.send("{\"op\":\"enable\",\"topic\":\"bumper\",\"on\":true}\n");
    b.send(
        "{\"op\":\"enable\",\"topic\":\"odometry\",\"on\":true}\n"
        "{\"op\":\"enable\",\"topic\":\"odometry\",\"on\":true}\n");
    ASSERT_TRUE(waitFor([&] { return switches == 2; }));  // a repeated switch is no change
    EXPECT_TRUE(m_server.anySubscribed("bumper"));
    EXPECT_FALSE(m_server.anySubscribed("battery"));

    m_server.publish("bumper", QJsonArray{true});
    m_server.publish("odometry", QJsonArray{1, 2, 3, 0, 0, 0, 9});
    m_server.publish("battery", QJsonArray{24});
    ASSERT_TRUE(waitFor([&] { return a.lines().size() == 1 && b.lines().size() == 1; }));
    spin(50);
    EXPECT_EQ(a.lines(), QList<QByteArray>{R"({"op":"publish","topic":"bumper","args":[true]})"});
    EXPECT_EQ(b.lines(),
              QList<QByteArray>{R"({"op":"publish","topic":"odometry","args":[1,2,3,0,0,0,9]})"});

    a.send("{\"op\":\"enable\",\"topic\":\"bumper\",\"on\":false}\n");
    ASSERT_TRUE(waitFor([&] { return !m_server.anySubscribed("bumper"); }));
    m_server.publish("bumper", QJsonArray{false});
    spin(50);
    EXPECT_EQ(a.lines().size(), 1);
}

TEST_F(ServerTest, IgnoresMalformedLinesAndReportsEveryValidMessage) {
    QList<QJsonObject> messages;
    QList<QJsonArray> commands;
    QList<QJsonArray> publications;
    QObject::connect(&m_server, &kel::rpc::Server::messageReceived,
                     [&](const QJsonObject& m) { messages.append(m); });
    QObject::connect(&m_server, &kel::rpc::Server::commandReceived,
                     [&](const QString& topic, const QJsonArray& args) {
                         if (topic == "omnidrive") commands.append(args);
                     });
    QObject::connect(&m_server, &kel::rpc::Server::publishReceived,
                     [&](const QString& topic, const QJsonArray& args) {
                         if (topic == "bumper") publications.append(args);
                     });
    RawPeer peer(m_server.serverPort());
    ASSERT_TRUE(peer.waitConnected());
    peer.send("garbage\n{\"op\":\"set\"}\n[1]\n{\"op\":\"set\",\"topic\":\"omnidrive\",\"args\":");
    peer.send("[0.1,0,0]}\n\xff\xfe\n{\"op\":\"publish\",\"topic\":\"bumper\",\"args\":[true]}\n");
    ASSERT_TRUE(waitFor([&] { return messages.size() == 2; }));
    EXPECT_EQ(commands, QList<QJsonArray>{(QJsonArray{0.1, 0, 0})});
    EXPECT_EQ(publications, QList<QJsonArray>{QJsonArray{true}});
    EXPECT_EQ(messages.at(0).value("op").toString(), "set");
    EXPECT_TRUE(peer.isConnected());
    EXPECT_EQ(m_server.clientCount(), 1);
}

TEST_F(ServerTest, SurvivesDroppingClientsWhileHandlingTheirLines) {
    int commands = 0;
    int disconnects = 0;
    QObject::connect(&m_server, &kel::rpc::Server::commandReceived, [&] {
        ++commands;
        m_server.disconnectClients();
    });
    QObject::connect(&m_server, &kel::rpc::Server::clientDisconnected, [&] { ++disconnects; });
    RawPeer peer(m_server.serverPort());
    ASSERT_TRUE(peer.waitConnected());
    peer.send(
        "{\"op\":\"enable\",\"topic\":\"bumper\",\"on\":true}\n"
        "{\"op\":\"set\",\"topic\":\"a\",\"args\":[]}\n"
        "{\"op\":\"set\",\"topic\":\"b\",\"args\":[]}\n");
    ASSERT_TRUE(waitFor([&] { return commands > 0; }));
    ASSERT_TRUE(waitFor([&] { return !peer.isConnected(); }));
    spin(50);
    EXPECT_EQ(commands, 1);
    EXPECT_EQ(disconnects, 1);
    EXPECT_EQ(m_server.clientCount(), 0);
    EXPECT_FALSE(m_server.anySubscribed("bumper"));
}

TEST_F(ServerTest, ForgetsAClientThatHangsUp) {
    int disconnects = 0;
    QObject::connect(&m_server, &kel::rpc::Server::clientDisconnected, [&] { ++disconnects; });
    auto peer = std::make_unique<RawPeer>(m_server.serverPort());
    ASSERT_TRUE(peer->waitConnected());
    peer->send("{\"op\":\"enable\",\"topic\":\"image0\",\"on\":true}\n");
    ASSERT_TRUE(waitFor([&] { return m_server.anySubscribed("image0"); }));
    peer.reset();
    ASSERT_TRUE(waitFor([&] { return disconnects == 1; }));
    EXPECT_EQ(m_server.clientCount(), 0);
    EXPECT_FALSE(m_server.anySubscribed("image0"));
    m_server.publish("image0", QJsonArray{"AAAA", 1, 1, 3, "rgb24"});  // nobody left to send to
}

}  // namespace
