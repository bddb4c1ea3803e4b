#pragma once

#include <QHostAddress>
#include <QJsonArray>
#include <QJsonObject>
#include <QObject>
#include <map>
#include <memory>

class QTcpServer;
class QTcpSocket;

namespace kel {
namespace rpc {

/// Server half of the wire protocol: accepts any number of clients, keeps each client's topic
/// switches (all off at start) and sends a publication only to the clients that switched it on.
class Server : public QObject {
    Q_OBJECT
public:
    explicit Server(QObject* parent = nullptr);
    ~Server() override;

    /// Port 0 picks any free port; see serverPort().
    bool listen(const QHostAddress& address, quint16 port);
    quint16 serverPort() const;
    /// Sends an update of `topic` to every client whose switch for it is on.
    void publish(const QString& topic, const QJsonArray& args);
    bool anySubscribed(const QString& topic) const;
    int clientCount() const;
    /// Drops every client connection (as a robot restart would); the server keeps listening.
    void disconnectClients();
    /// Drops every client and stops listening.
    void close();

Q_SIGNALS:
    void clientConnected();
    void clientDisconnected();
    /// A client changed its switch for `topic`.
    void topicSwitched(const QString& topic, bool on);
    /// A client sent a command ("set").
    void commandReceived(const QString& topic, const QJsonArray& args);
    /// Every well-formed message received, as it arrived.
    void messageReceived(const QJsonObject& message);
    /// A client sent a publication of its own ("publish").
    void publishReceived(const QString& topic, const QJsonArray& args);

private:
    struct Peer;

    void onNewConnection();
    void onReadyRead(QTcpSocket* socket);
    void removePeer(QTcpSocket* socket);

    QTcpServer* m_server;
    std::map<QTcpSocket*, std::unique_ptr<Peer>> m_peers;
};

}  // namespace rpc
}  // namespace kel
