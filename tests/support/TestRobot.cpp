#include "TestRobot.h"

#include <QHostAddress>

#include "kel/rpc/Server.h"

namespace testsupport {

TestRobot::TestRobot() : m_server(std::make_unique<kel::rpc::Server>()) {
    QObject::connect(m_server.get(), &kel::rpc::Server::messageReceived, m_server.get(),
                     [this](const QJsonObject& message) { m_messages.append(message); });
    m_listening = m_server->listen(QHostAddress::LocalHost, 0);
}

TestRobot::~TestRobot() = default;

bool TestRobot::isListening() const { return m_listening; }

quint16 TestRobot::port() const { return m_server->serverPort(); }

QString TestRobot::address() const { return QStringLiteral("127.0.0.1:%1").arg(port()); }

kel::rpc::Server& TestRobot::server() { return *m_server; }

QList<QJsonObject> TestRobot::messages() const { return m_messages; }

QList<QJsonArray> TestRobot::commands(const QString& topic) const {
    QList<QJsonArray> result;
    for (const QJsonObject& message : m_messages) {
        if (message.value(QStringLiteral("op")).toString() == QLatin1String("set") &&
            message.value(QStringLiteral("topic")).toString() == topic) {
            result.append(message.value(QStringLiteral("args")).toArray());
        }
    }
    return result;
}

void TestRobot::clearMessages() { m_messages.clear(); }

bool TestRobot::isSwitchedOn(const QString& topic) const { return m_server->anySubscribed(topic); }

int TestRobot::clientCount() const { return m_server->clientCount(); }

void TestRobot::publish(const QString& topic, const QJsonArray& args) {
    m_server->publish(topic, args);
}

void TestRobot::disconnectClients() { m_server->disconnectClients(); }

}  // namespace testsupport
