// The daemon for real: behind spawn-fcgi and nginx, under a sandbox root, with a robot on the wire.
#include <gtest/gtest.h>
#include <signal.h>

#include <QElapsedTimer>
#include <algorithm>
#include <QFileInfo>

#include "E2e.h"
#include "TestRobot.h"
#include "Wait.h"
#include "kel/rpc/Server.h"

using namespace testsupport;

namespace {

const QByteArray kJsonHeader = "Content-type: text/html\r\n\r\n";

QByteArray config(const QString& robot, int verbosity) {
    return QString("[Log]\nverbosity=%1\n\n[Network]\nserver=%2\n").arg(verbosity).arg(robot).toUtf8();
}

TEST(FrameE2eTest, AnswersTheLoopsRepliesThroughNginx) {
    Sandbox sandbox;
    TestRobot robot;
    sandbox.writeFile("/etc/corvanta/webgated.conf", config(robot.address(), 3));
    DaemonUnderTest daemon(sandbox);
    ASSERT_TRUE(daemon.start());

    HttpReply reply = daemon.command("{\"TYPE\":\"noSuchThing\"}");
    ASSERT_TRUE(reply.ok);
    EXPECT_EQ(reply.status, 200);
    EXPECT_TRUE(reply.headers.contains("Content-Type: text/html")) << reply.headers.constData();
    EXPECT_EQ(reply.body, "{\"TYPE\":\"ERR\",\"MSG\":\"UNKNOWN COMMAND\"}");
    EXPECT_EQ(daemon.query("%7B%22TYPE%22:%22x%22%7D").body, "{\"TYPE\":\"ERR\",\"MSG\":\"UNKNOWN COMMAND\"}");
    EXPECT_EQ(daemon.query("%7b%22TYPE%22:%22x%22%7d").body, "{\"TYPE\":\"ERR\",\"MSG\":\"NO JSON OBJ RECIEVED\"}");
    EXPECT_EQ(daemon.query("").body, "{\"TYPE\":\"ERR\",\"MSG\":\"NO JSON OBJ RECIEVED\"}");
    EXPECT_EQ(daemon.command("{\"type\":1}").body, "{\"TYPE\":\"ERR\",\"MSG\":\"NO TYPE FIELD FOUND\"}");
    EXPECT_EQ(daemon.command("[1,2]").body, "{\"TYPE\":\"ACK\"}");
    // Bytes that are not UTF-8, a long query and deep nesting are answered, and the next request served.
    EXPECT_EQ(daemon.query("{%22TYPE%22:%22\xff\xfe%22}").body, "{\"TYPE\":\"ERR\",\"MSG\":\"NO JSON OBJ RECIEVED\"}");
    EXPECT_EQ(daemon.query("{%22TYPE%22:%22" + QByteArray(30000, 'a') + "%22}").body,
              "{\"TYPE\":\"ERR\",\"MSG\":\"UNKNOWN COMMAND\"}");
    EXPECT_EQ(daemon.query(QByteArray(20000, '[') + QByteArray(20000, ']')).body,
              "{\"TYPE\":\"ERR\",\"MSG\":\"NO JSON OBJ RECIEVED\"}");
    EXPECT_EQ(daemon.command("{\"TYPE\":\"noSuchThing\"}").body, "{\"TYPE\":\"ERR\",\"MSG\":\"UNKNOWN COMMAND\"}");

    // The main thread writes the request thread's lines a moment after the reply has gone.
    const QList<QByteArray> lines{"| UNKNOWN COMMAND: {\"TYPE\":\"noSuchThing\"}", "| Done:{\"TYPE\":\"noSuchThing\"}",
                                  "| NO JSON OBJ RECIEVED: %7b\"TYPE\":\"x\"%7d"};
    EXPECT_TRUE(waitFor(
        [&] {
            const QByteArray log = daemon.logFile();
            return std::all_of(lines.begin(), lines.end(), [&](const QByteArray& line) { return log.contains(line); });
        },
        5000))
        << daemon.logFile().constData();
    // The link into the web server's tree points at the program store.
    EXPECT_EQ(QFileInfo(sandbox.path("/var/www/programs")).symLinkTarget(), sandbox.path("/home/corvanta/programs"));
    int status = -1;
    ASSERT_TRUE(daemon.stopDaemon(SIGTERM, &status));
    EXPECT_EQ(status, 0);
}

TEST(FrameE2eTest, UserConfigurationWinsAndVerbosityFiltersTheLog) {
    Sandbox sandbox;
    TestRobot robot;
    // The system file points at no robot and keeps the log quiet; the user file wins on both.
    sandbox.writeFile("/etc/corvanta/webgated.conf", config("127.0.0.1:1", 0) + "[Debug]\nbroadcastLogViaUDP=2\n");
    sandbox.writeFile("/home/corvanta/.config/webgated.conf", config(robot.address(), 2));
    DaemonUnderTest daemon(sandbox);
    ASSERT_TRUE(daemon.start());
    EXPECT_TRUE(waitFor([&] { return robot.clientCount() == 1; }, 10000));
    ASSERT_EQ(daemon.command("{\"TYPE\":\"noSuchThing\"}").body, "{\"TYPE\":\"ERR\",\"MSG\":\"UNKNOWN COMMAND\"}");
    ASSERT_TRUE(waitFor([&] { return daemon.logFile().contains("UNKNOWN COMMAND: "); }, 5000));
    const QByteArray log = daemon.logFile();
    EXPECT_FALSE(log.startsWith('\n'));
    EXPECT_TRUE(log.contains("| Log level = 2"));
    EXPECT_TRUE(log.contains("| broadCastViaUdp = 2"));
    EXPECT_FALSE(log.contains("ip = "));  // only 1 switches the UDP log on
    EXPECT_TRUE(log.contains("| address = " + robot.address().toUtf8()));
    // Level 3 ("Done:") is above the verbosity: never written.
    EXPECT_FALSE(log.contains("Done:")) << log.constData();
}

TEST(FrameE2eTest, ConnectsToTheRobotAndRenewsItsTopicsAfterARestart) {
    Sandbox sandbox;
    TestRobot robot;
    sandbox.writeFile("/etc/corvanta/webgated.conf", config(robot.address(), 1));
    DaemonUnderTest daemon(sandbox);
    ASSERT_TRUE(daemon.start());
    ASSERT_TRUE(waitFor([&] { return robot.isSwitchedOn("odometry") && robot.isSwitchedOn("set_relay_array"); }, 10000));
    EXPECT_TRUE(robot.isSwitchedOn("set_log_level"));
    EXPECT_FALSE(robot.isSwitchedOn("image0"));

    // The robot goes away and comes back on the same port.
    const quint16 port = robot.port();
    robot.server().close();
    robot.disconnectClients();
    robot.clearMessages();
    spin(300);
    ASSERT_TRUE(robot.server().listen(QHostAddress::LocalHost, port));
    QElapsedTimer back;
    back.start();
    ASSERT_TRUE(waitFor([&] { return robot.isSwitchedOn("odometry") && robot.isSwitchedOn("bumper"); }, 10000));
    // The client retries every second; a generous bound that only a broken reconnect would miss.
    EXPECT_LT(back.elapsed(), 5000);
    int enables = 0;
    for (const QJsonObject& message : robot.messages()) {
        if (message.value("op").toString() == "enable" && message.value("topic").toString() == "battery") ++enables;
    }
    EXPECT_GE(enables, 1);

    // The robot's services may change the log level at run time.
    daemon.command("{\"TYPE\":\"x\"}");
    EXPECT_FALSE(daemon.logFile().contains("Done:"));
    robot.publish("set_log_level", QJsonArray{3});
    EXPECT_TRUE(waitFor(
        [&] {
            daemon.command("{\"TYPE\":\"x\"}");
            return daemon.logFile().contains("Done:");
        },
        5000));
}

TEST(FrameE2eTest, EachStopSignalEndsTheDaemonWithStatusZero) {
    for (int signal : {SIGTERM, SIGINT, SIGHUP}) {
        SCOPED_TRACE(signal);
        Sandbox sandbox;
        sandbox.writeFile("/etc/corvanta/webgated.conf", config("127.0.0.1:1", 0));
        DaemonUnderTest daemon(sandbox);
        ASSERT_TRUE(daemon.start());
        ASSERT_TRUE(daemon.command("{\"TYPE\":\"x\"}").ok);
        int status = -1;
        ASSERT_TRUE(daemon.stopDaemon(signal, &status));
        EXPECT_EQ(status, 0);
        const QByteArray name = signal == SIGTERM ? "SIGTERM" : signal == SIGINT ? "SIGINT" : "SIGHUP";
        EXPECT_TRUE(daemon.logFile().contains("| " + name + " received")) << daemon.logFile().constData();
        EXPECT_TRUE(daemon.output().contains("Quit"));
    }
}

}  // namespace
