#include "service/UdpLogger.h"

#include <QCoreApplication>
#include <QHostAddress>
#include <QThread>
#include <QUdpSocket>

UdpLogger* UdpLogger::Singleton() {
    static UdpLogger* instance = new UdpLogger();
    return instance;
}

UdpLogger::UdpLogger() : m_socket(new QUdpSocket(this)) {}

void UdpLogger::setIP(const QString& ip) {
    QMutexLocker lock(&m_mutex);
    m_ip = ip;
}
void UdpLogger::setPort(int port) {
    QMutexLocker lock(&m_mutex);
    m_port = port;
}
void UdpLogger::setEnabled(bool enabled) {
    QMutexLocker lock(&m_mutex);
    m_enabled = enabled;
}
void UdpLogger::setVerbosity(int verbosity) {
    QMutexLocker lock(&m_mutex);
    m_verbosity = verbosity;
}
QString UdpLogger::ip() const {
    QMutexLocker lock(&m_mutex);
    return m_ip;
}
int UdpLogger::port() const {
    QMutexLocker lock(&m_mutex);
    return m_port;
}
bool UdpLogger::isEnabled() const {
    QMutexLocker lock(&m_mutex);
    return m_enabled;
}
int UdpLogger::verbosity() const {
    QMutexLocker lock(&m_mutex);
    return m_verbosity;
}

void UdpLogger::sendMsg(const QString& text, int level) {
    QString ip;
    int port = 0;
    {
        QMutexLocker lock(&m_mutex);
        if (!m_enabled || level > m_verbosity) return;
        ip = m_ip;
        port = m_port;
    }
    const QByteArray payload = text.toLatin1();
    if (QThread::currentThread() == thread()) {
        send(payload, ip, port);
    } else {
        // The socket belongs to the main thread; hand the datagram over instead of touching it here.
        QMetaObject::invokeMethod(this, [this, payload, ip, port] { send(payload, ip, port); },
                                  Qt::QueuedConnection);
    }
}

void UdpLogger::send(const QByteArray& payload, const QString& ip, int port) {
    QMutexLocker lock(&m_mutex);
    m_socket->writeDatagram(payload, QHostAddress(ip), static_cast<quint16>(port));
}
