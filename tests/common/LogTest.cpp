// The process log (verbosity filter, a fresh file per run with the last run's kept, whole lines
// from any number of threads, a bounded queue that drops and reports, no disk work on the
// caller's thread, a bounded stop, a bounded file that a move or removal starts anew) and the
// event mailbox that hands events from other threads to the main thread, in each sender's order,
// and frees those never delivered.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <QCoreApplication>
#include <QFile>
#include <QEvent>
#include <QFileInfo>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QThread>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
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

bool matches(const QString& pattern, const QByteArray& text) {
    return QRegularExpression(pattern).match(QString::fromLatin1(text)).hasMatch();
}

// A log file of its own in a fresh folder.
class LogTest : public ::testing::Test {
protected:
    void SetUp() override { QCoreApplication::setApplicationName("webgated"); }
    QTemporaryDir m_dir;
    const QString path = m_dir.filePath("webgated");
};

TEST_F(LogTest, FiltersByVerbosityHidesSecretsKeepsTheLastRunsFilesAndEndsEveryLine) {
    ASSERT_TRUE(testsupport::writeFile(path + ".3", "the oldest\n"));
    ASSERT_TRUE(testsupport::writeFile(path, "from the first run\n"));
    for (const char* run : {"run A", "run B"}) Log(path, 0, true).log(run, 0);
    {
        Log log(path, 0, true);
        log.log("important", 0);
        log.log("start-up detail", 1);
        log.setVerbosity(1);
        log.log(".", 1);
        log.addSecret("pw");  // too short to be told from common text: not taken
        log.addSecret("s3cr");  // inside a later one, which is hidden whole all the same
        log.addSecret(QStringLiteral("s3cr\u00e9t-pass"));
        log.log(QStringLiteral("args: s3cr\u00e9t-pass s3cr pw"), 1);
        // The UTF-8 bytes of a raw query, read as Latin-1.
        log.log(QString::fromLatin1(QStringLiteral("{\"x\":\"s3cr\u00e9t-pass\"}").toUtf8()), 1);
    }
    // "webgated started" is level 1, "new log level is" level 100; a dot is a line of its own.
    const QByteArray text = readFile(path);
    EXPECT_TRUE(matches("^" + kStamp + "important\n" + kStamp + "\\.\n" + kStamp + "args: \\*{3} \\*{3} pw\n" + kStamp +
                            "\\{\"x\":\"\\*{3}\"\\}\n" + kStamp + "webgated stopped\n$",
                        text))
        << text.constData();
    // The run before (one that hung and was killed, say) is kept whole, and so are the two
    // before it; the oldest is gone.
    EXPECT_TRUE(readFile(path + ".1").contains("run B\n"));
    EXPECT_TRUE(readFile(path + ".2").contains("run A\n"));
    EXPECT_EQ(readFile(path + ".3"), "from the first run\n");
    EXPECT_FALSE(QFileInfo::exists(path + ".4"));
}

TEST_F(LogTest, LinesFromSeveralThreadsArriveWholeAndInEachThreadsOrder) {
    Log log(path, 0, true);
    constexpr int kThreads = 4, kEach = 300;
    const QString padding(150, QLatin1Char('x'));
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < kEach; ++i) log.log(QString("thread %1 line %2 ").arg(t).arg(i) + padding, 0);
        });
    }
    for (std::thread& thread : threads) thread.join();
    ASSERT_TRUE(log.flush());
    const QList<QByteArray> lines = readFile(path).split('\n');
    ASSERT_EQ(lines.size(), kThreads * kEach + 1);  // the last line ends as well
    const QRegularExpression whole("^" + kStamp + "thread (\\d) line (\\d+) " + padding + "$");
    std::vector<int> next(kThreads, 0);
    for (const QByteArray& line : lines.mid(0, kThreads * kEach)) {
        const QRegularExpressionMatch match = whole.match(QString::fromLatin1(line));
        ASSERT_TRUE(match.hasMatch()) << line.constData();
        ASSERT_EQ(match.captured(2).toInt(), next[match.captured(1).toInt()]++);
    }
    EXPECT_EQ(log.droppedLines(), 0u);
}

