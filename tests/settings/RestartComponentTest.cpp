// restartComponent with real processes: the rule's commands run as one script through the
// configured sudo program; one run per file at a time, any number of files at once; the script
// is gone after its run and never written through a name planted in /tmp.
// ctest: threads
#include <gtest/gtest.h>
#include <unistd.h>

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QSet>
#include <thread>

#include "ProcessSandbox.h"
#include "SettingsSupport.h"
#include "Wait.h"

using namespace settingstest;
using testsupport::DaemonEnvironment;
using testsupport::ProcessSandbox;
using testsupport::waitFor;

namespace {

class RestartComponentTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() { s_sandbox = new ProcessSandbox(); }
    static void TearDownTestSuite() {
        delete s_sandbox;
        s_sandbox = nullptr;
    }
    void SetUp() override {
        // The stand-in sudo records each call and runs its arguments unprivileged.
        DaemonEnvironment::instance().setConfig(
            ProcessSandbox::config(QStringLiteral("unused"), sandbox().path(QStringLiteral("bin/sudo"))));
        sandbox().clearSudoCalls();
        QFile::remove(out());
        QFile::remove(sandbox().path(QStringLiteral("release")));
        removeDir(QStringLiteral("/etc/restartpage"));
        QDir().mkpath(DaemonEnvironment::instance().path(QStringLiteral("/tmp")));
        setLocations({QStringLiteral("/etc/restartpage")});
    }
    // Every run has ended (its script is deleted then) before the next test looks at sudo's calls.
    void TearDown() override { EXPECT_TRUE(waitFor([] { return scripts().isEmpty(); }, 15000)); }
    static ProcessSandbox& sandbox() { return *s_sandbox; }
    static QString out() { return sandbox().path(QStringLiteral("out")); }
    // Sent from a second thread, as the request thread does, while the main thread ends runs.
    static QByteArray restart(const char* file) {
        QByteArray reply;
        std::thread requestThread(
            [&] { reply = outcome(QByteArray("{\"TYPE\":\"restartComponent\",\"filepath\":\"") + file + "\"}"); });
        requestThread.join();
        return reply;
    }
    static void rebuild() { DaemonEnvironment::instance().request("{\"TYPE\":\"getSettingsCategoryXML\"}"); }
    static QStringList scripts() {
        return QDir(DaemonEnvironment::instance().path(QStringLiteral("/tmp"))).entryList(QDir::Files);
    }
    // A file whose rule runs `commands`, each followed by a line that appends its own mode.
    static void writeRule(const char* name, const QByteArray& commands) {
        writeFile(QStringLiteral("/etc/restartpage/") + QLatin1String(name),
                  "#@restart command begin\n#@name Comp\n" + commands + "\n#@web\nk=v\n");
    }
    static inline ProcessSandbox* s_sandbox = nullptr;
};

TEST_F(RestartComponentTest, RunsEveryCommandOfTheRuleThroughSudoAndDeletesTheScript) {
    const QByteArray target = out().toLocal8Bit();
    writeRule("a.conf", "#@cmd echo one >> " + target + "\n#@cmd stat -c %a \"$0\" >> " + target);
    rebuild();
    ASSERT_EQ(restart("/etc/restartpage/a.conf"), "ACK");
    ASSERT_TRUE(waitFor([] { return sandbox().sudoCalls().size() == 2; }, 10000));
    EXPECT_EQ(sandbox().readFile(QStringLiteral("out")), QByteArray("one\n700\n"));
    const QString call = sandbox().sudoCalls().at(0);
    // The script's name and its time stamp format are pinned by the planted-link test below.
    EXPECT_TRUE(call.startsWith(DaemonEnvironment::instance().path(QStringLiteral("/tmp/restart_")))) << call.toStdString();
    EXPECT_EQ(sandbox().sudoCalls().at(1), "done " + call);
}

TEST_F(RestartComponentTest, RefusesWithoutRuleOrPathAndKnowsANewRuleAfterTheNextRebuild) {
    writeFile(QStringLiteral("/etc/restartpage/late.conf"), "#@web\nk=v\n");
    rebuild();
    writeRule("late.conf", "#@cmd echo late >> " + out().toLocal8Bit());
    for (const char* file : {"/etc/restartpage/late.conf", "/etc/restartpage/missing.conf"})
        EXPECT_EQ(restart(file), "ERR NO RULE FOUND TO RESTART THE COMPONENT") << file;
    EXPECT_EQ(outcome("{\"TYPE\":\"restartComponent\"}"), "ERR MISSING PARAMETER(S)");
    EXPECT_EQ(outcome("{\"TYPE\":\"restartComponent\",\"filepath\":1}"), "ERR MISSING PARAMETER(S)");
    EXPECT_TRUE(sandbox().sudoCalls().isEmpty());
    rebuild();
    EXPECT_EQ(restart("/etc/restartpage/late.conf"), "ACK");
    EXPECT_TRUE(waitFor([] { return sandbox().readFile(QStringLiteral("out")) == "late\n"; }, 10000));
}

