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
    static void TearDownTestSuite() { delete s_sandbox; }
    void SetUp() override {
        // The stand-in sudo records each call and runs its arguments unprivileged.
        DaemonEnvironment::instance().setConfig(ProcessSandbox::config("unused", sandbox().path("bin/sudo")));
        sandbox().clearSudoCalls();
        for (const char* file : {"out", "out.other", "release"}) QFile::remove(sandbox().path(file));
        removeDir("/etc/restartpage");
        QDir().mkpath(tmp());
        setLocations({"/etc/restartpage"});
    }
    // Every run has ended (its script is deleted then) before the next test looks at sudo's calls.
    void TearDown() override { EXPECT_TRUE(waitFor([] { return scripts().isEmpty(); }, 15000)); }
    static ProcessSandbox& sandbox() { return *s_sandbox; }
    static QByteArray out() { return sandbox().path("out").toLocal8Bit(); }
    static QByteArray ran(const char* file = "out") { return sandbox().readFile(file); }
    static QString tmp() { return DaemonEnvironment::instance().path("/tmp/"); }
    // Sent from a second thread, as the request thread does, while the main thread ends runs.
    static QByteArray restart(const char* file) {
        QByteArray reply;
        std::thread requestThread(
            [&] { reply = outcome(QByteArray("{\"TYPE\":\"restartComponent\",\"filepath\":\"") + file + "\"}"); });
        requestThread.join();
        return reply;
    }
    static void rebuild() { DaemonEnvironment::instance().request("{\"TYPE\":\"getSettingsCategoryXML\"}"); }
    static QStringList scripts() { return QDir(tmp()).entryList(QDir::Files); }
    // A file whose rule runs `commands`, each followed by a line that appends its own mode.
    static void writeRule(const char* name, const QByteArray& commands) {
        writeFile(QString("/etc/restartpage/") + name,
                  "#@restart command begin\n#@name Comp\n" + commands + "\n#@web\nk=v\n");
    }
    static inline ProcessSandbox* s_sandbox = nullptr;
};

TEST_F(RestartComponentTest, RunsEveryCommandOfTheRuleThroughSudoAndDeletesTheScript) {
    writeRule("a.conf", "#@cmd echo one >> " + out() + "\n#@cmd stat -c %a \"$0\" >> " + out());
    rebuild();
    ASSERT_EQ(restart("/etc/restartpage/a.conf"), "ACK");
    ASSERT_TRUE(waitFor([] { return sandbox().sudoCalls().size() == 2; }));
    EXPECT_EQ(ran(), "one\n700\n");
    const QString call = sandbox().sudoCalls().at(0);
    // The script's name and its time stamp format are pinned by the planted-link test below.
    EXPECT_TRUE(call.startsWith(tmp() + "restart_")) << call.toStdString();
    EXPECT_EQ(sandbox().sudoCalls().at(1), "done " + call);
}

TEST_F(RestartComponentTest, RefusesWithoutRuleOrPathAndKnowsANewRuleAfterTheNextRebuild) {
    writeFile("/etc/restartpage/late.conf", "#@web\nk=v\n");
    rebuild();
    writeRule("late.conf", "#@cmd echo late >> " + out());
    for (const char* file : {"/etc/restartpage/late.conf", "/etc/restartpage/missing.conf"})
        EXPECT_EQ(restart(file), "ERR NO RULE FOUND TO RESTART THE COMPONENT") << file;
    EXPECT_EQ(outcome("{\"TYPE\":\"restartComponent\"}"), "ERR MISSING PARAMETER(S)");
    EXPECT_EQ(outcome("{\"TYPE\":\"restartComponent\",\"filepath\":1}"), "ERR MISSING PARAMETER(S)");
    EXPECT_TRUE(sandbox().sudoCalls().isEmpty());
    rebuild();
    EXPECT_EQ(restart("/etc/restartpage/late.conf"), "ACK");
    EXPECT_TRUE(waitFor([] { return ran() == "late\n"; }));
}

TEST_F(RestartComponentTest, ASecondRequestWhileTheFirstRunsIsRefused) {
    // The rule waits (at most ten seconds) for the test to release it.
    const QByteArray release = sandbox().path("release").toLocal8Bit();
    writeRule("slow.conf", "#@cmd for i in $(seq 200); do [ -e " + release + " ] && break; sleep 0.05; done\n"
                           "#@cmd echo ran >> " + out());
    writeRule("other.conf", "#@cmd echo other >> " + out() + ".other");
    rebuild();
    ASSERT_EQ(restart("/etc/restartpage/slow.conf"), "ACK");
    ASSERT_TRUE(waitFor([] { return sandbox().sudoCalls().size() == 1; }));
    EXPECT_EQ(restart("/etc/restartpage/slow.conf"), "ERR A restart of this component is still running.");
    EXPECT_EQ(restart("/etc/restartpage/other.conf"), "ACK");  // another file is not held up
    sandbox().writeFile("release", "");
    ASSERT_TRUE(waitFor([] { return ran() == "ran\n" && scripts().isEmpty(); }, 15000));
    ASSERT_TRUE(waitFor([] { return restart("/etc/restartpage/slow.conf") == "ACK"; }));
    EXPECT_TRUE(waitFor([] { return ran() == "ran\nran\n"; }, 15000));
    EXPECT_EQ(ran("out.other"), "other\n");
}

TEST_F(RestartComponentTest, NeverWritesThroughAPlantedNameAndStillRuns) {
    // Links at every script name and its three numbered variants from now until a second after the
    // planting, pointing at a file root would run.
    writeRule("a.conf", "#@cmd echo ran >> " + out());
    rebuild();
    const QByteArray victim = QFile::encodeName(sandbox().writeFile("victim", "untouched\n"));
    const QDateTime now = QDateTime::currentDateTime();
    for (int ms = 0; now.addMSecs(ms) < QDateTime::currentDateTime().addMSecs(1000); ++ms) {
        ASSERT_LT(ms, 120000) << "the machine is too slow to plant the links";
        const QByteArray name =
            QFile::encodeName(tmp() + "restart_" + now.addMSecs(ms).toString("yyyy_MM_dd_hh_mm_ss_zzz"));
        for (int n = 0; n < 4; ++n)
            ASSERT_EQ(::symlink(victim, name + (n ? "_" + QByteArray::number(n) : QByteArray()) + ".sh"), 0);
    }
    EXPECT_EQ(restart("/etc/restartpage/a.conf"), "ACK");
    EXPECT_TRUE(waitFor([] { return ran() == "ran\n"; }));
    for (const QString& link : scripts()) {
        if (QFileInfo(tmp() + link).isSymLink()) QFile::remove(tmp() + link);
    }
    // The script got a name nobody could foresee.
    const QString call = sandbox().sudoCalls().value(0);
    EXPECT_TRUE(QRegularExpression("/tmp/restart_[0-9_]{23}_[A-Za-z0-9]{6}\\.sh$").match(call).hasMatch())
        << call.toStdString();
    EXPECT_EQ(sandbox().readFile("victim"), "untouched\n");
}
}  // namespace
