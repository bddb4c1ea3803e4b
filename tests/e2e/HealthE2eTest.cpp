// What systemd hears from the daemon over its notification socket: ready, a watchdog fed only
// while both threads turn, a status line, stopping; and the logs a restart leaves.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <QElapsedTimer>
#include <QRegularExpression>
#include <QTcpSocket>
#include <algorithm>
#include <climits>
#include <csignal>
#include <cstring>
#include <vector>

#include "E2e.h"
#include "TestRobot.h"
#include "Wait.h"

using namespace testsupport;

namespace {

/// A notification socket as systemd has one: every datagram, stamped (ms on `clock`) when read.
/// Read whenever the test looks, which a wait does every few milliseconds.
class NotifySocket {
public:
    struct Message {
        qint64 at;
        QString text;
    };
    NotifySocket(const QString& path, const QElapsedTimer& clock)
        : m_clock(clock), m_fd(::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0)) {
        sockaddr_un address = {};
        address.sun_family = AF_UNIX;
        std::strncpy(address.sun_path, path.toLocal8Bit().constData(), sizeof(address.sun_path) - 1);
        ::bind(m_fd, reinterpret_cast<sockaddr*>(&address), sizeof(address));
    }
    ~NotifySocket() { ::close(m_fd); }
    const std::vector<Message>& messages() {
        char buffer[4096];
        for (ssize_t n; (n = ::recv(m_fd, buffer, sizeof(buffer), 0)) > 0;) {
            m_messages.push_back({m_clock.elapsed(), QString::fromUtf8(buffer, static_cast<int>(n)).trimmed()});
        }
        return m_messages;
    }
    /// How many messages starting with `prefix` came between `from` and `to`.
    int count(const QString& prefix, qint64 from, qint64 to = LLONG_MAX) {
        return int(std::count_if(messages().begin(), messages().end(), [&](const Message& m) {
            return m.at >= from && m.at <= to && m.text.startsWith(prefix);
        }));
    }
    /// When the first of them came at or after `from` (-1: none yet).
    qint64 first(const QString& prefix, qint64 from = 0) {
        for (const Message& m : messages()) if (m.at >= from && m.text.startsWith(prefix)) return m.at;
        return -1;
    }

private:
    const QElapsedTimer& m_clock;
    int m_fd;
    std::vector<Message> m_messages;
};

TEST(HealthE2eTest, TellsSystemdItIsReadyAliveOrStoppingAndStopsFeedingTheWatchdogWhenTheLoopHangs) {
    Sandbox sandbox;
    TestRobot robot;
    sandbox.writeFile("/etc/corvanta/webgated.conf",
                      QString("[Log]\nverbosity=3\n\n[Robot]\nstaleMs=0\n[Network]\nserver=%1\n").arg(robot.address()).toUtf8());
    QElapsedTimer clock;
    clock.start();
    NotifySocket notify(sandbox.path("/run/notify"), clock);
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
    QString status;
    for (const NotifySocket::Message& m : notify.messages()) status = m.text.startsWith("STATUS=") ? m.text : status;
    EXPECT_TRUE(QRegularExpression("^STATUS=robot link up, \\d+\\.\\d requests/s, 0 programs running$")
                    .match(status)
                    .hasMatch())
        << status.toStdString();
    // Standard output carries no line per request.
    EXPECT_TRUE(waitFor([&] { return daemon.logFile().contains("Done:{\"TYPE\":\"getVersion\"}"); }));
    EXPECT_FALSE(sandbox.readFile("/run/daemon.out").contains("Done:"));

    // The request thread held for 9 s: pings stop while the main thread still sends its status.
    QTcpSocket held;
    held.connectToHost(QHostAddress::LocalHost, daemon.port());
    ASSERT_TRUE(held.waitForConnected(5000));
    const qint64 holdStart = clock.elapsed();
    held.write("GET /webgated?" + pageEncode(R"({"TYPE":"holdRequestThread","ms":9000})") + " HTTP/1.0\r\n\r\n");
    ASSERT_TRUE(waitFor([&] { return notify.first("STATUS=", holdStart + 3000) >= 0; }, 10000));
    const qint64 statusWhileHeld = notify.first("STATUS=", holdStart + 3000);
    EXPECT_EQ(notify.count("WATCHDOG=1", holdStart + 2600, statusWhileHeld), 0);
    // Once the thread turns again, so does the watchdog.
    ASSERT_TRUE(waitFor([&] { return held.waitForReadyRead(100) || held.bytesAvailable() > 0; }, 15000));
    const qint64 released = clock.elapsed();
    EXPECT_TRUE(waitFor([&] { return notify.first("WATCHDOG=1", released) >= 0; }));

    daemon.signalDaemon(SIGTERM);
    EXPECT_TRUE(waitFor([&] { return notify.first("STOPPING=1") >= 0; }));
}

}  // namespace