TEST_F(RestartComponentTest, ASecondRequestWhileTheFirstRunsIsRefused) {
    // The rule waits (at most ten seconds) for the test to release it.
    const QByteArray release = sandbox().path(QStringLiteral("release")).toLocal8Bit();
    writeRule("slow.conf", "#@cmd for i in $(seq 200); do [ -e " + release + " ] && break; sleep 0.05; done\n"
                           "#@cmd echo ran >> " + out().toLocal8Bit());
    writeRule("other.conf", "#@cmd echo other >> " + out().toLocal8Bit() + ".other");
    rebuild();
    ASSERT_EQ(restart("/etc/restartpage/slow.conf"), "ACK");
    ASSERT_TRUE(waitFor([] { return sandbox().sudoCalls().size() == 1; }, 10000));
    EXPECT_EQ(restart("/etc/restartpage/slow.conf"), "ERR A restart of this component is still running.");
    EXPECT_EQ(restart("/etc/restartpage/other.conf"), "ACK");  // another file is not held up
    sandbox().writeFile(QStringLiteral("release"), "");
    ASSERT_TRUE(waitFor([] { return sandbox().readFile(QStringLiteral("out")) == "ran\n" && scripts().isEmpty(); },
                        15000));
    ASSERT_TRUE(waitFor([] { return restart("/etc/restartpage/slow.conf") == "ACK"; }));
    EXPECT_TRUE(waitFor([] { return sandbox().readFile(QStringLiteral("out")) == "ran\nran\n"; }, 15000));
    EXPECT_EQ(sandbox().readFile(QStringLiteral("out.other")), "other\n");
}

TEST_F(RestartComponentTest, RunsEveryRestartOfTwoFilesStartedInTheSameMillisecond) {
    const QByteArray target = out().toLocal8Bit();
    writeRule("a.conf", "#@cmd echo a >> " + target);
    writeRule("b.conf", "#@cmd echo b >> " + target);
    rebuild();
    for (int i = 0; i < 50; ++i) {
        ASSERT_EQ(restart("/etc/restartpage/a.conf") + " " + restart("/etc/restartpage/b.conf"), "ACK ACK") << i;
        ASSERT_TRUE(waitFor([] { return scripts().isEmpty() && sandbox().sudoCalls().size() % 4 == 0; }, 10000));
    }
    // Each script ran once, under a name of its own.
    const QStringList calls = sandbox().sudoCalls();
    const QStringList starts = calls.filter(QRegularExpression(QStringLiteral("^/")));
    EXPECT_EQ(starts.size(), 100);
    EXPECT_EQ(QSet<QString>(starts.begin(), starts.end()).size(), 100);
    const QList<QByteArray> lines = sandbox().readFile(QStringLiteral("out")).split('\n');
    EXPECT_EQ(lines.count("a"), 50);
    EXPECT_EQ(lines.count("b"), 50);
}

TEST_F(RestartComponentTest, NeverWritesThroughAPlantedNameAndStillRuns) {
    // Links at every script name and its three numbered variants from now until a second after the
    // planting, pointing at a file root would run.
    writeRule("a.conf", "#@cmd echo ran >> " + out().toLocal8Bit());
    rebuild();
    const QByteArray victim = QFile::encodeName(sandbox().writeFile(QStringLiteral("victim"), "untouched\n"));
    const QString tmp = DaemonEnvironment::instance().path(QStringLiteral("/tmp/"));
    const QDateTime now = QDateTime::currentDateTime();
    for (int ms = 0; now.addMSecs(ms) < QDateTime::currentDateTime().addMSecs(1000); ++ms) {
        ASSERT_LT(ms, 120000) << "the machine is too slow to plant the links";
        const QByteArray name = QFile::encodeName(tmp + QStringLiteral("restart_") +
                                                  now.addMSecs(ms).toString(QStringLiteral("yyyy_MM_dd_hh_mm_ss_zzz")));
        for (int n = 0; n < 4; ++n)
            ASSERT_EQ(::symlink(victim, name + (n ? "_" + QByteArray::number(n) : QByteArray()) + ".sh"), 0);
    }
    EXPECT_EQ(restart("/etc/restartpage/a.conf"), "ACK");
    EXPECT_TRUE(waitFor([] { return sandbox().readFile(QStringLiteral("out")) == "ran\n"; }, 10000));
    for (const QString& link : scripts()) {
        if (QFileInfo(tmp + link).isSymLink()) QFile::remove(tmp + link);
    }
    // The script got a name nobody could foresee.
    EXPECT_TRUE(QRegularExpression(QStringLiteral("/tmp/restart_[0-9_]{23}_[A-Za-z0-9]{6}\\.sh$"))
                    .match(sandbox().sudoCalls().value(0))
                    .hasMatch())
        << sandbox().sudoCalls().value(0).toStdString();
    EXPECT_EQ(sandbox().readFile(QStringLiteral("victim")), "untouched\n");
}


}  // namespace
