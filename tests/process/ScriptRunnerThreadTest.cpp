// The request thread's side of the script runner: posting work and reading the queries while
// the main thread starts, reads and ends the programs. Run under ThreadSanitizer as well.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "DaemonEnvironment.h"
#include "ProcessSandbox.h"
#include "Wait.h"
#include "process/ScriptRunner.h"

using testsupport::DaemonEnvironment;
using testsupport::ProcessSandbox;

namespace {

TEST(ScriptRunnerThreadTest, OtherThreadSeesWholeRecordsAndEveryLineOnce) {
    ProcessSandbox sandbox;
    DaemonEnvironment::instance().setConfig(ProcessSandbox::config(sandbox.path(QStringLiteral("none"))));
    ScriptRunner& runner = *ScriptRunner::singleton();
    QStringList names;
    QString expected;
    for (const char* name : {"a", "b", "c"}) {
        names << sandbox.writeScript(QLatin1String(name),
                                     QByteArray("for i in $(seq 300); do echo ") + name + "$i; done\n");
        for (int i = 1; i <= 300; ++i) expected += QStringLiteral("%1%2\n").arg(QLatin1String(name)).arg(i);
    }

    std::atomic<int> ended{0};
    std::atomic<bool> stop{false};
    QString collected;
    int mixed = 0;
    std::thread requests([&] {
        for (const QString& name : names) runner.runScript(name, {}, [&](int, int) { ++ended; });
        while (!stop.load()) {
            for (const QString& name : names) {
                const ScriptRunner::ProcessInfo info = runner.processInfo(name);
                // Registered exactly when there is a state: never half of one moment.
                if (info.registered != (info.state >= 0)) ++mixed;
            }
            collected += runner.getProcessOutput();
        }
    });
    const bool done = testsupport::waitFor([&] { return ended.load() == 3; }, 20000);
    stop.store(true);
    requests.join();
    collected += runner.getProcessOutput();
    EXPECT_TRUE(done);
    EXPECT_EQ(mixed, 0);
    // Each program's lines arrive whole and in order; chunks of the three may interleave.
    for (const char* name : {"a", "b", "c"}) {
        QString own;
        for (const QString& line : collected.split(QLatin1Char('\n'), Qt::SkipEmptyParts)) {
            if (line.startsWith(QLatin1String(name))) own += line + QLatin1Char('\n');
        }
        QString wanted;
        for (int i = 1; i <= 300; ++i) wanted += QStringLiteral("%1%2\n").arg(QLatin1String(name)).arg(i);
        EXPECT_EQ(own, wanted) << name;
    }
    EXPECT_EQ(collected.size(), expected.size());
}

}  // namespace
