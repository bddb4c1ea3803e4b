#pragma once

#include <QJsonArray>
#include <QJsonObject>
#include <QList>
#include <QString>
#include <memory>

namespace kel {
namespace rpc {
class Server;
}
namespace corvanta::rpc {
class Client;
}
}  // namespace kel

namespace testsupport {

/// One argument that is itself an array (braces alone would copy rather than nest it).
QJsonArray nested(const QJsonArray& inner);
/// The args of every command ("set") for `topic` in `messages`, oldest first.
QList<QJsonArray> commandsIn(const QList<QJsonObject>& messages, const QString& topic);
/// How many switches of `topic` to `on` `messages` hold.
int switchesIn(const QList<QJsonObject>& messages, const QString& topic, bool on);

/// A robot played over the wire protocol: a server on 127.0.0.1 (any free port) in the test's
/// thread that records every message it receives.
class TestRobot {
public:
    TestRobot();
    ~TestRobot();
    TestRobot(const TestRobot&) = delete;
    TestRobot& operator=(const TestRobot&) = delete;

    /// False if the server could not listen.
    bool isListening() const;
    quint16 port() const;
    /// "127.0.0.1:<port>", as a client's setAddress expects it.
    QString address() const;
    kel::rpc::Server& server();

    /// Every well-formed message received, oldest first.
    QList<QJsonObject> messages() const;
    /// The args of every command ("set") received for `topic`, oldest first.
    QList<QJsonArray> commands(const QString& topic) const;
    void clearMessages();
    /// Waits until what `client` sent so far has reached the robot: `client` switches "mcstatus"
    /// off and on, and a connection keeps its order. Messages after the marker (a robot still
    /// being driven) do not hide it. With `forget`, the messages received so far are dropped.
    bool syncWith(kel::corvanta::rpc::Client& client, bool forget);
    /// True when a connected client has its switch for `topic` on.
    bool isSwitchedOn(const QString& topic) const;
    int clientCount() const;
    /// Sends a publication to the clients that switched `topic` on.
    void publish(const QString& topic, const QJsonArray& args);
    /// Drops every client, as a robot restart would.
    void disconnectClients();

private:
    std::unique_ptr<kel::rpc::Server> m_server;
    QList<QJsonObject> m_messages;
    bool m_listening = false;
};

}  // namespace testsupport
