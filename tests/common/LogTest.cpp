// The process log (verbosity filter, a fresh file per run with the last run's kept, dots
// continuing a line) and the event mailbox that hands events from other threads to the main
// thread, in each sender's order, and frees those never delivered.
#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QEvent>
#include <QThread>
#include <atomic>
#include <thread>
#include <vector>

#include "E2e.h"
#include "Wait.h"
#include "kel/corvanta/daemons/EventMailbox.h"
#include "kel/corvanta/daemons/Log.h"

using kel::corvanta::daemons::EventMailbox;
using kel::corvanta::daemons::Log;
using testsupport::readFile;

namespace {

// "hh:mm:ss.zzz | " in front of a text.
const QString kStamp = QStringLiteral("\\d\\d:\\d\\d:\\d\\d\\.\\d\\d\\d \\| ");

TEST(LogTest, FiltersByVerbosityKeepsTheLastRunsFileAndContinuesLinesWithDots) {
    QTemporaryDir dir;
    const QString path = dir.filePath("webgated");
    ASSERT_TRUE(testsupport::writeFile(path, "from the last run\n"));
    QCoreApplication::setApplicationName("webgated");
    {
        Log log(path, 0, true);
        log.log("important", 0);
        log.log("start-up detail", 1);
        log.setVerbosity(1);
        log.log("waiting", 1);
        for (int i = 0; i < 3; ++i) log.log(".", 1);
        log.log("next", 1);
    }
    const QString text = QString::fromLatin1(readFile(path));
    // "webgated started" is level 1, "new log level is" level 100.
    EXPECT_TRUE(QRegularExpression("^" + kStamp + "important\n" + kStamp + "waiting\\.\\.\\.\n" + kStamp + "next\n" +
                                   kStamp + "webgated stopped\n$")
                    .match(text)
                    .hasMatch())
        << text.toStdString();
    // The run before (one that hung and was killed, say) is kept whole.
    EXPECT_EQ(readFile(path + ".1"), "from the last run\n");
}

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
        received.emplace_back(static_cast<NumberEvent*>(event)->sender, static_cast<NumberEvent*>(event)->number);
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
    for (const auto& [sender, number] : receiver.received) ASSERT_EQ(number, next[sender]++) << sender;
    EXPECT_EQ(g_liveEvents.load(), 0);
    {
        Receiver gone;  // an event never delivered is freed with its receiver
        (new EventMailbox(&gone))->post(new NumberEvent(0, 1));
    }
    EXPECT_EQ(g_liveEvents.load(), 0);
}

}  // namespace
