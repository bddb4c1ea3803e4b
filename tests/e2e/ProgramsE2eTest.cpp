// Robot programs through the real daemon: started by the page, and ended with the daemon.
#include <gtest/gtest.h>
#include <signal.h>

#include <QFile>
#include <algorithm>

#include "E2e.h"
#include "Wait.h"

using namespace testsupport;

namespace {

bool runs(qint64 pid) {
    QFile stat(QStringLiteral("/proc/%1/stat").arg(pid));
    return stat.open(QIODevice::ReadOnly) && !stat.readAll().contains(") Z");
}

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
    ASSERT_TRUE(waitFor(
        [&] {
            tree.clear();
            for (const QByteArray& pid : sandbox.readFile("/interpreter.pids").split('\n')) {
                if (!pid.isEmpty()) tree.append(pid.toLongLong());
            }
            return tree.size() == 3;
        },
        10000));
    EXPECT_EQ(
        daemon.command(R"({"TYPE":"getProcessInfo"})").body,
        R"({"hasProcess":1,"currentProcess":"p.rvw","processState":2,"output":"","TYPE":"ACK"})");
    int exitCode = -1;
    ASSERT_TRUE(daemon.stopDaemon(SIGTERM, &exitCode));
    EXPECT_EQ(exitCode, 0);
    EXPECT_TRUE(std::none_of(tree.begin(), tree.end(), runs));
    for (qint64 pid : tree) {
        if (runs(pid)) ::kill(static_cast<pid_t>(pid), SIGKILL);  // nothing outlives a failed test
    }
}

}  // namespace
