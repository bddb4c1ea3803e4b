// The request loop over a real FastCGI socket: serving, stopping with a request in progress
// (which still finishes and is answered), a peer stalled in its request dropped while the others
// are served again, and an accept that cannot work ending the loop with a level-0 line.
#include <gtest/gtest.h>

#include <QLocalSocket>
#include <QThread>
#include <atomic>
#include <thread>

#include "DaemonEnvironment.h"
#include "Fcgi.h"
#include "FcgiClient.h"
#include "Wait.h"

using testsupport::DaemonEnvironment;

namespace {

const QByteArray kAck = "Content-type: text/html\r\n\r\n{\"TYPE\":\"ACK\"}";
std::atomic<bool> g_slowStarted{false};
std::atomic<bool> g_slowMayFinish{false};

RequestResult slow(Fcgi&, Request& request) {
    g_slowStarted = true;
    while (!g_slowMayFinish) QThread::msleep(1);
    request.setText("finished", QStringLiteral("yes"));
    return Ack;
}
RequestResult fast(Fcgi&, Request&) { return Ack; }

class ConnectionTest : public ::testing::Test {
protected:
    // Once, before any request thread: Qt's thread hand-over is invisible to ThreadSanitizer, so
    // replacing the table between two runs would show as a race with the last run's thread.
    static void SetUpTestSuite() {
        DaemonEnvironment::instance().fcgi().setCommandTable({{"slow", slow, false}, {"fast", fast, false}});
    }
    void TearDown() override { EXPECT_TRUE(m_env.fcgi().stop()); }

    DaemonEnvironment& m_env = DaemonEnvironment::instance();
    const QString m_socket = m_env.root() + QStringLiteral("/connections.sock");
};
using RequestLoopTest = ConnectionTest;

TEST_F(RequestLoopTest, ServesRequestsAndFinishesTheOneInProgressWhenStopped) {
    ASSERT_TRUE(testsupport::socketOnStdin(m_socket));
    Fcgi& fcgi = m_env.fcgi();
    fcgi.start();
    QByteArray out;
    ASSERT_TRUE(testsupport::fcgiRequest(m_socket, "{\"TYPE\":\"fast\"}", &out));
    EXPECT_EQ(out, kAck);
    QByteArray slowOut;
    bool slowOk = false;
    std::thread client([&] { slowOk = testsupport::fcgiRequest(m_socket, "{\"TYPE\":\"slow\"}", &slowOut); });
    ASSERT_TRUE(testsupport::waitFor([] { return g_slowStarted.load(); }, 5000));
    // The handler may finish once the stop has begun.
    std::thread release([&] {
        for (int i = 0; i < 10000 && !fcgi.isStopping(); ++i) QThread::msleep(1);
        g_slowMayFinish = true;
    });
    fcgi.stop();
    release.join();
    client.join();
    EXPECT_FALSE(fcgi.isRunning());
    EXPECT_TRUE(slowOk);
    EXPECT_EQ(slowOut, QByteArray("Content-type: text/html\r\n\r\n{\"finished\":\"yes\",\"TYPE\":\"ACK\"}"));
    EXPECT_EQ(fcgi.requestCount(), 2u);
    QByteArray late;  // after the stop nothing is accepted any more
    EXPECT_FALSE(testsupport::fcgiRequest(m_socket, "{\"TYPE\":\"fast\"}", &late, 500));
}

TEST_F(ConnectionTest, APeerStalledInItsRequestIsDroppedAndOthersAreServedAgain) {
    ASSERT_TRUE(testsupport::socketOnStdin(m_socket));
    m_env.fcgi().setReadTimeoutMs(200);
    m_env.fcgi().start();
    QLocalSocket stalled;
    stalled.connectToServer(m_socket);
    ASSERT_TRUE(stalled.waitForConnected(5000));
    stalled.write(QByteArray("\1\1\0\1\0\10", 6));  // the first 6 bytes of a record
    ASSERT_TRUE(stalled.waitForBytesWritten(5000));
    ASSERT_TRUE(testsupport::waitFor([] { return testsupport::threadBlockedInRead(0, "Fcgi"); }));
    QByteArray out;
    ASSERT_TRUE(testsupport::fcgiRequest(m_socket, "{\"TYPE\":\"fast\"}", &out));
    EXPECT_EQ(out, kAck);
    EXPECT_TRUE(stalled.waitForDisconnected(5000));
}

TEST_F(ConnectionTest, AnAcceptThatCannotWorkEndsTheLoopWithALevel0Line) {
    ASSERT_TRUE(testsupport::socketOnStdin(m_socket, false));
    m_env.clearLog();
    m_env.fcgi().start();
    ASSERT_TRUE(m_env.fcgi().wait(10000));
    EXPECT_TRUE(m_env.fcgi().hasLoopFailed());
    EXPECT_TRUE(m_env.logText().contains(QStringLiteral(
        "ERROR: the request loop ended, no more requests are served: accept failed: ")));
}

}  // namespace
