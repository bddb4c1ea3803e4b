// The request loop over a real FastCGI socket: serving, stopping with a request in progress
// (which still finishes and is answered), a peer stalled in its request dropped while the others
// are served again, and an accept that cannot work ending the loop with a level-0 line.
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <QElapsedTimer>
#include <QLocalSocket>
#include <QThread>
#include <atomic>
#include <cstring>
#include <thread>

#include "DaemonEnvironment.h"
#include "Fcgi.h"
#include "Wait.h"

using testsupport::DaemonEnvironment;

namespace {

enum : unsigned char { kBeginRequest = 1, kEndRequest = 3, kParams = 4, kStdin = 5, kStdout = 6 };

QByteArray record(unsigned char type, const QByteArray& content) {
    QByteArray r;
    r.append(char(1)).append(char(type)).append(char(0)).append(char(1));
    r.append(char((content.size() >> 8) & 0xff)).append(char(content.size() & 0xff));
    r.append(char(0)).append(char(0));
    return r + content;
}

QByteArray nameValue(const QByteArray& name, const QByteArray& value) {
    QByteArray pair;
    auto length = [&pair](int n) {
        if (n < 128) {
            pair.append(char(n));
        } else {
            pair.append(char(((n >> 24) & 0x7f) | 0x80)).append(char((n >> 16) & 0xff));
            pair.append(char((n >> 8) & 0xff)).append(char(n & 0xff));
        }
    };
    length(name.size());
    length(value.size());
    return pair + name + value;
}

/// Plays the web server: sends one FastCGI responder request whose only parameter is
/// QUERY_STRING to the Unix socket `socketPath`, and collects the standard output stream.
/// Returns false on a connection or protocol failure or when `timeoutMs` passes.
bool fcgiRequest(const QString& socketPath, const QByteArray& query, QByteArray* out, int timeoutMs = 10000) {
    const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
    if (fd < 0) return false;
    sockaddr_un address = {};
    address.sun_family = AF_UNIX;
    const QByteArray path = socketPath.toLocal8Bit();
    std::strncpy(address.sun_path, path.constData(), sizeof(address.sun_path) - 1);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0) {
        ::close(fd);
        return false;
    }
    const QByteArray begin("\0\1\0\0\0\0\0\0", 8);  // role responder, no keep-alive
    QByteArray request = record(kBeginRequest, begin);
    request += record(kParams, nameValue("QUERY_STRING", query));
    request += record(kParams, QByteArray());
    request += record(kStdin, QByteArray());
    if (::write(fd, request.constData(), size_t(request.size())) != request.size()) {
        ::close(fd);
        return false;
    }

    QByteArray data;
    QElapsedTimer timer;
    timer.start();
    bool ended = false;
    while (!ended && timer.elapsed() < timeoutMs) {
        pollfd p = {fd, POLLIN, 0};
        if (::poll(&p, 1, 50) <= 0) continue;
        char buffer[65536];
        const ssize_t n = ::read(fd, buffer, sizeof(buffer));
        if (n <= 0) break;
        data.append(buffer, int(n));
        // Parse whole records from the front.
        while (data.size() >= 8) {
            const int length = (uchar(data[4]) << 8) | uchar(data[5]);
            const int total = 8 + length + uchar(data[6]);
            if (data.size() < total) break;
            const unsigned char type = uchar(data[1]);
            if (type == kStdout && out) out->append(data.mid(8, length));
            if (type == kEndRequest) ended = true;
            data.remove(0, total);
        }
    }
    ::close(fd);
    return ended;
}

/// Makes a Unix socket at `path` the process's standard input, as a FastCGI spawner does;
/// with `listening` false it is only bound. False on failure.
bool socketOnStdin(const QString& path, bool listening = true) {
    ::unlink(path.toLocal8Bit().constData());
    const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un address = {};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, path.toLocal8Bit().constData(), sizeof(address.sun_path) - 1);
    const bool ok = fd >= 0 &&
                    ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) == 0 &&
                    (!listening || ::listen(fd, 16) == 0) && ::dup2(fd, 0) == 0;
    ::close(fd);
    return ok;
}

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
// A raw reply of "bytes" bytes, each its offset's low byte.
const char kRawHeader[] = "Content-Type: application/octet-stream\r\n\r\n";
QByteArray rawBody(int bytes) {
    QByteArray body(bytes, '\0');
    for (int i = 0; i < bytes; ++i) body[i] = char(i);
    return body;
}
RequestResult raw(Fcgi&, Request& request) {
    request.setRawResponse(kRawHeader, rawBody(int(json_integer_value(request.param("bytes")))));
    return Ack;
}

