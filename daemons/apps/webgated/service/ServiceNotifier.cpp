#include "service/ServiceNotifier.h"

#include <QTimer>
#include <cstdlib>

#ifdef WEBGATED_HAVE_SYSTEMD
#include <systemd/sd-daemon.h>
#endif

ServiceNotifier::ServiceNotifier(std::function<qint64()> loopAgeMs, std::function<QString()> status,
                                 QObject* parent)
    : QObject(parent),
      m_loopAgeMs(std::move(loopAgeMs)),
      m_status(std::move(status)),
      m_watchdog(new QTimer(this)),
      m_statusTimer(new QTimer(this)) {
    connect(m_watchdog, &QTimer::timeout, this, &ServiceNotifier::ping);
    connect(m_statusTimer, &QTimer::timeout, this, &ServiceNotifier::renewStatus);
}

bool ServiceNotifier::isEnabled() {
#ifdef WEBGATED_HAVE_SYSTEMD
    const char* socket = std::getenv("NOTIFY_SOCKET");
    return socket && *socket;
#else
    return false;
#endif
}

quint64 ServiceNotifier::watchdogUsec() {
#ifdef WEBGATED_HAVE_SYSTEMD
    uint64_t usec = 0;
    if (sd_watchdog_enabled(0, &usec) > 0) return usec;
#endif
    return 0;
}

void ServiceNotifier::send(const QString& text) {
#ifdef WEBGATED_HAVE_SYSTEMD
    if (isEnabled()) sd_notify(0, text.toUtf8().constData());
#else
    (void)text;
#endif
}

void ServiceNotifier::ready() {
    if (!isEnabled()) return;
    renewStatus();
    send(QStringLiteral("READY=1"));
    // Half the interval systemd waits, as it asks; the request thread's health gates each ping.
    const quint64 usec = watchdogUsec();
    if (usec > 0) {
        m_watchdog->start(static_cast<int>(qBound<quint64>(1, usec / 2000, 3600 * 1000)));
        ping();
    }
    m_statusTimer->start(kStatusIntervalMs);
}

void ServiceNotifier::stopping() {
    m_statusTimer->stop();
    send(QStringLiteral("STOPPING=1"));
}

void ServiceNotifier::ping() {
    // Sent from the main thread, and only while the request loop turns: a hang of either ends
    // in systemd's kill and a restart.
    const qint64 age = m_loopAgeMs();
    if (age >= 0 && age < kLoopHungMs) send(QStringLiteral("WATCHDOG=1"));
}

void ServiceNotifier::renewStatus() { send(QStringLiteral("STATUS=") + m_status()); }
