// The script runner under the program commands: decoding, killing whole trees, output, restarts.
#include <QRegularExpression>

#include "ProgramFixture.h"

using namespace testsupport;

namespace {

class ScriptRunnerTest : public ProgramFixture {
protected:
    static ScriptRunner& runner() { return *ScriptRunner::singleton(); }
    /// Starts the three-level tree under the interpreter's name and returns its pids, root first.
    static QList<qint64> startTree(const QByteArray& prefix = QByteArray()) {
        sandbox().writeScript("interpreter", prefix + ProcessSandbox::threeLevelTree());
        runner().runScript(interpreter());
        waitFor([] { return treePids().size() == 3; });
        return treePids();
    }
    static bool allGone(const QList<qint64>& pids) {
        return std::none_of(pids.begin(), pids.end(), processRuns);
    }
};

TEST_F(ScriptRunnerTest, DecodesUtf8AcrossReadsCutsAtNulAndHandsOutOnce) {
    sandbox().writeScript("interpreter", "printf 'x\\xc3'\nwhile [ ! -e \"$0.go\" ]; do sleep 0.01; done\n"
                                         "printf '\\xa4 \\xff ab\\0cd'\n");
    runner().runScript(interpreter());
    QString output;
    ASSERT_TRUE(waitFor([&] { return !(output += runner().getProcessOutput()).isEmpty(); }));
    // The first byte of the split character waits for the second.
    EXPECT_EQ(output, "x");
    sandbox().writeFile("interpreter.go", QByteArray());
    ASSERT_TRUE(waitFor([&] { return !runner().hasProcess(interpreter()); }));
    output += runner().getProcessOutput();
    EXPECT_EQ(output, QStringLiteral("x\u00e4 \ufffd ab"));
    EXPECT_EQ(runner().getProcessOutput(), QString());
}

TEST_F(ScriptRunnerTest, KillsTheTreeDeepestFirstRootIncluded) {
    env().clearLog();
    const QList<qint64> pids = startTree();
    ASSERT_EQ(pids.size(), 3);
    runner().killTree(interpreter());
    ASSERT_TRUE(waitFor([&] { return allGone(pids) && !runner().hasProcess(interpreter()); }));

    // The pkill calls for the tree's own levels, in the order they were made.
    QList<qint64> order;
    for (const QString& call : sandbox().sudoCalls().filter(QRegularExpression("^bash -c pkill -TERM -P "))) {
        if (pids.contains(call.section(' ', -1).toLongLong())) order.append(call.section(' ', -1).toLongLong());
    }
    EXPECT_EQ(order, QList<qint64>({pids[2], pids[1], pids[0]}));
    // SIGTERM alone ended it: the root got one too.
    EXPECT_FALSE(env().logText().contains("SIGKILL"));
}

TEST_F(ScriptRunnerTest, ChildrenStartedDuringTheGracePeriodGoWithTheTree) {
    // Each ignores SIGTERM and then starts children that would outlive it: from its TERM trap,
    // or from its loop.
    const QByteArray programs[] = {
        "trap 'sleep 300 & echo $! >> late' TERM\n",
        "n=0\ntrap 'n=3' TERM\nwhile [ $n = 0 ]; do sleep 0.05; done\n"
        "while [ $n -gt 0 ]; do sleep 300 & echo $! >> late; n=$((n - 1)); sleep 0.05; done\n",
    };
    for (const QByteArray& program : programs) {
        for (const char* file : {"late", "pids"}) QFile::remove(sandbox().path(file));
        sandbox().writeScript("interpreter", "cd \"$(dirname \"$0\")\"\necho $$ > pids\n" + program +
                                                 "while :; do sleep 0.05; done\n");
        runner().runScript(interpreter());
        ASSERT_TRUE(waitFor([] { return treePids().size() == 1; }));
        runner().killTree(interpreter());
        ASSERT_TRUE(waitFor([] { return !sandbox().readFile("late").isEmpty(); }));
        EXPECT_TRUE(waitFor([] { return !runner().isKilling(interpreter()) && !runner().hasProcess(interpreter()); },
                            15000));
        const QList<qint64> late = pidsIn(sandbox().readFile("late"));
        EXPECT_TRUE(allGone(late)) << program.constData();
        for (qint64 pid : late) ::kill(static_cast<pid_t>(pid), SIGKILL);
    }
}

TEST_F(ScriptRunnerTest, OutputBufferKeepsTheNewestMebibyte) {
    sandbox().writeScript("interpreter", "head -c 1100000 /dev/zero | tr '\\0' a\necho end\n");
    bool ended = false;
    runner().runScript(interpreter(), {}, [&](int, int) { ended = true; });
    ASSERT_TRUE(waitFor([&] { return ended; }));
    const QString output = runner().getProcessOutput();
    EXPECT_EQ(output.size(), ScriptRunner::kMaxOutputChars);
    EXPECT_TRUE(output.startsWith(QLatin1Char('a')) && output.endsWith(QLatin1String("aend\n")));
}

TEST_F(ScriptRunnerTest, NewRunStartsOnlyOnceTheOldTreeIsGone) {
    // Run with "check", the interpreter lists which of the old tree still runs, then ends.
    const QList<qint64> pids = startTree(
        "if [ \"$1\" = check ]; then for p in $(cat \"$(dirname \"$0\")/pids\"); do\n"
        "  grep -qs ') [^Z]' /proc/$p/stat && echo \"alive $p\"; done; echo checked; exit 0; fi\n");
    ASSERT_EQ(pids.size(), 3);
    runner().runScript(interpreter(), {"check"});
    QString output;
    ASSERT_TRUE(waitFor([&] { return (output += runner().getProcessOutput()).contains("checked"); }));
    EXPECT_EQ(output, "checked\n");
    EXPECT_TRUE(allGone(pids));
}

TEST_F(ScriptRunnerTest, KillWithNothingRegisteredRunsKillallBeforeTheNextStart) {
    sandbox().writeScript("interpreter", "echo interpreter >> \"$(dirname \"$0\")/sudo.calls\"\n");
    runner().killTree(sandbox().path("other"));  // ends no interpreter
    runner().killTree(interpreter());
    runner().runScript(interpreter());
    ASSERT_TRUE(waitFor([] { return sandbox().sudoCalls().contains("interpreter"); }));
    EXPECT_EQ(sandbox().sudoCalls(),
              QStringList({"killall " + interpreter(), "done killall " + interpreter(), "interpreter"}));
}

}  // namespace
