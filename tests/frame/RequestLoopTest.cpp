// The request loop over a real FastCGI socket: serving, and stopping with a request in progress,
// which still finishes and is answered.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <QThread>
#include <atomic>
#include <cstring>
#include <thread>

#include "DaemonEnvironment.h"
#include "Fcgi.h"
#include "FcgiClient.h"
#include "Wait.h"

using testsupport::DaemonEnvironment;

namespace {

std::atomic<bool> g_slowStarted{false};
std::atomic<bool> g_slowMayFinish{false};

RequestResult slow(Fcgi&, Request& request) {
    g_slowStarted = true;
    while (!g_slowMayFinish) QThread::msleep(1);
    request.setText("finished", QStringLiteral("yes"));
    return Ack;
}
RequestResult fast(Fcgi&, Request&) { return Ack; }

// Makes a listening Unix socket the process's standard input, as a FastCGI spawner does.
QString listenOnStdin(const QString& dir) {
    const QString path = dir + "/loop.sock";
    const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un address = {};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, path.toLocal8Bit().constData(), sizeof(address.sun_path) - 1);
    if (::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0 || ::listen(fd, 16) != 0) return {};
    ::dup2(fd, 0);
    ::close(fd);
    return path;
}

TEST(RequestLoopTest, ServesRequestsAndFinishesTheOneInProgressWhenStopped) {
    DaemonEnvironment& env = DaemonEnvironment::instance();
    const QString socket = listenOnStdin(env.root());
    ASSERT_FALSE(socket.isEmpty());
    Fcgi& fcgi = env.fcgi();
    fcgi.setCommandTable({{"slow", slow, false}, {"fast", fast, false}});
    fcgi.start();

    QByteArray out;
    ASSERT_TRUE(testsupport::fcgiRequest(socket, "{\"TYPE\":\"fast\"}", &out));
    EXPECT_EQ(out, QByteArray("Content-type: text/html\r\n\r\n{\"TYPE\":\"ACK\"}"));
    QByteArray slowOut;
    bool slowOk = false;
    std::thread client([&] { slowOk = testsupport::fcgiRequest(socket, "{\"TYPE\":\"slow\"}", &slowOut); });
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
    EXPECT_FALSE(testsupport::fcgiRequest(socket, "{\"TYPE\":\"fast\"}", &late, 500));
}

}  // namespace
