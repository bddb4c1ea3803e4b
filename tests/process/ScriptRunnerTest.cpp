// The script runner with real processes: "/usr/bin/env" as the configured sudo program and a
// stand-in `sudo` first on PATH for the helpers (pkill, killall, kill).
#include <gtest/gtest.h>

#include <QFile>

#include "DaemonEnvironment.h"
#include "ProcessSandbox.h"
#include "Wait.h"
#include "process/ScriptRunner.h"

using testsupport::DaemonEnvironment;
using testsupport::pidsIn;
using testsupport::processRuns;
using testsupport::ProcessSandbox;
using testsupport::waitFor;

namespace {

class ScriptRunnerTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() { s_sandbox = new ProcessSandbox(); }
    static void TearDownTestSuite() {
        delete s_sandbox;
        s_sandbox = nullptr;
    }
    void SetUp() override {
        m_name = sandbox().path(QStringLiteral("interpreter"));
        env().setConfig(ProcessSandbox::config(m_name));
        runner().getProcessOutput();
        sandbox().clearSudoCalls();
        QFile::remove(sandbox().path(QStringLiteral("pids")));
    }
    void TearDown() override {
        runner().killTree(m_name);
        EXPECT_TRUE(waitFor(
            [this] { return !runner().hasProcess(m_name) && !runner().isKilling(m_name); }, 10000));
    }

    static DaemonEnvironment& env() { return DaemonEnvironment::instance(); }
    static ScriptRunner& runner() { return *ScriptRunner::singleton(); }
    static ProcessSandbox& sandbox() { return *s_sandbox; }

    /// Starts the three-level tree under the interpreter's name and returns its pids, root first.
    QList<qint64> startTree(const QByteArray& prefix = QByteArray()) {
        sandbox().writeScript(QStringLiteral("interpreter"),
                              prefix + ProcessSandbox::threeLevelTree());
        runner().runScript(m_name);
        waitFor([] { return pidsIn(sandbox().readFile(QStringLiteral("pids"))).size() == 3; });
        return pidsIn(sandbox().readFile(QStringLiteral("pids")));
    }
    static bool allGone(const QList<qint64>& pids) {
        for (qint64 pid : pids) {
            if (processRuns(pid)) return false;
        }
        return true;
    }

    static ProcessSandbox* s_sandbox;
    QString m_name;
};

ProcessSandbox* ScriptRunnerTest::s_sandbox = nullptr;

TEST_F(ScriptRunnerTest, DecodesUtf8AcrossReadsCutsAtNulAndHandsOutOnce) {
    const QString marker = sandbox().path(QStringLiteral("go"));
    QFile::remove(marker);
    sandbox().writeScript(QStringLiteral("interpreter"),
                          "printf 'x\\xc3'\nwhile [ ! -e \"$1\" ]; do sleep 0.01; done\n"
                          "printf '\\xa4 \\xff ab\\0cd'\n");
    runner().runScript(m_name, {marker});
    QString output;
    ASSERT_TRUE(waitFor([&] { return !(output += runner().getProcessOutput()).isEmpty(); }));
    // The first byte of the split character waits for the second.
    EXPECT_EQ(output, QStringLiteral("x"));
    sandbox().writeFile(QStringLiteral("go"), QByteArray());
    ASSERT_TRUE(waitFor([&] { return !runner().hasProcess(m_name); }));
    output += runner().getProcessOutput();
    EXPECT_EQ(output, QStringLiteral("x\u00e4 \ufffd ab"));
    EXPECT_EQ(runner().getProcessOutput(), QString());
}

TEST_F(ScriptRunnerTest, TwoProgramsShareTheBufferAndReportTheirEnd) {
    const QString other = sandbox().writeScript(QStringLiteral("other"), "echo two\nexit 3\n");
    sandbox().writeScript(QStringLiteral("interpreter"), "echo one\n");
    QList<int> codes;
    runner().runScript(m_name, {}, [&](int code, int) { codes.append(code); });
    runner().runScript(other, {}, [&](int code, int) { codes.append(code * 10); });
    ASSERT_TRUE(waitFor([&] { return codes.size() == 2; }));
    std::sort(codes.begin(), codes.end());
    EXPECT_EQ(codes, QList<int>({0, 30}));
    const QString output = runner().getProcessOutput();
    EXPECT_TRUE(output.contains(QLatin1String("one\n")) && output.contains(QLatin1String("two\n")))
        << qPrintable(output);
    for (const QString& name : {m_name, other}) {
        const ScriptRunner::ProcessInfo info = runner().processInfo(name);
        EXPECT_FALSE(info.registered);
        EXPECT_EQ(info.state, -1);
    }
    EXPECT_TRUE(env().logText().contains(
        QStringLiteral("ScriptRunner::on_process_finished %1 : exitcode = 3").arg(other)));
}

