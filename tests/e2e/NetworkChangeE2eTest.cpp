// The daemon for real behind nginx: a network change that waits for its confirmation when the
// daemon is killed outright is undone by the next start.
#include <gtest/gtest.h>
#include <signal.h>

#include <QFile>

#include "E2e.h"
#include "Wait.h"

using namespace testsupport;

namespace {

TEST(NetworkChangeE2eTest, AChangeWaitingWhenTheDaemonIsKilledIsUndoneByTheNextStart) {
    Sandbox sandbox;
    const QByteArray before = "auto eth0\niface eth0 inet static\n  address 10.0.0.5\n  netmask 255.0.0.0\n";
    sandbox.writeFile("/etc/network/interfaces", before);
    const QByteArray interfaces = sandbox.path("/etc/network/interfaces").toUtf8();
    const QByteArray args = sandbox.path("/run/eth.args").toUtf8();
    sandbox.writeFile("/usr/local/bin/eth.sh",
                      "#!/bin/sh\necho \"$*\" >>" + args + "\nprintf 'iface eth0 inet %s\\n' \"$1\" >" +
                          interfaces + "\n");
    QFile::setPermissions(sandbox.path("/usr/local/bin/eth.sh"), QFile::ReadOwner | QFile::ExeOwner);
    sandbox.writeFile("/etc/corvanta/webgated.conf",
                      "[Network]\nserver=127.0.0.1:1\n[Log]\nverbosity=1\n[Scripts]\nsudo=/usr/bin/env\n"
                      "reconfigure_eth0_script=" + sandbox.path("/usr/local/bin/eth.sh").toUtf8() + "\n");
    const QByteArray status = R"({"TYPE":"getNetworkChange"})";
    {
        DaemonUnderTest daemon(sandbox);
        ASSERT_TRUE(daemon.start());
        const HttpReply reply = daemon.command(R"({"TYPE":"SetEthConf","DHCP":"true","confirmWithin":10})");
        ASSERT_TRUE(reply.body.contains("\"changeId\":")) << reply.body.constData();
        ASSERT_TRUE(waitFor([&] { return daemon.command(status).body.contains("\"state\":\"waiting\""); }));
        daemon.signalDaemon(SIGKILL);
        ASSERT_TRUE(waitFor([&] { return !daemon.isDaemonRunning(); }));
    }
    EXPECT_EQ(sandbox.readFile("/etc/network/interfaces"), "iface eth0 inet dhcp\n");
    DaemonUnderTest again(sandbox);
    ASSERT_TRUE(again.start());
    // The rest of its ten seconds, at most.
    EXPECT_TRUE(waitFor([&] { return again.command(status).body.contains("\"state\":\"rolled back\""); },
                        30000));
    EXPECT_EQ(sandbox.readFile("/etc/network/interfaces"), before);
    EXPECT_EQ(sandbox.readFile("/run/eth.args"), "dhcp\nstatic 10.0.0.5 255.0.0.0\n");
    EXPECT_FALSE(QFile::exists(sandbox.path("/var/lib/webgated/network-change.json")));
    EXPECT_TRUE(again.logFile().contains("from before the restart waits")) << again.logFile().constData();
}

}  // namespace
