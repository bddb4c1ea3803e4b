#include "Client.h"

#include <sys/eventfd.h>
#include <unistd.h>

#include <QDebug>
#include <QElapsedTimer>
#include <QHostAddress>
#include <QSocketNotifier>
#include <QTcpSocket>
#include <QThread>
#include <QTimer>
#include <chrono>
#include <utility>

#include "kel/rpc/Message.h"

namespace kel {
namespace rpc {

namespace {

bool splitAddress(const QString& address, QString* host, quint16* port) {
    const int colon = address.lastIndexOf(QLatin1Char(':'));
    if (colon <= 0) return false;
    bool ok = false;
    const uint number = address.mid(colon + 1).toUInt(&ok);
    if (!ok || number == 0 || number > 65535) return false;
    QString name = address.left(colon).trimmed();
    if (name.startsWith(QLatin1Char('[')) && name.endsWith(QLatin1Char(']'))) {
        name = name.mid(1, name.size() - 2);
    }
    if (name.isEmpty()) return false;
    *host = name;
    *port = static_cast<quint16>(number);
    return true;
}

qint64 monotonicMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

}  // namespace

Client::Client(QObject* parent)
    : QObject(parent),
      m_socket(new QTcpSocket(this)),
      m_reconnectTimer(new QTimer(this)),
      m_connectTimer(new QTimer(this)) {
    m_wakeFd = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (m_wakeFd >= 0) {
        m_wakeNotifier = new QSocketNotifier(m_wakeFd, QSocketNotifier::Read, this);
        connect(m_wakeNotifier, &QSocketNotifier::activated, this, &Client::runQueuedWork);
    } else {
        qWarning() << "kel::rpc::Client: no eventfd; calls from other threads are dropped";
    }
    m_reconnectTimer->setSingleShot(true);
    m_connectTimer->setSingleShot(true);
    connect(m_reconnectTimer, &QTimer::timeout, this, &Client::openSocket);
    connect(m_connectTimer, &QTimer::timeout, m_socket, &QTcpSocket::abort);
    connect(m_socket, &QTcpSocket::connected, this, &Client::onSocketConnected);
    connect(m_socket, &QTcpSocket::readyRead, this, &Client::onReadyRead);
    connect(m_socket, &QTcpSocket::stateChanged, this, [this](QAbstractSocket::SocketState state) {
        if (state == QAbstractSocket::UnconnectedState) onSocketGone();
    });
}

Client::~Client() {
    // No signals out of a half-destroyed client.
    m_socket->disconnect(this);
    // What was written last (a final standstill set-point at shutdown) still reaches the server.
    while (m_socket->state() == QAbstractSocket::ConnectedState && m_socket->bytesToWrite() > 0 &&
           m_socket->waitForBytesWritten(200)) {
    }
    m_socket->abort();
    delete m_wakeNotifier;
    if (m_wakeFd >= 0) ::close(m_wakeFd);
}

void Client::readParameters(const QString& systemFile, const QString& userFile) {
    m_parameters.read(systemFile, userFile);
}

QVariant Client::getParameter(const QString& key, const QVariant& defaultValue) const {
    return m_parameters.value(key, defaultValue);
}

void Client::setAutoReconnectEnabled(bool enable, unsigned int intervalMs) {
    m_autoReconnect = enable;
    m_reconnectIntervalMs = intervalMs;
    if (!enable) m_reconnectTimer->stop();
}

void Client::setLocalIPCEnabled(bool) {}

void Client::setAddress(const QString& hostAndPort) { m_address = hostAndPort; }

QString Client::address() const { return m_address; }

void Client::connectToServer(unsigned int timeoutMs) {
    m_wantConnection = true;
    m_connectTimeoutMs = timeoutMs;
    if (m_socket->state() != QAbstractSocket::UnconnectedState) m_socket->abort();
    m_reconnectTimer->stop();
    openSocket();
}

void Client::disconnectFromServer() {
    m_wantConnection = false;
    m_reconnectTimer->stop();
    m_connectTimer->stop();
    m_socket->abort();
}

bool Client::isConnected() const { return m_connected.load(); }

qint64 Client::lastMessageAgeMs() const {
    const qint64 last = m_lastMessageMs.load(std::memory_order_relaxed);
    return last < 0 ? -1 : monotonicMs() - last;
}

qint64 Client::silenceMs() const {
    if (!isConnected()) return -1;
    const qint64 last = m_lastLifeMs.load(std::memory_order_relaxed);
    return last < 0 ? -1 : monotonicMs() - last;
}

bool Client::flush(int timeoutMs) {
    if (m_socket->state() != QAbstractSocket::ConnectedState) return m_socket->bytesToWrite() == 0;
    m_socket->flush();
    QElapsedTimer clock;
    clock.start();
    while (m_socket->bytesToWrite() > 0 && clock.elapsed() < timeoutMs &&
           m_socket->waitForBytesWritten(static_cast<int>(timeoutMs - clock.elapsed()))) {
    }
    return m_socket->bytesToWrite() == 0;
}

void Client::setTopicEnabled(const QString& topic, bool on) {
    {
        std::lock_guard<std::mutex> locker(m_topicMutex);
        auto it = m_topics.find(topic);
        if (it == m_topics.end()) {
            m_topicOrder.append(topic);
            it = m_topics.insert(topic, !on);
        }
        if (it.value() == on) return;
        it.value() = on;
    }
    runOnOwnerThread([this, topic] {
        // The switch's state when the send runs, so the last of quick changes wins.
        if (isConnected()) write(Message::encodeEnable(topic, isTopicEnabled(topic)));
    });
}

bool Client::isTopicEnabled(const QString& topic) const {
    std::lock_guard<std::mutex> locker(m_topicMutex);
    return m_topics.value(topic, false);
}

void Client::sendCommand(const QString& topic, const QJsonArray& args) {
    if (!isConnected()) return;
    QByteArray line = Message::encodeSet(topic, args);
    runOnOwnerThread([this, line] {
        if (isConnected()) write(line);
    });
}

void Client::handlePublish(const QString&, const QJsonArray&) {}

void Client::runOnOwnerThread(std::function<void()> work) {
    if (QThread::currentThread() == thread()) {
        work();
        return;
    }
    if (m_wakeFd < 0) return;
    bool wasEmpty = false;
    {
        std::lock_guard<std::mutex> locker(m_queueMutex);
        wasEmpty = m_queue.empty();
        m_queue.push_back(std::move(work));
    }
    // One wake-up per batch; it is written after the push, so no work waits unnoticed.
    if (wasEmpty) {
        const quint64 one = 1;
        const ssize_t written = ::write(m_wakeFd, &one, sizeof(one));
        Q_UNUSED(written);
    }
}

void Client::runQueuedWork() {
    quint64 count = 0;
    const ssize_t read = ::read(m_wakeFd, &count, sizeof(count));
    Q_UNUSED(read);
    std::vector<std::function<void()>> work;
    {
        std::lock_guard<std::mutex> locker(m_queueMutex);
        work.swap(m_queue);
    }
    for (auto& item : work) item();
}

void Client::openSocket() {
    if (!m_wantConnection || m_socket->state() != QAbstractSocket::UnconnectedState) return;
    QString host;
    quint16 port = 0;
    if (!splitAddress(m_address, &host, &port)) {
        if (m_warnedAddress != m_address) {
            qWarning() << "kel::rpc::Client: invalid server address" << m_address;
            m_warnedAddress = m_address;  // once per address, not once per retry
        }
        if (m_autoReconnect) m_reconnectTimer->start(static_cast<int>(m_reconnectIntervalMs));
        return;
    }
    m_socket->connectToHost(host, port);
    if (m_socket->state() != QAbstractSocket::UnconnectedState) {
        m_connectTimer->start(static_cast<int>(m_connectTimeoutMs));
    }
}

void Client::onSocketConnected() {
    m_connectTimer->stop();
    m_reader.clear();
    m_socket->setSocketOption(QAbstractSocket::LowDelayOption, 1);
    m_lastLifeMs.store(monotonicMs(), std::memory_order_relaxed);
    m_connected = true;
    QByteArray switches;
    {
        std::lock_guard<std::mutex> locker(m_topicMutex);
        for (const QString& topic : std::as_const(m_topicOrder)) {
            if (m_topics.value(topic)) switches += Message::encodeEnable(topic, true);
        }
    }
    write(switches);
    Q_EMIT is_connected();
}

void Client::onSocketGone() {
    m_connectTimer->stop();
    m_reader.clear();
    if (m_connected.exchange(false)) Q_EMIT is_disconnected();
    if (m_wantConnection && m_autoReconnect && !m_reconnectTimer->isActive()) {
        m_reconnectTimer->start(static_cast<int>(m_reconnectIntervalMs));
    }
}

void Client::onReadyRead() {
    const QByteArray bytes = m_socket->readAll();
    if (!bytes.isEmpty()) {
        const qint64 now = monotonicMs();
        m_lastMessageMs.store(now, std::memory_order_relaxed);
        m_lastLifeMs.store(now, std::memory_order_relaxed);
    }
    m_reader.append(bytes);
    QByteArray line;
    while (m_reader.nextLine(&line)) {
        Message message;
        if (!Message::parse(line, &message) || message.op != Message::Op::Publish) continue;
        handlePublish(message.topic, message.args);
    }
}

void Client::write(const QByteArray& line) {
    if (!line.isEmpty() && m_socket->state() == QAbstractSocket::ConnectedState) {
        m_socket->write(line);
    }
}

}  // namespace rpc
}  // namespace kel