TEST_F(ScriptRunnerTest, ProgramThatCannotStartStaysRegisteredInStateZero) {
    env().setConfig(ProcessSandbox::config(m_name, sandbox().path(QStringLiteral("missing"))));
    QList<int> codes;
    runner().runScript(m_name, {}, [&](int code, int status) { codes << code << status; });
    ASSERT_TRUE(waitFor([&] { return !codes.isEmpty(); }));
    EXPECT_EQ(codes, QList<int>({-1, -1}));
    const ScriptRunner::ProcessInfo info = runner().processInfo(m_name);
    EXPECT_TRUE(info.registered);
    EXPECT_EQ(info.state, 0);
    EXPECT_TRUE(env().logText().contains(
        QStringLiteral("ScriptRunner::on_process_error %1 : error = 0").arg(m_name)));

    // A new run replaces it.
    env().setConfig(ProcessSandbox::config(m_name));
    sandbox().writeScript(QStringLiteral("interpreter"), "echo replaced\n");
    runner().runScript(m_name);
    ASSERT_TRUE(
        waitFor([&] { return runner().getProcessOutput() == QLatin1String("replaced\n"); }));
}

TEST_F(ScriptRunnerTest, KillsTheTreeDeepestFirstRootIncluded) {
    const QList<qint64> pids = startTree();
    ASSERT_EQ(pids.size(), 3);
    runner().killTree(m_name);
    ASSERT_TRUE(waitFor([&] { return allGone(pids) && !runner().hasProcess(m_name); }, 10000));

    // The pkill calls for the tree's own levels, in the order they were made.
    QList<qint64> order;
    for (const QString& call : sandbox().sudoCalls()) {
        if (!call.startsWith(QLatin1String("bash -c pkill -TERM -P "))) continue;
        const qint64 parent = call.section(QLatin1Char(' '), -1).toLongLong();
        if (pids.contains(parent)) order.append(parent);
    }
    EXPECT_EQ(order, QList<qint64>({pids[2], pids[1], pids[0]}));
    EXPECT_TRUE(env().logText().contains(QStringLiteral("killtree:%1\n").arg(pids[0])));
}

TEST_F(ScriptRunnerTest, ProgramIgnoringSigtermIsKilledAfterTheGracePeriod) {
    const QList<qint64> pids = startTree("ONTERM=''\n");
    ASSERT_EQ(pids.size(), 3);
    runner().killTree(m_name);
    ASSERT_TRUE(waitFor([&] { return allGone(pids) && !runner().hasProcess(m_name); }, 15000));
    EXPECT_TRUE(env().logText().contains(QStringLiteral("killtree: SIGKILL")));
}

TEST_F(ScriptRunnerTest, NewRunStartsOnlyOnceTheOldTreeIsGone) {
    // Run with "check", the interpreter lists which of the old tree still runs, then ends.
    const QList<qint64> pids = startTree(
        "if [ \"$1\" = check ]; then for p in $(cat \"$(dirname \"$0\")/pids\"); do\n"
        "  grep -qs ') [^Z]' /proc/$p/stat && echo \"alive $p\"; done; echo checked; exit 0; fi\n");
    ASSERT_EQ(pids.size(), 3);
    runner().runScript(m_name, {QStringLiteral("check")});
    QString output;
    ASSERT_TRUE(waitFor(
        [&] { return (output += runner().getProcessOutput()).contains(QLatin1String("checked")); },
        10000));
    EXPECT_EQ(output, QStringLiteral("checked\n"));
    EXPECT_TRUE(allGone(pids));
}

TEST_F(ScriptRunnerTest, KillWithNothingRegisteredRunsKillallBeforeTheNextStart) {
    sandbox().writeScript(QStringLiteral("interpreter"),
                          "echo interpreter >> \"$(dirname \"$0\")/sudo.calls\"\n");
    runner().killTree(m_name);
    runner().runScript(m_name);
    ASSERT_TRUE(
        waitFor([] { return sandbox().sudoCalls().contains(QLatin1String("interpreter")); }));
    const QStringList calls = sandbox().sudoCalls();
    EXPECT_EQ(calls, QStringList({"killall " + m_name, "done killall " + m_name, "interpreter"}));
}

}  // namespace
