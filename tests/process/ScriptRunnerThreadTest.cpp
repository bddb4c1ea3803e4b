// The request thread's side of the script runner: posting work and reading the queries while
// the main thread starts, reads and ends the programs. Run under ThreadSanitizer as well.
// ctest: threads
#include <gtest/gtest.h>

#include <QRegularExpression>
#include <atomic>
#include <thread>

#include "DaemonEnvironment.h"
#include "ProcessSandbox.h"
#include "Wait.h"
#include "process/ScriptRunner.h"

using testsupport::ProcessSandbox;

namespace {

TEST(ScriptRunnerThreadTest, OtherThreadSeesWholeRecordsEveryLineOnceAndExitCodes) {
    ProcessSandbox sandbox;
    testsupport::DaemonEnvironment::instance().setConfig(ProcessSandbox::config(QString()));
    ScriptRunner& runner = *ScriptRunner::singleton();
    const QStringList names{sandbox.writeScript("a", "seq -f a%g 300\nexit 3\n"),
                            sandbox.writeScript("b", "seq -f b%g 300\n")};
    std::atomic<int> codes{0};
    std::atomic<bool> stop{false};
    QString collected;
    int mixed = 0;
    std::thread requests([&] {
        for (const QString& name : names)
            runner.runScript(name, {}, [&](int code, int) { codes += code + 10; });
        while (!stop.load()) {
            for (const QString& name : names) {
                // Registered exactly when there is a state: never half of one moment.
                const ScriptRunner::ProcessInfo info = runner.processInfo(name);
                if (info.registered != (info.state >= 0)) ++mixed;
            }
            collected += runner.getProcessOutput();
        }
    });
    const bool ended = testsupport::waitFor([&] { return codes.load() == 23; }, 20000);
    stop.store(true);
    requests.join();
    EXPECT_TRUE(ended) << codes.load();
    EXPECT_EQ(mixed, 0);
    collected += runner.getProcessOutput();
    // Each program's lines arrive whole and in order, however the two interleave.
    for (const char* name : {"a", "b"}) {
        QStringList own = collected.split('\n', Qt::SkipEmptyParts)
                              .filter(QRegularExpression(QStringLiteral("^") + name));
        QStringList wanted;
        for (int i = 1; i <= 300; ++i) wanted << name + QString::number(i);
        EXPECT_EQ(own, wanted) << name;
    }
    for (const QString& name : names) EXPECT_FALSE(runner.hasProcess(name));
}

}  // namespace
