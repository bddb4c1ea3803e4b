// What systemd hears from the daemon over its notification socket: ready, a watchdog fed only
// while both threads turn, a status line, stopping; and the logs a restart leaves.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <QElapsedTimer>
#include <QRegularExpression>
#include <QTcpSocket>
#include <csignal>
#include <mutex>
#include <thread>
#include <vector>

#include "E2e.h"
#include "TestRobot.h"
#include "Wait.h"

using namespace testsupport;

namespace {

/// A notification socket as systemd has one: every datagram, with when it came (ms on `clock`).
class NotifySocket {
public:
    NotifySocket(const QString& path, const QElapsedTimer& clock) : m_clock(clock) {
        m_fd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_un address = {};
        address.sun_family = AF_UNIX;
        const QByteArray name = path.toLocal8Bit();
        std::memcpy(address.sun_path, name.constData(), std::min<size_t>(name.size(), sizeof(address.sun_path) - 1));
        m_bound = ::bind(m_fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) == 0;
        timeval tick = {0, 100000};
        ::setsockopt(m_fd, SOL_SOCKET, SO_RCVTIMEO, &tick, sizeof(tick));
        m_reader = std::thread([this] {
            char buffer[4096];
            while (!m_done) {
                const ssize_t n = ::recv(m_fd, buffer, sizeof(buffer), 0);
                if (n <= 0) continue;
                std::lock_guard<std::mutex> lock(m_mutex);
                for (const QByteArray& line : QByteArray(buffer, static_cast<int>(n)).split('\n')) {
                    if (!line.isEmpty()) m_messages.push_back({m_clock.elapsed(), QString::fromUtf8(line)});
                }
            }
        });
    }
    ~NotifySocket() {
        m_done = true;
        m_reader.join();
        ::close(m_fd);
    }
    bool isBound() const { return m_bound; }
    struct Message {
        qint64 at;
        QString text;
    };
    std::vector<Message> messages() const {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_messages;
    }
    /// When the first message starting with `prefix` came at or after `from` (-1: none yet).
    qint64 first(const QString& prefix, qint64 from = 0) const {
        for (const Message& m : messages()) {
            if (m.at >= from && m.text.startsWith(prefix)) return m.at;
        }
        return -1;
    }
    int count(const QString& prefix, qint64 from, qint64 to) const {
        int n = 0;
        for (const Message& m : messages()) n += m.at >= from && m.at <= to && m.text.startsWith(prefix);
        return n;
    }

private:
    const QElapsedTimer& m_clock;
    int m_fd = -1;
    bool m_bound = false;
    std::atomic<bool> m_done{false};
    std::thread m_reader;
    mutable std::mutex m_mutex;
    std::vector<Message> m_messages;
};

TEST(HealthE2eTest, TellsSystemdItIsReadyAliveOrStoppingAndStopsFeedingTheWatchdogWhenTheLoopHangs) {
    Sandbox sandbox;
    TestRobot robot;
    sandbox.writeFile("/etc/corvanta/webgated.conf",
                      QString("[Log]\nverbosity=3\n\n[Network]\nserver=%1\n").arg(robot.address()).toUtf8());
    sandbox.writeFile("/var/log/webgated", "the run before, which hung\n");
    QElapsedTimer clock;
    clock.start();
    NotifySocket notify(sandbox.path("/run/notify"), clock);
    ASSERT_TRUE(notify.isBound());
    DaemonUnderTest daemon(sandbox);
    daemon.setEnvironment("NOTIFY_SOCKET", sandbox.path("/run/notify"));
    daemon.setEnvironment("WATCHDOG_USEC", "400000");  // a ping every 200 ms
    daemon.setEnvironment("WEBGATED_TEST_HOOKS", "1");
    ASSERT_TRUE(daemon.start());

    ASSERT_TRUE(waitFor([&] { return notify.first("READY=1") >= 0; }));
    EXPECT_EQ(daemon.command(R"({"TYPE":"getVersion"})").status, 200);
    ASSERT_TRUE(waitFor([&] { return notify.count("WATCHDOG=1", 0, clock.elapsed()) >= 3; }));
    ASSERT_TRUE(waitFor([&] { return robot.isSwitchedOn("set_relay_array"); }));
    const qint64 linked = clock.elapsed();
    ASSERT_TRUE(waitFor([&] { return notify.first("STATUS=robot link up", linked) >= 0; }, 15000));
    for (const NotifySocket::Message& m : notify.messages()) {
        if (m.at < linked || !m.text.startsWith("STATUS=")) continue;
        EXPECT_TRUE(QRegularExpression("^STATUS=robot link up, \\d+\\.\\d requests/s, 0 programs running$")
                        .match(m.text)
                        .hasMatch())
            << m.text.toStdString();
        break;
    }
    // A scraper may use a name the robot does not answer to: /metrics asks under a fixed one.
    const HttpReply scraped = httpGet(daemon.port(), "/metrics", 10000, "Host: robot99.example\r\n");
    EXPECT_EQ(scraped.status, 200);
    EXPECT_TRUE(scraped.headers.contains("Content-Type: text/plain; version=0.0.4")) << scraped.headers.constData();
    EXPECT_TRUE(scraped.body.contains("webgated_requests_total{command=\"getVersion\",result=\"data\"} 1\n"))
        << scraped.body.constData();
    EXPECT_EQ(daemon.command(R"({"TYPE":"getMetrics"})", "Host: robot99.example\r\n").status, 403);
    // The log of the run before is kept; standard output carries no line per request.
    EXPECT_EQ(sandbox.readFile("/var/log/webgated.1"), "the run before, which hung\n");
    EXPECT_TRUE(waitFor([&] { return daemon.logFile().contains("Done:{\"TYPE\":\"getVersion\"}"); }));
    EXPECT_FALSE(sandbox.readFile("/run/daemon.out").contains("Done:"));
    EXPECT_TRUE(sandbox.readFile("/run/daemon.out").contains("Start webgated"));

    // The request thread held for 9 s: pings stop while the main thread still sends its status.
    QTcpSocket held;
    held.connectToHost(QHostAddress::LocalHost, daemon.port());
    ASSERT_TRUE(held.waitForConnected(5000));
    const qint64 holdStart = clock.elapsed();
    held.write("GET /webgated?" + pageEncode(R"({"TYPE":"holdRequestThread","ms":9000})") +
               " HTTP/1.0\r\nHost: 127.0.0.1\r\n\r\n");
    held.flush();
    ASSERT_TRUE(waitFor([&] { return notify.first("STATUS=", holdStart + 3000) >= 0; }, 10000));
    const qint64 statusWhileHeld = notify.first("STATUS=", holdStart + 3000);
    EXPECT_EQ(notify.count("WATCHDOG=1", holdStart + 2600, statusWhileHeld), 0);
    EXPECT_GT(notify.count("WATCHDOG=1", holdStart, holdStart + 1500), 0);  // fed until the hold counts
    // Once the thread turns again, so does the watchdog.
    ASSERT_TRUE(waitFor([&] { return held.waitForReadyRead(100) || held.bytesAvailable() > 0; }, 15000));
    const qint64 released = clock.elapsed();
    EXPECT_TRUE(waitFor([&] { return notify.first("WATCHDOG=1", released) >= 0; }));

    daemon.signalDaemon(SIGTERM);
    EXPECT_TRUE(waitFor([&] { return notify.first("STOPPING=1") >= 0; }));
    // Last ping before the hang plus systemd's interval: how long a hung request thread lives.
    qint64 lastPing = -1;
    for (const NotifySocket::Message& m : notify.messages()) {
        if (m.text == "WATCHDOG=1" && m.at < statusWhileHeld) lastPing = m.at;
    }
    std::printf("last watchdog ping %lld ms after the hold began\n", static_cast<long long>(lastPing - holdStart));
}

}  // namespace
