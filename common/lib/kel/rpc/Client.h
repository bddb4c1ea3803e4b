#pragma once

#include <QHash>
#include <QJsonArray>
#include <QObject>
#include <QStringList>
#include <QVariant>
#include <atomic>
#include <functional>
#include <mutex>
#include <vector>

#include "kel/rpc/LineReader.h"
#include "kel/rpc/ParameterStore.h"

class QSocketNotifier;
class QTcpSocket;
class QTimer;

namespace kel {
namespace rpc {

/// Client half of the robot's RPC connection and the process's parameter store.
/// Lives in the thread that created it; the socket is only touched there. The calls marked
/// "any thread" may come from other threads and are handed over to the owner thread.
class Client : public QObject {
    Q_OBJECT
public:
    explicit Client(QObject* parent = nullptr);
    ~Client() override;

    /// Loads the parameter store from two INI files; the user file wins. Missing files add nothing.
    void readParameters(const QString& systemFile, const QString& userFile);
    /// The stored value of "~/Group/name" (or "~/name"), else `defaultValue`. Any thread.
    QVariant getParameter(const QString& key, const QVariant& defaultValue) const;

    /// While enabled, a failed or lost connection is retried every `intervalMs`.
    void setAutoReconnectEnabled(bool enable, unsigned int intervalMs = 1000);
    /// Accepted for compatibility; the connection is always TCP.
    void setLocalIPCEnabled(bool enable);
    /// The server's "host:port".
    void setAddress(const QString& hostAndPort);
    QString address() const;
    /// Starts connecting in the background; an attempt is given up after `timeoutMs`.
    void connectToServer(unsigned int timeoutMs = 3000);
    void disconnectFromServer();
    /// Any thread.
    bool isConnected() const;
    /// Milliseconds since the newest message from the server, -1 if none ever came. Any thread.
    qint64 lastMessageAgeMs() const;
    /// Milliseconds the connection has been silent: since its newest message, or since it was made
    /// if nothing came on it yet; -1 while disconnected. Any thread.
    qint64 silenceMs() const;
    /// Puts what was written so far on the wire now, waiting at most `timeoutMs` (owner thread).
    /// True when nothing is left to send.
    bool flush(int timeoutMs);

Q_SIGNALS:
    /// Each successful connection, after every switched-on topic has been sent to the server.
    void is_connected();
    /// The connection was lost or closed (only after `is_connected`).
    void is_disconnected();

protected:
    /// Remembers a topic switch and tells the server when connected. Any thread.
    void setTopicEnabled(const QString& topic, bool on);
    /// Any thread.
    bool isTopicEnabled(const QString& topic) const;
    /// Sends a command; dropped while disconnected. Any thread.
    void sendCommand(const QString& topic, const QJsonArray& args);
    /// Called on the owner thread for every publication received; the default ignores it.
    virtual void handlePublish(const QString& topic, const QJsonArray& args);

private:
    void runOnOwnerThread(std::function<void()> work);
    void runQueuedWork();
    void openSocket();
    void onSocketConnected();
    void onSocketGone();
    void onReadyRead();
    void write(const QByteArray& line);

    ParameterStore m_parameters;
    QTcpSocket* m_socket;
    QTimer* m_reconnectTimer;
    QTimer* m_connectTimer;
    LineReader m_reader;
    QString m_address = QStringLiteral("127.0.0.1:12080");
    QString m_warnedAddress;
    bool m_autoReconnect = false;
    unsigned int m_reconnectIntervalMs = 1000;
    unsigned int m_connectTimeoutMs = 3000;
    bool m_wantConnection = false;
    std::atomic<bool> m_connected{false};
    // On the monotonic clock; any byte from the server counts as life.
    std::atomic<qint64> m_lastMessageMs{-1};
    std::atomic<qint64> m_lastLifeMs{-1};

    // Work handed over by other threads: a plain mutex and an eventfd wake-up, so that the
    // hand-over is visible to ThreadSanitizer (Qt's own event queue is not).
    std::mutex m_queueMutex;
    std::vector<std::function<void()>> m_queue;
    int m_wakeFd = -1;
    QSocketNotifier* m_wakeNotifier = nullptr;

    mutable std::mutex m_topicMutex;
    QStringList m_topicOrder;  // first-switched order, so switches go out as they were given
    QHash<QString, bool> m_topics;
};

}  // namespace rpc
}  // namespace kel
