#pragma once

#include <QObject>
#include <QString>
#include <functional>

class QTimer;

/// Tells systemd how the daemon is: ready, stopping, alive (the watchdog), and a status line.
/// Main thread. Sends nothing when the daemon was not started with a notification socket, or
/// was built without libsystemd.
class ServiceNotifier : public QObject {
    Q_OBJECT
public:
    /// The request loop counts as hung once it has not turned for this long.
    static constexpr int kLoopHungMs = 2000;
    /// How often the status line is renewed.
    static constexpr int kStatusIntervalMs = 5000;

    /// `loopAgeMs`: milliseconds since the request loop last turned (negative: not serving);
    /// `status`: the status line's text.
    ServiceNotifier(std::function<qint64()> loopAgeMs, std::function<QString()> status, QObject* parent);

    /// True when a notification socket was given (NOTIFY_SOCKET) and notifications can be sent.
    static bool isEnabled();
    /// The watchdog interval systemd asks for, in microseconds (0: none).
    static quint64 watchdogUsec();

public Q_SLOTS:
    /// The request loop serves and the robot client has started.
    void ready();
    /// Shutdown begins.
    void stopping();

private:
    void send(const QString& text);
    void ping();
    void renewStatus();

    std::function<qint64()> m_loopAgeMs;
    std::function<QString()> m_status;
    QTimer* m_watchdog;
    QTimer* m_statusTimer;
};
