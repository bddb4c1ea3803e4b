#pragma once

#include <QMutex>
#include <QObject>
#include <QString>

class QUdpSocket;

/// Sends selected messages as UDP datagrams for remote debugging. Created on first use.
class UdpLogger : public QObject {
    Q_OBJECT
public:
    static UdpLogger* Singleton();

    void setIP(const QString& ip);
    void setPort(int port);
    void setEnabled(bool enabled);
    void setVerbosity(int verbosity);
    QString ip() const;
    int port() const;
    bool isEnabled() const;
    int verbosity() const;

public Q_SLOTS:
    /// Any thread: sends `text` (Latin-1, no time stamp, no terminator) when enabled and
    /// `level` is at most the verbosity.
    void sendMsg(const QString& text, int level);

private:
    UdpLogger();
    void send(const QByteArray& payload, const QString& ip, int port);

    mutable QMutex m_mutex;
    QString m_ip = QStringLiteral("127.0.0.1");
    int m_port = 7086;
    bool m_enabled = false;
    int m_verbosity = 2;
    QUdpSocket* m_socket;
};
