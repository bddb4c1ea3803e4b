#pragma once
// What the program commands' tests and the script runner's share: a sandbox with "/usr/bin/env"
// as the configured sudo program, a stand-in `sudo` first on PATH for the helpers (pkill,
// killall, kill), a recording interpreter and a program store with a planted link.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <QDir>
#include <QFile>
#include <algorithm>
#include <atomic>
#include <thread>
#include "DaemonEnvironment.h"
#include "E2e.h"
#include "Fcgi.h"
#include "ProcessSandbox.h"
#include "TestRobot.h"
#include "Wait.h"
#include "service/Client.h"
#include "process/ScriptRunner.h"
#include "programs/ProgramCommands.h"
#include "programs/ProgramCopy.h"
#include "programs/ProgramStore.h"
#include "robot/ControlHandler.h"

namespace testsupport {

inline const QByteArray kAck = R"({"TYPE":"ACK"})";
inline const QByteArray kInvalid = R"({"TYPE":"ERR","MSG":"File name is invalid."})";
inline const QByteArray kInfo = R"({"TYPE":"getProcessInfo"})";

inline QByteArray command(const char* type, const QByteArray& params = QByteArray()) {
    return R"({"TYPE":")" + QByteArray(type) + '"' + params + '}';
}

class ProgramFixture : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        s_sandbox = new ProcessSandbox();
        env().setConfig(ProcessSandbox::config(interpreter()));
        env().fcgi();  // prepares the store and reads the interpreter path
    }
    void SetUp() override {
        env().setConfig(ProcessSandbox::config(interpreter()));
        // The interpreter records its arguments and the program it was given.
        sandbox().writeScript("interpreter", "echo \"$*\" >> \"$0.ran\"\ncat -- \"$2\" >> \"$0.read\"\n");
        for (const char* name : {"interpreter.ran", "interpreter.read", "interpreter.go", "pids"})
            QFile::remove(sandbox().path(name));
        sandbox().clearSudoCalls();
        resetStore();
    }
    void TearDown() override {
        request(command("killProcess"));
        // A program that never started stays registered, in state 0.
        ScriptRunner* runner = ScriptRunner::singleton();
        EXPECT_TRUE(waitFor([&] {
            return runner->getProcessState(interpreter()) <= 0 && !runner->isKilling(interpreter());
        }));
        runner->getProcessOutput();
    }

    static DaemonEnvironment& env() { return DaemonEnvironment::instance(); }
    static ProcessSandbox& sandbox() { return *s_sandbox; }
    static QString interpreter() { return sandbox().path("interpreter"); }
    static QString storeDir() { return env().path("/home/corvanta/programs"); }
    /// Two programs, a hidden file, a folder, a link to a program and one planted by another
    /// user, dangling, to where no file may appear.
    static void resetStore() {
        QDir(storeDir()).removeRecursively();
        QDir(storeDir()).mkpath("sub");
        for (const auto& [name, content] : {std::pair("b.rvw", "abc"), {"A.rvw", ""}, {".hidden", "x"}})
            storeProgram(name, content);
        QFile::link("b.rvw", storeDir() + "/c.lnk");
        QFile::link(planted(), storeDir() + "/victim");
    }
    static QString planted() { return sandbox().path("cron.d/planted"); }
    static void storeProgram(const QString& name, const QByteArray& content) {
        testsupport::writeFile(storeDir() + '/' + name, content);
    }
    /// The daemon's private folder of program copies, and what is in it.
    static QString copies() { return env().path("/run/webgated/programs"); }
    static QStringList copiesLeft() {
        return QDir(copies()).entryList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot);
    }
    /// The interpreter's arguments, and the program it read.
    static QByteArray ran() { return sandbox().readFile("interpreter.ran"); }
    static QByteArray read() { return sandbox().readFile("interpreter.read"); }
    /// Whether it ran a copy of `program` (its last start).
    static bool ranACopyOf(const QByteArray& program) {
        return ran().startsWith("-f " + copies().toUtf8() + "/run.") && ran().endsWith("/" + program + "\n");
    }
    /// The reply to `query`, run in a thread of its own; a reply that takes longer than 10 s fails
    /// the test, and whoever waits on the FIFO "fifo" in the store is let go.
    static QByteArray replyInTime(const QByteArray& query) {
        std::atomic<bool> done{false};
        QByteArray reply;
        std::thread requester([&] {
            reply = request(query);
            done = true;
        });
        const bool inTime = waitFor([&] { return done.load(); });
        if (!inTime) {
            const int fd = ::open(QFile::encodeName(storeDir() + "/fifo").constData(), O_WRONLY | O_NONBLOCK);
            if (fd >= 0) ::close(fd);
        }
        requester.join();
        EXPECT_TRUE(inTime) << query.constData() << " held the request thread";
        return reply;
    }
    static QByteArray request(const QByteArray& query) { return env().reply(query); }
    static QByteArray run(const QByteArray& program) {
        return request(command("runProgram", R"(,"programName":")" + program + '"'));
    }
    static QList<qint64> treePids() { return pidsIn(sandbox().readFile("pids")); }

    static inline ProcessSandbox* s_sandbox = nullptr;
};

}  // namespace testsupport
