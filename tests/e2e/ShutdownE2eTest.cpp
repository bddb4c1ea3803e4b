// The daemon for real behind nginx: each stop signal while driving stops the robot at once and
// ends the daemon, the robot program it runs and a camera stream (which ends as a multipart body
// ends), even when a peer stalls or a request runs long;
// a daemon killed outright leaves the robot to its own command timeout, and the next one starts
// with a standstill; a program the daemon starts inherits none of its descriptors.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QLocalSocket>
#include <QTcpSocket>
#include <cmath>
#include <memory>

#include "E2e.h"
#include "ProcessSandbox.h"
#include "TestRobot.h"
#include "Wait.h"
#include "kel/corvanta/rpc/Client.h"

using namespace testsupport;

namespace {

// A daemon under `sandbox` whose PATH finds `dpkg` (a shell script) first.
bool startWithDpkg(DaemonUnderTest& daemon, const Sandbox& sandbox, const QByteArray& dpkg,
                   const QByteArray& config = "[Network]\nserver=127.0.0.1:1\n") {
    sandbox.writeFile("/etc/corvanta/webgated.conf", config);
    sandbox.writeFile("/bin/dpkg", "#!/bin/sh\necho '+++-===-==='\n" + dpkg);
    QFile::setPermissions(sandbox.path("/bin/dpkg"), QFileDevice::ReadOwner | QFileDevice::ExeOwner);
    daemon.setEnvironment("PATH", sandbox.path("/bin") + ":" + qEnvironmentVariable("PATH"));
    return daemon.start();
}

bool isZero(const QJsonArray& args) { return args == QJsonArray{0, 0, 0}; }

// Whether process `pid` has `path` open.
bool hasOpen(qint64 pid, const QString& path) {
    const QString fds = QStringLiteral("/proc/%1/fd").arg(pid);
    const QString target = QFileInfo(path).canonicalFilePath();
    for (const QString& fd : QDir(fds).entryList(QDir::Files | QDir::System)) {
        if (QFile::symLinkTarget(fds + '/' + fd) == target) return true;
    }
    return false;
}

// How far apart the daemon's set-points are.
constexpr int kSetPointIntervalMs = 100;

TEST(ShutdownE2eTest, AStopSignalWhileDrivingStopsTheRobotFirstAndEndsTheDaemon) {
    enum Busy { StalledPeer, WorkBeyondTheLimit, WorkFinishingInTime };
    // Each stop signal once.
    for (const auto& [busy, signal] : {std::pair{StalledPeer, SIGINT}, {WorkBeyondTheLimit, SIGHUP},
                                       {WorkFinishingInTime, SIGTERM}}) {
        SCOPED_TRACE(busy);
        TestRobot robot;
        Sandbox sandbox;
        DaemonUnderTest daemon(sandbox);
        const QByteArray run = sandbox.path("/run/").toUtf8();
        // A robot program: a helper that leaves its tree (a double fork), then a chain of three
        // that notes its pids; every level ignores SIGTERM, so only the SIGKILL after the grace
        // period ends it. dpkg notes how it was started and waits for a word that never comes.
        sandbox.writeFile("/interpreter", "#!/bin/bash\nONTERM=''\ncd \"$(dirname \"$0\")\"\n"
                                          "(sleep 300 & echo $! >orphan) &\n" + ProcessSandbox::threeLevelTree());
        QFile::setPermissions(sandbox.path("/interpreter"), QFile::ReadOwner | QFile::ExeOwner);
        ASSERT_TRUE(startWithDpkg(
            daemon, sandbox,
            "grep -h -e ^SigBlk -e ^policy /proc/self/status /proc/self/sched >" + run + "dpkg.start\n"
            "echo $$ >" + run + "dpkg.pid\nuntil [ -e " + run + "go ]; do sleep 0.05; done\n",
            "[Log]\nverbosity=3\n[Debug]\nbroadcastLogViaUDP=1\nudpIP=fe80::1%2\n"
            "[Robot]\nstaleMs=0\n[Scripts]\nsudo=/usr/bin/env\n[Flowdesk]\npath=" +
                sandbox.path("/interpreter").toUtf8() + "\n[Network]\nserver=" +
                robot.address().toUtf8() + "\n"));
        sandbox.writeFile("/home/corvanta/programs/p", "program");
        ASSERT_TRUE(daemon.command(R"({"TYPE":"runProgram","programName":"p"})").ok);
        QList<qint64> tree;
        ASSERT_TRUE(waitFor([&] {
            return (tree = pidsIn(sandbox.readFile("/pids") + sandbox.readFile("/orphan"))).size() == 4;
        }));
        EXPECT_FALSE(QDir(sandbox.path("/run/webgated/programs")).isEmpty());  // the copy it runs
        EXPECT_EQ(daemon.command(R"({"TYPE":"getProcessInfo"})").body,
                  R"({"hasProcess":1,"currentProcess":"p","processState":2,"output":"","TYPE":"ACK"})");
        const auto last = [&] { return robot.commands("omnidrive").value(robot.commands("omnidrive").size() - 1); };
        ASSERT_TRUE(waitFor([&] { return robot.isSwitchedOn("omnidrive"); }, 15000));
        ASSERT_TRUE(daemon.command(R"({"TYPE":"velDrive","vx":0.2,"vy":0,"omega":0})").ok);
        // After the start-up standstill, the page's set-point.
        ASSERT_TRUE(waitFor([&] { return !last().isEmpty() && !isZero(last()); }));

        QLocalSocket stalled;
        QTcpSocket request[2];
        int pipe = -1;
        const auto send = [&](QTcpSocket& socket, const QByteArray& command) {
            socket.connectToHost(QHostAddress::LocalHost, daemon.port());
            socket.write("GET /webgated?" + pageEncode(command) + " HTTP/1.0\r\n\r\n");
            return socket.waitForBytesWritten(5000);
        };
        if (busy == StalledPeer) {
            stalled.connectToServer(daemon.socketPath());
            stalled.write(QByteArray("\1\1\0\1\0\10", 6));  // the first 6 bytes of a record
            ASSERT_TRUE(stalled.waitForBytesWritten(5000));
            // Answered after the stalled bytes were there: the loop has read them.
            ASSERT_TRUE(daemon.command(R"({"TYPE":"getVersion"})").ok);
        } else {
            // The version file is a pipe that this test holds open and writes nothing to yet:
            // reading it holds the worker thread. Held from here, so that neither side's open
            // waits for the other.
            QFile::remove(sandbox.path("/version.txt"));
            ASSERT_EQ(::mkfifo(QFile::encodeName(sandbox.path("/version.txt")).constData(), 0600), 0);
            pipe = ::open(QFile::encodeName(sandbox.path("/version.txt")).constData(),
                          O_RDWR | O_NONBLOCK | O_CLOEXEC);
            ASSERT_GE(pipe, 0);
            ASSERT_TRUE(send(request[0], R"({"TYPE":"getVersion"})"));
            // The stop comes while the request is being served.
            ASSERT_TRUE(waitFor([&] { return hasOpen(daemon.daemonPid(), sandbox.path("/version.txt")); }));
        }
        if (busy == WorkBeyondTheLimit) {
            ASSERT_TRUE(send(request[1], R"({"TYPE":"updateCheck"})"));
            ASSERT_TRUE(waitFor([&] { return QFile::exists(run + "dpkg.pid"); }, 10000));
            // dpkg starts with no signal blocked and the usual policy.
            EXPECT_EQ(sandbox.readFile("/run/dpkg.start").simplified(), "SigBlk: 0000000000000000 policy : 0");
        }
        // Requests that wait for the disk or a tool hold nobody else.
        ASSERT_TRUE(daemon.command(R"({"TYPE":"HEARTBEAT"})").ok);
        HttpStream viewer(daemon.port(), "/webgated?" + pageEncode(R"({"TYPE":"getimage","stream":true})"));
        ASSERT_TRUE(viewer.waitFor(hasParts(1)));

        daemon.signalDaemon(signal);
        // The standstill reaches the robot while the daemon still waits for its request thread.
        ASSERT_TRUE(waitFor([&] { return isZero(last()) || !daemon.isDaemonRunning(); }));
        EXPECT_TRUE(isZero(last()) && daemon.isDaemonRunning());
        if (busy == WorkFinishingInTime) {
            ASSERT_EQ(::write(pipe, "1.2.3\n", 6), 6);
            ::close(pipe);  // the end of the file
            pipe = -1;
        }
        ASSERT_TRUE(waitFor([&] { return !daemon.isDaemonRunning(); }, 15000));
        if (pipe >= 0) ::close(pipe);
        EXPECT_EQ(daemon.daemonExitCode(), 0);
        EXPECT_TRUE(viewer.waitEnded());
        EXPECT_TRUE(viewer.body().endsWith("\r\n--webgatedframe\r\n\r\n--webgatedframe--\r\n"));
        if (busy == WorkFinishingInTime) {
            request[0].waitForReadyRead(5000);
            EXPECT_TRUE(request[0].readAll().endsWith(R"({"DATA":"1.2.3","TYPE":"DATA"})"));
        }
        // No robot program outlives the daemon, however it ended, nor the copy it ran.
        EXPECT_TRUE(QDir(sandbox.path("/run/webgated/programs")).isEmpty());
        for (qint64 pid : tree) {
            EXPECT_FALSE(processRuns(pid));
            if (processRuns(pid)) ::kill(static_cast<pid_t>(pid), SIGKILL);
        }
        const QByteArray log = daemon.logFile();
        // The request's last line, written after the event loop ended, is kept.
        EXPECT_EQ(log.contains("Done:{\"TYPE\":\"getVersion\"}"), busy != WorkBeyondTheLimit) << log.data();
        EXPECT_EQ(log.contains("ERROR: a request is still being served"), busy == WorkBeyondTheLimit);
        if (busy == WorkBeyondTheLimit) {
            // The package tool that would have run on was killed, its request answered.
            EXPECT_FALSE(processRuns(sandbox.readFile("/run/dpkg.pid").trimmed().toLongLong()));
            EXPECT_TRUE(log.contains("updateCheck: dpkg was ended by signal 9") &&
                        log.contains("ERROR: {\"TYPE\":\"updateCheck\"}"));
        }
        // An address holding a placeholder is shown as it is.
        EXPECT_TRUE(log.contains(" | ip = fe80::1%2, port = 7086\n"));
    }
}

// Nothing can send a standstill for a daemon killed outright: the robot's own command timeout
// stops it, and the next daemon's first set-point clears whatever the robot still held.
TEST(ShutdownE2eTest, AHardKilledDaemonLeavesTheRobotStandingAndTheNextStartsWithAStandstill) {
    Sandbox sandbox;
    SimulatedRobot robot(sandbox.path("/run/robot.record"));
    ASSERT_TRUE(robot.start());
    sandbox.writeFile("/etc/corvanta/webgated.conf",
                      "[Network]\nserver=" + robot.address().toUtf8() + "\n");
    auto daemon = std::make_unique<DaemonUnderTest>(sandbox);
    ASSERT_TRUE(daemon->start());
    ASSERT_TRUE(waitFor([&] { return !robot.setPoints().isEmpty(); }));
    EXPECT_TRUE(isZero(robot.setPoints().first()));
    // Turning on the spot: no wall ever stops it.
    ASSERT_TRUE(daemon->command(R"({"TYPE":"velDrive","vx":0,"vy":0,"omega":0.5})").ok);
    ASSERT_TRUE(waitFor([&] { return !isZero(robot.setPoints().last()); }));

    ::kill(static_cast<pid_t>(daemon->daemonPid()), SIGKILL);
    // robotsim says so once it has set its own speed to zero, and after how long without a
    // set-point: the last one left at most a tick before the kill, so the robot stands within 1 s.
    ASSERT_TRUE(waitFor([&] { return robot.output().contains("robot stopped"); }));
    const QByteArray said = robot.output();
    ASSERT_TRUE(said.contains("no set-point for ")) << said.data();
    const int silentMs = said.mid(said.indexOf("no set-point for ") + 17).split(' ').first().toInt();
    EXPECT_TRUE(silentMs > 0 && silentMs + kSetPointIntervalMs <= 1000) << said.data();
    const QList<QJsonArray> before = robot.setPoints();
    ASSERT_FALSE(isZero(before.last()));  // nobody but the robot itself stopped it

    daemon = std::make_unique<DaemonUnderTest>(sandbox);
    ASSERT_TRUE(daemon->start());
    ASSERT_TRUE(waitFor([&] { return robot.setPoints().size() > before.size(); }));
    EXPECT_TRUE(isZero(robot.setPoints().at(before.size())));
}

TEST(ShutdownE2eTest, AProgramTheDaemonStartsSeesOnlyTheStandardDescriptors) {
    Sandbox sandbox;
    DaemonUnderTest daemon(sandbox);
    // This dpkg lists its own descriptors as packages (not the one its glob reads, nor itself).
    ASSERT_TRUE(
        startWithDpkg(daemon, sandbox,
                      "cd /proc/$$/fd && for fd in *; do [ -e $fd ] && "
                      "[ \"$(readlink $fd)\" != \"$0\" ] && echo \"ii $fd x\"; done; true\n"));
    EXPECT_EQ(daemon.command(R"({"TYPE":"updateCheck"})").body,
              R"({"DATA":[{"sts":"ii","nme":"0","ver":"x"},{"sts":"ii","nme":"1","ver":"x"},)"
              R"({"sts":"ii","nme":"2","ver":"x"}],"TYPE":"ACK"})");
}

}  // namespace