// A disk that hangs the log's thread before it writes, until the test lets it go (30 s at most: a
// broken test ends). Shared with the hook, which may outlive the test.
struct HungDisk {
    std::mutex mutex;
    std::condition_variable opened;
    bool open = false;
    std::atomic<bool> hanging{false}, released{false};
    static std::function<void()> hook(const std::shared_ptr<HungDisk>& disk) {
        return [disk] {
            disk->hanging = true;
            std::unique_lock<std::mutex> lock(disk->mutex);
            disk->opened.wait_for(lock, std::chrono::seconds(30), [&] { return disk->open; });
            disk->released = true;
        };
    }
    void release() {
        std::lock_guard<std::mutex> lock(mutex);
        open = true;
        opened.notify_all();
    }
};

TEST_F(LogTest, CallersNeverWriteAFullQueueDropsAndReportsAndAStuckWriterHoldsNoStop) {
    auto disk = std::make_shared<HungDisk>();
    {
        Log log(path, 0, true, 3, HungDisk::hook(disk));
        log.log("first", 0);
        ASSERT_TRUE(testsupport::waitFor([&] { return disk->hanging.load(); }));  // the log's thread holds "first"
        for (const char* text : {"q1", "q2", "q3", "lost 1", "lost 2", "lost 3", "lost 4", "lost 5"})
            log.log(text, 0);
        EXPECT_EQ(log.droppedLines(), 5u);
        // The calling (main) thread wrote nothing itself.
        EXPECT_FALSE(readFile(path).contains("first"));
    }
    EXPECT_FALSE(disk->released);  // the stop returned while the write was still stuck
    // The thread left behind writes what it holds once the disk answers.
    disk->release();
    ASSERT_TRUE(testsupport::waitFor([&] { return readFile(path).contains("dropped"); }));
    EXPECT_TRUE(matches("^" + kStamp + "first\n" + kStamp + "q1\n" + kStamp + "q2\n" + kStamp + "q3\n" + kStamp +
                            "5 log lines dropped: the log could not keep up\n$",
                        readFile(path)))
        << readFile(path).constData();
}

TEST_F(LogTest, AFullFileMovesToDotOneAndAMovedFileStartsAnew) {
    Log log(path, 0, true);
    const QString chunk(256 * 1024, QLatin1Char('x'));
    while (QFileInfo(path).size() + chunk.size() <= Log::kMaxFileSize) {
        log.log(chunk, 0);
        ASSERT_TRUE(log.flush());
    }
    log.log(chunk, 0);  // crosses the limit
    log.log("first of the new file", 0);
    ASSERT_TRUE(log.flush());
    // Whole, not before (older ones move on as at a start).
    EXPECT_GT(QFileInfo(path + ".1").size(), Log::kMaxFileSize);
    EXPECT_TRUE(matches("^" + kStamp + "first of the new file\n$", readFile(path)))
        << readFile(path).left(200).constData();

    // A moved file (logrotate) starts anew at the path, as a removed one does for every test that reads
    // the daemon's log; one made there by an older version, readable by all, is closed when opened.
    ASSERT_TRUE(QFile::rename(path, path + ".moved"));
    testsupport::writeFile(path, "");
    ::chmod(QFile::encodeName(path).constData(), 0644);
    log.log("after the move", 0);
    ASSERT_TRUE(log.flush());
    EXPECT_TRUE(matches("^" + kStamp + "after the move\n$", readFile(path)));
    EXPECT_EQ(testsupport::fileMode(path), 0640u);
    EXPECT_TRUE(matches("^" + kStamp + "first of the new file\n$", readFile(path + ".moved")));
}

std::atomic<int> g_liveEvents{0};

struct NumberEvent : QEvent {
    NumberEvent(int sender, int number) : QEvent(QEvent::User), sender(sender), number(number) { ++g_liveEvents; }
    ~NumberEvent() override { --g_liveEvents; }
    const int sender, number;
};

struct Receiver : QObject {
    std::vector<std::pair<int, int>> received;  // touched on the main thread only
    Qt::HANDLE handledOn = nullptr;
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
    ASSERT_TRUE(testsupport::waitFor([&] { return receiver.received.size() == kThreads * kEach; }));
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
