// Events handed from other threads to a receiver on the main thread.
#include <gtest/gtest.h>

#include <QEvent>
#include <QThread>
#include <atomic>
#include <thread>
#include <vector>

#include "Wait.h"
#include "kel/corvanta/daemons/EventMailbox.h"

using kel::corvanta::daemons::EventMailbox;

namespace {

std::atomic<int> g_liveEvents{0};

class NumberEvent : public QEvent {
public:
    NumberEvent(int sender, int number) : QEvent(QEvent::User), sender(sender), number(number) { ++g_liveEvents; }
    ~NumberEvent() override { --g_liveEvents; }
    const int sender;
    const int number;
};

class Receiver : public QObject {
public:
    std::vector<std::pair<int, int>> received;  // touched on the main thread only
    Qt::HANDLE handledOn = nullptr;

protected:
    void customEvent(QEvent* event) override {
        handledOn = QThread::currentThreadId();
        auto* number = static_cast<NumberEvent*>(event);
        received.emplace_back(number->sender, number->number);
    }
};

TEST(EventMailboxTest, DeliversEveryEventOnTheReceiversThreadInPostingOrder) {
    Receiver receiver;
    auto* mailbox = new EventMailbox(&receiver);
    constexpr int kThreads = 4, kEach = 500;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([mailbox, t] {
            for (int i = 0; i < kEach; ++i) mailbox->post(new NumberEvent(t, i));
        });
    }
    for (std::thread& thread : threads) thread.join();
    ASSERT_TRUE(testsupport::waitFor([&] { return receiver.received.size() == kThreads * kEach; }, 10000));
    EXPECT_EQ(receiver.handledOn, QThread::currentThreadId());
    std::vector<int> next(kThreads, 0);
    for (const auto& [sender, number] : receiver.received) {
        ASSERT_EQ(number, next[sender]) << "sender " << sender;
        ++next[sender];
    }
    EXPECT_EQ(g_liveEvents.load(), 0);
}

TEST(EventMailboxTest, ReleasesUndeliveredEventsWithTheReceiver) {
    {
        Receiver receiver;
        auto* mailbox = new EventMailbox(&receiver);
        mailbox->post(new NumberEvent(0, 1));
        mailbox->post(new NumberEvent(0, 2));
        EXPECT_EQ(g_liveEvents.load(), 2);
        EXPECT_TRUE(receiver.received.empty());  // nothing happens until the loop runs
    }
    EXPECT_EQ(g_liveEvents.load(), 0);
}

}  // namespace
