#include "Server.h"

#include <QSet>
#include <QTcpServer>
#include <QTcpSocket>
#include <vector>

#include "kel/rpc/LineReader.h"
#include "kel/rpc/Message.h"

namespace kel {
namespace rpc {

namespace {
// A client that stops reading skips publications instead of growing our send buffer forever.
constexpr qint64 kMaxBacklogBytes = 16 * 1024 * 1024;
}  // namespace

struct Server::Peer {
    LineReader reader;
    QSet<QString> switches;
};

Server::Server(QObject* parent) : QObject(parent), m_server(new QTcpServer(this)) {
    connect(m_server, &QTcpServer::newConnection, this, &Server::onNewConnection);
}

Server::~Server() {
    for (auto& entry : m_peers) entry.first->disconnect(this);
    m_peers.clear();
}

bool Server::listen(const QHostAddress& address, quint16 port) {
    return m_server->listen(address, port);
}

quint16 Server::serverPort() const { return m_server->serverPort(); }

void Server::publish(const QString& topic, const QJsonArray& args) {
    QByteArray line;
    for (auto& entry : m_peers) {
        QTcpSocket* socket = entry.first;
        if (!entry.second->switches.contains(topic)) continue;
        if (socket->bytesToWrite() > kMaxBacklogBytes) continue;
        if (line.isEmpty()) line = Message::encodePublish(topic, args);
        socket->write(line);
    }
}

bool Server::anySubscribed(const QString& topic) const {
    for (const auto& entry : m_peers) {
        if (entry.second->switches.contains(topic)) return true;
    }
    return false;
}

int Server::clientCount() const { return static_cast<int>(m_peers.size()); }

void Server::disconnectClients() {
    std::vector<QTcpSocket*> sockets;
    for (const auto& entry : m_peers) sockets.push_back(entry.first);
    for (QTcpSocket* socket : sockets) {
        socket->abort();
        removePeer(socket);
    }
}

void Server::close() {
    disconnectClients();
    m_server->close();
}

void Server::onNewConnection() {
    while (QTcpSocket* socket = m_server->nextPendingConnection()) {
        socket->setParent(this);
        socket->setSocketOption(QAbstractSocket::LowDelayOption, 1);
        m_peers.emplace(socket, std::make_unique<Peer>());
        connect(socket, &QTcpSocket::readyRead, this, [this, socket] { onReadyRead(socket); });
        connect(socket, &QTcpSocket::disconnected, this, [this, socket] { removePeer(socket); });
        Q_EMIT clientConnected();
        // Data may have arrived with the connection itself.
        if (socket->bytesAvailable() > 0) onReadyRead(socket);
    }
}

void Server::onReadyRead(QTcpSocket* socket) {
    auto it = m_peers.find(socket);
    if (it == m_peers.end()) return;
    it->second->reader.append(socket->readAll());
    QByteArray line;
    // Receivers may drop clients while we emit, so the peer is looked up again for every line.
    while ((it = m_peers.find(socket)) != m_peers.end() && it->second->reader.nextLine(&line)) {
        Message message;
        if (!Message::parse(line, &message)) continue;
        Q_EMIT messageReceived(message.json);
        it = m_peers.find(socket);
        if (it == m_peers.end()) return;
        switch (message.op) {
            case Message::Op::Enable: {
                Peer& peer = *it->second;
                if (peer.switches.contains(message.topic) == message.on) break;
                if (message.on) {
                    peer.switches.insert(message.topic);
                } else {
                    peer.switches.remove(message.topic);
                }
                Q_EMIT topicSwitched(message.topic, message.on);
                break;
            }
            case Message::Op::Set:
                Q_EMIT commandReceived(message.topic, message.args);
                break;
            case Message::Op::Publish:
                Q_EMIT publishReceived(message.topic, message.args);
                break;
        }
    }
}

void Server::removePeer(QTcpSocket* socket) {
    auto it = m_peers.find(socket);
    if (it == m_peers.end()) return;
    m_peers.erase(it);
    socket->disconnect(this);
    socket->deleteLater();
    Q_EMIT clientDisconnected();
}

}  // namespace rpc
}  // namespace kel
