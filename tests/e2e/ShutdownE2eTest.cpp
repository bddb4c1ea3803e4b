// The daemon for real behind nginx: SIGTERM while driving stops the robot at once and ends the
// daemon even when a peer stalls or a request runs long; nginx's keep-alive pool is served in
// full; a request loop that cannot accept ends the daemon with an error; a program the daemon
// starts inherits none of its descriptors.
#include <gtest/gtest.h>
#include <signal.h>

#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTcpSocket>
#include <atomic>
#include <functional>
#include <memory>
#include <thread>

#include "E2e.h"
#include "FcgiClient.h"
#include "TestRobot.h"
#include "Wait.h"

using namespace testsupport;

namespace {

QString daemonBinary() { return binaryDir() + QStringLiteral("/daemons/apps/webgated/webgated"); }

// A folder whose programs come first on the daemon's PATH.
void putFirstOnPath(DaemonUnderTest& daemon, const QString& dir) {
    daemon.setEnvironment(QStringLiteral("PATH"), dir + ":" + qEnvironmentVariable("PATH"));
}

bool isZero(const QJsonArray& args) {
    return args.at(0).toDouble() == 0 && args.at(1).toDouble() == 0 && args.at(2).toDouble() == 0;
}

// What keeps the request thread busy when SIGTERM comes.
struct Occupier {
    const char* name;
    std::function<bool(DaemonUnderTest&, const Sandbox&)> occupy;
    bool abandoned;     // a handler still runs at the end, so the daemon ends without it
    bool finishesLate;  // the request is let finish once the robot has stopped
};

// Sends an updateCheck through nginx without waiting for the reply; true once dpkg runs.
bool startUpdateCheck(std::unique_ptr<QTcpSocket>& socket, DaemonUnderTest& daemon, const Sandbox& sandbox) {
    socket.reset(new QTcpSocket());
    socket->connectToHost(QHostAddress::LocalHost, daemon.port());
    if (!socket->waitForConnected(5000)) return false;
    socket->write("GET /webgated?" + pageEncode(R"({"TYPE":"updateCheck"})") + " HTTP/1.0\r\n\r\n");
    socket->flush();
    return waitFor([&] { return QFile::exists(sandbox.path("/run/dpkg.pid")); }, 10000);
}

TEST(ShutdownE2eTest, SigtermWhileDrivingStopsTheRobotFirstAndEndsTheDaemon) {
    // Kept alive until the daemon is gone.
    std::unique_ptr<FcgiConnection> stalled;
    std::unique_ptr<QTcpSocket> longRequest;
    const Occupier occupiers[] = {
        {"a peer stalled in its request",
         [&](DaemonUnderTest& daemon, const Sandbox&) {
             stalled.reset(new FcgiConnection(daemon.socketPath()));
             // The first 6 bytes of a record; then the request thread waits for the rest.
             return stalled->send(QByteArray("\1\1\0\1\0\10", 6)) &&
                    waitFor([&] { return threadBlockedInRead(daemon.daemonPid(), "Fcgi"); }, 10000);
         },
         false, false},
        {"a request that takes longer than the limit",
         [&](DaemonUnderTest& daemon, const Sandbox& sandbox) { return startUpdateCheck(longRequest, daemon, sandbox); },
         true, false},
        {"a request that finishes within the limit",
         [&](DaemonUnderTest& daemon, const Sandbox& sandbox) { return startUpdateCheck(longRequest, daemon, sandbox); },
         false, true},
    };
    for (const Occupier& occupier : occupiers) {
        SCOPED_TRACE(occupier.name);
        TestRobot robot;
        ASSERT_TRUE(robot.isListening());
        Sandbox sandbox;
        sandbox.writeFile("/etc/corvanta/webgated.conf",
                          "[Log]\nverbosity=3\n\n[Network]\nserver=" + robot.address().toUtf8() + "\n");
        // A dpkg that tells it has started, then waits for the test's word.
        const QByteArray run = sandbox.path("/run/").toUtf8();
        sandbox.writeFile("/bin/dpkg", "#!/bin/sh\necho $$ >" + run + "dpkg.tmp\nmv " + run + "dpkg.tmp " + run +
                                           "dpkg.pid\nwhile [ ! -e " + run + "dpkg.go ]; do sleep 0.05; done\n"
                                           "echo '+++-====-===='\necho 'ii webgated 1.0'\n");
        QFile::setPermissions(sandbox.path("/bin/dpkg"), QFileDevice::ReadOwner | QFileDevice::ExeOwner);
        DaemonUnderTest daemon(sandbox);
        putFirstOnPath(daemon, sandbox.path("/bin"));
        ASSERT_TRUE(daemon.start());
        ASSERT_TRUE(waitFor([&] { return robot.isSwitchedOn(QStringLiteral("omnidrive")); }, 15000));

        ASSERT_EQ(daemon.command(R"({"TYPE":"velDrive","vx":0.2,"vy":0,"omega":0})").body,
                  "{\"MSG\":\"velDrive(0.200,0.000,0.000)\",\"TYPE\":\"ACK\"}");
        const QString omnidrive = QStringLiteral("omnidrive");
        ASSERT_TRUE(waitFor([&] { return !robot.commands(omnidrive).isEmpty(); }, 5000));
        ASSERT_FALSE(isZero(robot.commands(omnidrive).last()));
        ASSERT_TRUE(occupier.occupy(daemon, sandbox));

        daemon.signalDaemon(SIGTERM);
        // The standstill arrives while the daemon still waits for its request thread.
        ASSERT_TRUE(waitFor([&] { return isZero(robot.commands(omnidrive).last()) || !daemon.isDaemonRunning(); },
                            15000));
        EXPECT_TRUE(isZero(robot.commands(omnidrive).last()));
        EXPECT_TRUE(daemon.isDaemonRunning());
        if (occupier.finishesLate) sandbox.writeFile("/run/dpkg.go", "");
        ASSERT_TRUE(waitFor([&] { return !daemon.isDaemonRunning(); }, 15000));
        EXPECT_EQ(daemon.daemonExitCode(), 0);
        EXPECT_TRUE(isZero(robot.commands(omnidrive).last()));
        const QByteArray log = daemon.logFile();
        EXPECT_TRUE(log.contains("SIGTERM received"));
        EXPECT_EQ(log.contains("ERROR: a request is still being served"), occupier.abandoned) << log.constData();
        // The request thread's last line, handed over after the event loop ended, is written.
        EXPECT_EQ(log.contains("Done:{\"TYPE\":\"updateCheck\"}"), occupier.finishesLate) << log.constData();

        const QByteArray pid = sandbox.readFile("/run/dpkg.pid").trimmed();
        if (!pid.isEmpty()) ::kill(pid.toInt(), SIGKILL);
        stalled.reset();
        longRequest.reset();
    }
}

TEST(ShutdownE2eTest, ABurstThroughNginxKeepAlivePoolIsAnsweredInFull) {
    Sandbox sandbox;
    sandbox.writeFile("/etc/corvanta/webgated.conf", "[Network]\nserver=127.0.0.1:" +
                                                         QByteArray::number(freePort()) + "\n");
    DaemonUnderTest daemon(sandbox);
    daemon.setKeepAlive(true);
    ASSERT_TRUE(daemon.start());
    constexpr int kClients = 6;
    constexpr int kRequests = 150;
    std::atomic<int> answered{0};
    std::vector<std::thread> clients;
    for (int c = 0; c < kClients; ++c) {
        clients.emplace_back([&] {
            for (int i = 0; i < kRequests; ++i) {
                const HttpReply reply = daemon.command(R"({"TYPE":"noSuchCommand"})");
                if (reply.status == 200 && reply.body == "{\"TYPE\":\"ERR\",\"MSG\":\"UNKNOWN COMMAND\"}") ++answered;
            }
        });
    }
    for (std::thread& client : clients) client.join();
    EXPECT_EQ(answered.load(), kClients * kRequests);
    const QByteArray errors = daemon.nginxErrors();
    for (const char* level : {"[error]", "[crit]", "[alert]", "[emerg]"}) {
        EXPECT_FALSE(errors.contains(level)) << errors.constData();
    }
}

TEST(ShutdownE2eTest, ALoopThatCannotAcceptEndsTheDaemonWithAnError) {
    Sandbox sandbox;
    sandbox.writeFile("/etc/corvanta/webgated.conf", "[Network]\nserver=127.0.0.1:" +
                                                         QByteArray::number(freePort()) + "\n");
    // A socket that is bound but does not listen, handed over as standard input.
    QProcess daemon;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("WEBGATED_ROOT"), sandbox.root());
    daemon.setProcessEnvironment(env);
    daemon.setWorkingDirectory(sandbox.root());
    daemon.start(QStringLiteral("python3"),
                 {QStringLiteral("-c"),
                  QStringLiteral("import os, socket, sys\n"
                                 "s = socket.socket(socket.AF_UNIX)\n"
                                 "s.bind(sys.argv[1])\n"
                                 "os.dup2(s.fileno(), 0)\n"
                                 "os.execv(sys.argv[2], [sys.argv[2]])\n"),
                  sandbox.path("/run/unlistened.sock"), daemonBinary()});
    ASSERT_TRUE(daemon.waitForFinished(15000));
    EXPECT_EQ(daemon.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(daemon.exitCode(), 1);
    EXPECT_TRUE(sandbox.readFile("/var/log/webgated")
                    .contains("ERROR: the request loop ended, no more requests are served: accept failed: "));
}

TEST(ShutdownE2eTest, AProgramTheDaemonStartsSeesOnlyTheStandardDescriptors) {
    Sandbox sandbox;
    sandbox.writeFile("/etc/corvanta/webgated.conf", "[Network]\nserver=127.0.0.1:" +
                                                         QByteArray::number(freePort()) + "\n");
    QDir().mkpath(sandbox.path("/bin"));
    ASSERT_TRUE(QFile::link(binaryDir() + "/tests/e2e/fd_lister", sandbox.path("/bin/dpkg")));
    DaemonUnderTest daemon(sandbox);
    putFirstOnPath(daemon, sandbox.path("/bin"));
    ASSERT_TRUE(daemon.start());
    const HttpReply reply = daemon.command(R"({"TYPE":"updateCheck"})");
    ASSERT_EQ(reply.status, 200);
    QStringList descriptors;
    for (const QJsonValue& record : QJsonDocument::fromJson(reply.body).object().value("DATA").toArray()) {
        descriptors << record.toObject().value("nme").toString() + " " + record.toObject().value("ver").toString();
    }
    ASSERT_EQ(descriptors.size(), 3) << descriptors.join(", ").toStdString();
    for (int fd = 0; fd < 3; ++fd) EXPECT_TRUE(descriptors.at(fd).startsWith(QString::number(fd) + " "));
}

}  // namespace

namespace {

TEST(ShutdownE2eTest, TheUdpLogLineShowsAnAddressHoldingPlaceholdersAsItIs) {
    Sandbox sandbox;
    sandbox.writeFile("/etc/corvanta/webgated.conf",
                      "[Log]\nverbosity=1\n[Debug]\nbroadcastLogViaUDP=1\nudpIP=fe80::1%2\nudpPort=7087\n"
                      "[Network]\nserver=127.0.0.1:" + QByteArray::number(freePort()) + "\n");
    DaemonUnderTest daemon(sandbox);
    ASSERT_TRUE(daemon.start());
    EXPECT_TRUE(waitFor([&] { return daemon.logFile().contains("Start webgated"); }, 10000));
    EXPECT_TRUE(daemon.logFile().contains(" | ip = fe80::1%2, port = 7087\n")) << daemon.logFile().constData();
}

}  // namespace
