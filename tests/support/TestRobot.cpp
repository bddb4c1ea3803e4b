#include "TestRobot.h"

#include <QHostAddress>

#include "Wait.h"
#include "kel/corvanta/rpc/Client.h"
#include "kel/rpc/Server.h"

namespace testsupport {

QJsonArray nested(const QJsonArray& inner) {
    QJsonArray outer;
    outer.append(inner);
    return outer;
}

QList<QJsonArray> commandsIn(const QList<QJsonObject>& messages, const QString& topic) {
    QList<QJsonArray> result;
    for (const QJsonObject& message : messages) {
        if (message.value(QStringLiteral("op")).toString() == QLatin1String("set") &&
            message.value(QStringLiteral("topic")).toString() == topic) {
            result.append(message.value(QStringLiteral("args")).toArray());
        }
    }
    return result;
}

int switchesIn(const QList<QJsonObject>& messages, const QString& topic, bool on) {
    int count = 0;
    for (const QJsonObject& message : messages) {
        count += message.value(QStringLiteral("op")).toString() == QLatin1String("enable") &&
                 message.value(QStringLiteral("topic")).toString() == topic &&
                 message.value(QStringLiteral("on")).toBool() == on;
    }
    return count;
}

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

QList<QJsonArray> TestRobot::commands(const QString& topic) const { return commandsIn(m_messages, topic); }

void TestRobot::clearMessages() { m_messages.clear(); }

bool TestRobot::syncWith(kel::corvanta::rpc::Client& client, bool forget) {
    const int since = m_messages.size();
    client.set_kel_corvanta_rpc_mcstatus_enabled(false);
    client.set_kel_corvanta_rpc_mcstatus_enabled(true);
    const bool synced = waitFor([&] {
        for (int i = since; i < m_messages.size(); ++i) {
            const QJsonObject& m = m_messages.at(i);
            if (m.value(QStringLiteral("topic")).toString() == QLatin1String("mcstatus") && m.value(QStringLiteral("on")).toBool())
                return true;
        }
        return false;
    });
    if (forget) clearMessages();
    return synced;
}

bool TestRobot::isSwitchedOn(const QString& topic) const { return m_server->anySubscribed(topic); }

int TestRobot::clientCount() const { return m_server->clientCount(); }

void TestRobot::publish(const QString& topic, const QJsonArray& args) {
    m_server->publish(topic, args);
}

void TestRobot::disconnectClients() { m_server->disconnectClients(); }

}  // namespace testsupport
