#pragma once

#include <QObject>
#include <deque>
#include <mutex>

class QEvent;
class QSocketNotifier;

namespace kel {
namespace corvanta {
namespace daemons {

/// Hands events from any thread to one receiver on the receiver's own thread, in posting order,
/// where its customEvent handles them. Unlike QCoreApplication::postEvent, the hand-over goes
/// through a std::mutex and an eventfd, so ThreadSanitizer can see that it is ordered.
class EventMailbox : public QObject {
    Q_OBJECT
public:
    /// Becomes a child of `receiver` and lives in its thread.
    explicit EventMailbox(QObject* receiver);
    ~EventMailbox() override;

    /// Any thread; takes ownership of `event`.
    void post(QEvent* event);

    /// Delivers what is waiting now (the receiver's thread; tests).
    void deliverPending();

private:
    QObject* m_receiver;
    int m_wakeFd;
    QSocketNotifier* m_notifier;
    std::mutex m_mutex;
    std::deque<QEvent*> m_queue;
};

}  // namespace daemons
}  // namespace corvanta
}  // namespace kel
