#include "kel/corvanta/daemons/EventMailbox.h"

#include <sys/eventfd.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QEvent>
#include <QSocketNotifier>
#include <cstdint>

namespace kel {
namespace corvanta {
namespace daemons {

EventMailbox::EventMailbox(QObject* receiver)
    : QObject(receiver), m_receiver(receiver), m_wakeFd(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {
    if (m_wakeFd < 0) qFatal("Couldn't create the event mailbox's eventfd");
    m_notifier = new QSocketNotifier(m_wakeFd, QSocketNotifier::Read, this);
    connect(m_notifier, &QSocketNotifier::activated, this, &EventMailbox::deliverPending);
}

EventMailbox::~EventMailbox() {
    delete m_notifier;
    ::close(m_wakeFd);
    for (QEvent* event : m_queue) delete event;
}

void EventMailbox::post(QEvent* event) {
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_queue.push_back(event);
    }
    const std::uint64_t one = 1;
    ssize_t written = ::write(m_wakeFd, &one, sizeof(one));
    (void)written;  // a full counter still wakes the reader
}

void EventMailbox::deliverPending() {
    std::uint64_t count = 0;
    ssize_t got = ::read(m_wakeFd, &count, sizeof(count));
    (void)got;  // nothing to read just means another pass already emptied the queue
    std::deque<QEvent*> events;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        events.swap(m_queue);
    }
    for (QEvent* event : events) {
        QCoreApplication::sendEvent(m_receiver, event);
        delete event;
    }
}

}  // namespace daemons
}  // namespace corvanta
}  // namespace kel
