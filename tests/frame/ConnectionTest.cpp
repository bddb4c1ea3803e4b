// The request thread against several web server connections: kept connections do not starve
// the others, a peer stalled in its request is dropped, stop() abandons what does not finish,
// and an accept that cannot work ends the loop with a level-0 line.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "DaemonEnvironment.h"
#include "Fcgi.h"
#include "FcgiClient.h"
#include "Wait.h"

using testsupport::DaemonEnvironment;
using testsupport::FcgiConnection;
using testsupport::waitFor;

namespace {

const QByteArray kAck = "Content-type: text/html\r\n\r\n{\"TYPE\":\"ACK\"}";
std::atomic<bool> g_slowStarted{false};
std::atomic<bool> g_slowMayFinish{false};

RequestResult fast(Fcgi&, Request&) { return Ack; }
RequestResult slow(Fcgi&, Request&) {
    g_slowStarted = true;
    while (!g_slowMayFinish) std::this_thread::yield();
    return Ack;
}

class ConnectionTest : public ::testing::Test {
protected:
    void SetUp() override {
        m_socket = m_env.root() + QStringLiteral("/connections.sock");
        ASSERT_TRUE(testsupport::socketOnStdin(m_socket));
        m_env.fcgi().setCommandTable({{"fast", fast, false}, {"slow", slow, false}});
        m_env.fcgi().setReadTimeoutMs(Fcgi::kReadTimeoutMs);
    }
    void TearDown() override {
        g_slowMayFinish = true;
        m_env.fcgi().stop();
        m_env.fcgi().wait();
        g_slowStarted = false;
        g_slowMayFinish = false;
    }

    DaemonEnvironment& m_env = DaemonEnvironment::instance();
    QString m_socket;
};

TEST_F(ConnectionTest, KeptConnectionsDoNotStarveTheOthers) {
    m_env.fcgi().start();
    FcgiConnection kept(m_socket);
    FcgiConnection other(m_socket);
    QByteArray out;
    ASSERT_TRUE(kept.request("{\"TYPE\":\"fast\"}", &out, true));
    EXPECT_EQ(out, kAck);
    // While the first stays open and idle, another connection is served, and so is the first again.
    for (FcgiConnection* connection : {&other, &kept, &other}) {
        out.clear();
        ASSERT_TRUE(connection->request("{\"TYPE\":\"fast\"}", &out, true));
        EXPECT_EQ(out, kAck);
    }
    // Without keep-alive the daemon closes the connection after the response.
    FcgiConnection once(m_socket);
    out.clear();
    ASSERT_TRUE(once.request("{\"TYPE\":\"fast\"}", &out, false));
    EXPECT_EQ(out, kAck);
    EXPECT_TRUE(once.waitForClose(5000));
}

TEST_F(ConnectionTest, APeerStalledInItsRequestIsDroppedAndOthersAreServedAgain) {
    m_env.fcgi().setReadTimeoutMs(200);
    m_env.fcgi().start();
    FcgiConnection stalled(m_socket);
    ASSERT_TRUE(stalled.send(QByteArray("\1\1\0\1\0\10", 6)));  // the first 6 bytes of a record
    ASSERT_TRUE(waitFor([] { return testsupport::threadBlockedInRead(0, "Fcgi"); }, 5000));
    QByteArray out;
    ASSERT_TRUE(testsupport::fcgiRequest(m_socket, "{\"TYPE\":\"fast\"}", &out, 10000));
    EXPECT_EQ(out, kAck);
    EXPECT_TRUE(stalled.waitForClose(5000));
}

TEST_F(ConnectionTest, StopAbandonsARequestStillBeingRead) {
    m_env.fcgi().start();
    FcgiConnection stalled(m_socket);
    ASSERT_TRUE(stalled.send(QByteArray("\1\1\0\1\0\10", 6)));
    ASSERT_TRUE(waitFor([] { return testsupport::threadBlockedInRead(0, "Fcgi"); }, 5000));
    EXPECT_TRUE(m_env.fcgi().stop(0));
    EXPECT_FALSE(m_env.fcgi().isRunning());
    EXPECT_FALSE(m_env.fcgi().hasLoopFailed());
}

TEST_F(ConnectionTest, StopReportsAHandlerThatDoesNotReturn) {
    m_env.fcgi().start();
    QByteArray out;
    std::thread client([&] { testsupport::fcgiRequest(m_socket, "{\"TYPE\":\"slow\"}", &out, 10000); });
    ASSERT_TRUE(waitFor([] { return g_slowStarted.load(); }, 5000));
    EXPECT_FALSE(m_env.fcgi().stop(0));
    EXPECT_TRUE(m_env.fcgi().isRunning());
    g_slowMayFinish = true;
    client.join();
    EXPECT_TRUE(m_env.fcgi().wait(10000));
}

TEST_F(ConnectionTest, AnAcceptThatCannotWorkEndsTheLoopWithALevel0Line) {
    ASSERT_TRUE(testsupport::socketOnStdin(m_socket, false));
    m_env.clearLog();
    m_env.fcgi().start();
    ASSERT_TRUE(m_env.fcgi().wait(10000));
    EXPECT_TRUE(m_env.fcgi().hasLoopFailed());
    EXPECT_TRUE(m_env.logText().contains(
        QStringLiteral("ERROR: the request loop ended, no more requests are served: accept failed: ")));
}

}  // namespace
