// The settings page for real: documents as raw XML replies through nginx, a save, a restart.
#include <gtest/gtest.h>

#include <QDir>

#include "E2e.h"
#include "TestRobot.h"
#include "Wait.h"

using namespace testsupport;

TEST(SettingsE2eTest, ServesTheDocumentsSavesAndRestarts) {
    Sandbox sandbox;
    TestRobot robot;
    sandbox.writeFile("/etc/corvanta/webgated.conf",
                      "[Network]\nserver=" + robot.address().toUtf8() + "\n[Scripts]\nsudo=/usr/bin/env\n");
    sandbox.writeFile("/etc/corvanta/camera.conf",
                      "#@restart command begin\n#@name Camera\n#@cmd echo restarted > " +
                          sandbox.path("/restarted").toUtf8() + "\n\n[Camera]\n#@web int\nfps=30\n");
    QDir().mkpath(sandbox.path("/tmp"));
    DaemonUnderTest daemon(sandbox);
    ASSERT_TRUE(daemon.start());

    HttpReply reply = daemon.command("{\"TYPE\":\"getSettingsCategoryXML\"}");
    ASSERT_TRUE(reply.ok);
    EXPECT_TRUE(reply.headers.contains("Content-Type: text/xml")) << reply.headers.constData();
    EXPECT_EQ(reply.body, "\n<List>\n    <settingCategory>\n        <categoryName>/etc/corvanta/camera.conf</categoryName>\n"
                          "        <needRestart>Camera</needRestart>\n        <parentID>root</parentID>\n"
                          "    </settingCategory>\n</List>");

    EXPECT_EQ(daemon.command("{\"TYPE\":\"saveSettings\",\"settings\":[{\"category\":\"/etc/corvanta/camera.conf\","
                             "\"itemName\":\"Camera/fps\",\"value\":\"15\"}]}")
                  .body,
              "{\"TYPE\":\"ACK\"}");
    EXPECT_TRUE(sandbox.readFile("/etc/corvanta/camera.conf").endsWith("\n[Camera]\n#@web int\nfps=15\n"));

    EXPECT_EQ(daemon.command("{\"TYPE\":\"restartComponent\",\"filepath\":\"/etc/corvanta/camera.conf\"}").body,
              "{\"TYPE\":\"ACK\"}");
    EXPECT_TRUE(waitFor([&] { return sandbox.readFile("/restarted") == "restarted\n"; }, 10000));
    EXPECT_TRUE(waitFor([&] { return QDir(sandbox.path("/tmp")).entryList(QDir::Files).isEmpty(); }, 10000));
}
