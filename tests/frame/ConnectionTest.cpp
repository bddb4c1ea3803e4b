// The request thread against its connections: a peer stalled in its request is dropped and the
// others are served again; an accept that cannot work ends the loop with a level-0 line.
#include <gtest/gtest.h>

#include <QLocalSocket>

#include "DaemonEnvironment.h"
#include "Fcgi.h"
#include "FcgiClient.h"
#include "Wait.h"

using testsupport::DaemonEnvironment;

namespace {

RequestResult fast(Fcgi&, Request&) { return Ack; }

class ConnectionTest : public ::testing::Test {
protected:
    void SetUp() override { m_env.fcgi().setCommandTable({{"fast", fast, false}}); }
    void TearDown() override { m_env.fcgi().stop(); }

    DaemonEnvironment& m_env = DaemonEnvironment::instance();
    const QString m_socket = m_env.root() + QStringLiteral("/connections.sock");
};

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
    EXPECT_EQ(out, QByteArray("Content-type: text/html\r\n\r\n{\"TYPE\":\"ACK\"}"));
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