class ConnectionTest : public ::testing::Test {
protected:
    // Once, before any request thread: Qt's thread hand-over is invisible to ThreadSanitizer, so
    // replacing the table or the limit between two runs would show as a race with the last run's
    // thread.
    static void SetUpTestSuite() {
        DaemonEnvironment::instance().fcgi().setCommandTable({{"slow", slow, false}, {"fast", fast, false}, {"raw", raw, false}});
        DaemonEnvironment::instance().fcgi().setReadTimeoutMs(200);  // stalled peers go quickly
    }
    void TearDown() override { EXPECT_TRUE(m_env.fcgi().stop()); }

    DaemonEnvironment& m_env = DaemonEnvironment::instance();
    const QString m_socket = m_env.root() + QStringLiteral("/connections.sock");
};
using RequestLoopTest = ConnectionTest;

TEST_F(RequestLoopTest, ServesRequestsAndFinishesTheOneInProgressWhenStopped) {
    ASSERT_TRUE(socketOnStdin(m_socket));
    Fcgi& fcgi = m_env.fcgi();
    fcgi.start();
    QByteArray out;
    ASSERT_TRUE(fcgiRequest(m_socket, "{\"TYPE\":\"fast\"}", &out));
    EXPECT_EQ(out, kAck);
    QByteArray slowOut;
    bool slowOk = false;
    std::thread client([&] { slowOk = fcgiRequest(m_socket, "{\"TYPE\":\"slow\"}", &slowOut); });
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
    EXPECT_FALSE(fcgiRequest(m_socket, "{\"TYPE\":\"fast\"}", &late, 500));
}

TEST_F(ConnectionTest, APeerStalledInItsRequestIsDroppedAndOthersAreServedAgain) {
    ASSERT_TRUE(socketOnStdin(m_socket));
    m_env.fcgi().start();
    QLocalSocket stalled;
    stalled.connectToServer(m_socket);
    ASSERT_TRUE(stalled.waitForConnected(5000));
    stalled.write(QByteArray("\1\1\0\1\0\10", 6));  // the first 6 bytes of a record
    ASSERT_TRUE(stalled.waitForBytesWritten(5000));
    ASSERT_TRUE(testsupport::waitFor([] { return testsupport::threadBlockedInRead(0, "Fcgi"); }));
    QByteArray out;
    ASSERT_TRUE(fcgiRequest(m_socket, "{\"TYPE\":\"fast\"}", &out));
    EXPECT_EQ(out, kAck);
    EXPECT_TRUE(stalled.waitForDisconnected(5000));
}

TEST_F(ConnectionTest, RepliesOfEverySizeArriveWholeAndAPeerThatDoesNotReadIsDropped) {
    ASSERT_TRUE(socketOnStdin(m_socket));
    m_env.fcgi().start();
    // Empty, one record exactly, one byte more, several records, more than the socket holds.
    const int header = int(sizeof(kRawHeader)) - 1;
    for (int bytes : {0, 65528 - header, 65529 - header, 200000, 3 << 20}) {
        SCOPED_TRACE(bytes);
        QByteArray out;
        ASSERT_TRUE(fcgiRequest(m_socket, "{\"TYPE\":\"raw\",\"bytes\":" + QByteArray::number(bytes) + "}", &out));
        EXPECT_TRUE(out == kRawHeader + rawBody(bytes));
    }
    QLocalSocket deaf;  // asks for more than the socket holds and reads none of it
    deaf.connectToServer(m_socket);
    ASSERT_TRUE(deaf.waitForConnected(5000));
    const QByteArray query = "{\"TYPE\":\"raw\",\"bytes\":8388608}";
    deaf.write(record(kBeginRequest, QByteArray("\0\1\0\0\0\0\0\0", 8)) + record(kParams, nameValue("QUERY_STRING", query)) +
               record(kParams, QByteArray()) + record(kStdin, QByteArray()));
    ASSERT_TRUE(deaf.waitForBytesWritten(5000));
    ASSERT_TRUE(testsupport::waitFor([this] { return m_env.fcgi().requestCount() > 5; }));
    QByteArray out;
    ASSERT_TRUE(fcgiRequest(m_socket, "{\"TYPE\":\"fast\"}", &out));
    EXPECT_EQ(out, kAck);
}

TEST_F(ConnectionTest, AnAcceptThatCannotWorkEndsTheLoopWithALevel0Line) {
    ASSERT_TRUE(socketOnStdin(m_socket, false));
    m_env.clearLog();
    m_env.fcgi().start();
    ASSERT_TRUE(m_env.fcgi().wait(10000));
    EXPECT_TRUE(m_env.fcgi().hasLoopFailed());
    EXPECT_TRUE(m_env.logText().contains(QStringLiteral(
        "ERROR: the request loop ended, no more requests are served: accept failed: ")));
}

}  // namespace
