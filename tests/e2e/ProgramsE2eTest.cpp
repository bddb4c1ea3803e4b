// Robot programs through the real daemon: started by the page, and ended with the daemon.
#include <gtest/gtest.h>
#include <signal.h>

#include <QFile>
#include <algorithm>

#include "E2e.h"
#include "Processes.h"
#include "Wait.h"

using namespace testsupport;

namespace {

TEST(ProgramsE2eTest, ProgramTreeEndsWithTheDaemon) {
    Sandbox sandbox;
    // A chain of three that notes its pids; every level ignores SIGTERM, so only the SIGKILL of
    // the bounded shutdown ends it.
    sandbox.writeFile(
        "/interpreter",
        "#!/bin/bash\ntrap '' TERM\nlevel() {\n  echo $BASHPID >> \"$0.pids\"\n"
        "  if [ $1 -lt 2 ]; then level $(($1 + 1)) & fi\n  while :; do sleep 0.1; done\n}\n"
        "level 0\n");
    QFile::setPermissions(sandbox.path("/interpreter"),
                          QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    sandbox.writeFile("/etc/corvanta/webgated.conf",
                      "[Network]\nserver=127.0.0.1:1\n[Scripts]\nsudo=/usr/bin/env\n"
                      "[Flowdesk]\npath=" +
                          sandbox.path("/interpreter").toUtf8() + "\n");
    DaemonUnderTest daemon(sandbox);
    ASSERT_TRUE(daemon.start());

    EXPECT_EQ(daemon.command(R"({"TYPE":"runProgram","programName":"p.rvw"})").body,
              R"({"TYPE":"ACK"})");
    QList<qint64> tree;
    const auto started = [&] {
        return (tree = pidsIn(sandbox.readFile("/interpreter.pids"))).size() == 3;
    };
    ASSERT_TRUE(waitFor(started, 10000));
    EXPECT_EQ(
        daemon.command(R"({"TYPE":"getProcessInfo"})").body,
        R"({"hasProcess":1,"currentProcess":"p.rvw","processState":2,"output":"","TYPE":"ACK"})");
    int exitCode = -1;
    ASSERT_TRUE(daemon.stopDaemon(SIGTERM, &exitCode));
    EXPECT_EQ(exitCode, 0);
    EXPECT_TRUE(std::none_of(tree.begin(), tree.end(), processRuns));
    for (qint64 pid : tree) {
        if (processRuns(pid))
            ::kill(static_cast<pid_t>(pid), SIGKILL);  // nothing outlives a failed test
    }
}

}  // namespace
