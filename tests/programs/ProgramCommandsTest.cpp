// The program commands through the request function, on a real store and with real processes.
#include <gtest/gtest.h>

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <algorithm>

#include "DaemonEnvironment.h"
#include "Fcgi.h"
#include "ProcessSandbox.h"
#include "TestRobot.h"
#include "Wait.h"
#include "frame/Client.h"
#include "kel/rpc/Server.h"
#include "process/ScriptRunner.h"
#include "robot/ControlHandler.h"

using testsupport::DaemonEnvironment;
using testsupport::pidsIn;
using testsupport::processRuns;
using testsupport::ProcessSandbox;
using testsupport::waitFor;

namespace {

const QByteArray kHeader = "Content-type: text/html\r\n\r\n";

class ProgramCommandsTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        s_sandbox = new ProcessSandbox();
        env().setConfig(ProcessSandbox::config(interpreter()));
        env().fcgi();  // prepares the store and reads the interpreter path
    }
    static void TearDownTestSuite() {
        delete s_sandbox;
        s_sandbox = nullptr;
    }
    void SetUp() override { reset(); }
    void TearDown() override {
        request(R"({"TYPE":"killProcess"})");
        waitIdle();
    }

    static void reset() {
        env().setConfig(ProcessSandbox::config(interpreter()));
        // The store holds: two programs, a hidden file, a folder and a link to a program.
        QDir store(storeDir());
        store.removeRecursively();
        QDir().mkpath(storeDir());
        writeStoreFile("b.rvw", "abc");
        writeStoreFile("A.rvw", "");
        writeStoreFile(".hidden", "x");
        store.mkdir(QStringLiteral("sub"));
        QFile::link(QStringLiteral("b.rvw"), storeDir() + QStringLiteral("/c.lnk"));
        // The interpreter records its arguments and says when it runs.
        sandbox().writeScript(QStringLiteral("interpreter"),
                              "echo \"$*\" >> \"$(dirname \"$0\")/ran\"\necho running\n");
        QFile::remove(sandbox().path(QStringLiteral("ran")));
        QFile::remove(sandbox().path(QStringLiteral("pids")));
        sandbox().clearSudoCalls();
        request(R"({"TYPE":"killProcess"})");
        waitIdle();
        ScriptRunner::singleton()->getProcessOutput();
    }

    static DaemonEnvironment& env() { return DaemonEnvironment::instance(); }
    static ProcessSandbox& sandbox() { return *s_sandbox; }
    static QString interpreter() { return sandbox().path(QStringLiteral("interpreter")); }
    static QString storeDir() { return env().path(QStringLiteral("/home/corvanta/programs")); }
    static void writeStoreFile(const char* name, const QByteArray& content) {
        QFile file(storeDir() + QLatin1Char('/') + QLatin1String(name));
        if (file.open(QIODevice::WriteOnly)) file.write(content);
    }
    /// The reply body, or the whole response when it is not a JSON reply.
    static QByteArray request(const QByteArray& query) {
        const QByteArray response = env().request(query);
        return response.startsWith(kHeader) ? response.mid(kHeader.size()) : response;
    }
    static QString storeListing() {
        return QDir(storeDir())
            .entryList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
                       QDir::Name)
            .join(QLatin1Char(' '));
    }
    static void waitIdle() {
        ScriptRunner* runner = ScriptRunner::singleton();
        EXPECT_TRUE(waitFor(
            // A program that never started stays registered, in state 0.
            [&] {
                return runner->getProcessState(interpreter()) <= 0 &&
                       !runner->isKilling(interpreter());
            },
            10000));
    }
    /// The lines the interpreter recorded.
    static QStringList ranWith() {
        return QString::fromLocal8Bit(sandbox().readFile(QStringLiteral("ran")))
            .split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    }

    static ProcessSandbox* s_sandbox;
};

ProcessSandbox* ProgramCommandsTest::s_sandbox = nullptr;

TEST_F(ProgramCommandsTest, FileCommandsReplyAndTouchOnlyWhatTheyName) {
    const QString unchanged = QStringLiteral(".hidden A.rvw b.rvw c.lnk sub");
    struct Row {
        const char* query;
        const char* reply;
        const char* listing;  // the store afterwards; null: unchanged
    } rows[] = {
        {R"({"TYPE":"getProgramList"})",
         R"({"DATA":[{"fileName":"A.rvw","fileSize":0,"filePath":"\/var\/www\/programs\/A.rvw"},)"
         R"({"fileName":"b.rvw","fileSize":3,"filePath":"\/var\/www\/programs\/b.rvw"},)"
         R"({"fileName":"c.lnk","fileSize":3,"filePath":"\/var\/www\/programs\/c.lnk"}],"TYPE":"DATA"})",
         nullptr},
        {R"({"TYPE":"deleteFile"})", R"({"TYPE":"ERR","MSG":"File name is invalid."})", nullptr},
        {R"({"TYPE":"deleteFile","fileName":"a b"})",
         R"({"TYPE":"ERR","MSG":"File name is invalid."})", nullptr},
        {R"({"TYPE":"deleteFile","fileName":".."})",
         R"({"TYPE":"ERR","MSG":"File name is invalid."})", nullptr},
        {R"({"TYPE":"deleteFile","fileName":"."})",
         R"({"TYPE":"ERR","MSG":"File name is invalid."})", nullptr},
        {R"({"TYPE":"deleteFile","fileName":"../b.rvw"})",
         R"({"TYPE":"ERR","MSG":"File name is invalid."})", nullptr},
        {R"({"TYPE":"deleteFile","fileName":"x.rvw"})",
         R"({"MSG":"x.rvwdoesn't exist.","TYPE":"ERR"})", nullptr},
        {R"({"TYPE":"deleteFile","fileName":"sub"})",
         R"({"MSG":"Failed to delete sub.","TYPE":"ERR"})", nullptr},
        {R"({"TYPE":"deleteFile","fileName":"b.rvw"})", R"({"TYPE":"ACK"})",
         ".hidden A.rvw c.lnk sub"},
        {R"({"TYPE":"renameFile","newFileName":"x"})",
         R"({"MSG":"Invalid file name ","TYPE":"ERR"})", nullptr},
        {R"({"TYPE":"renameFile","fileName":"a/b","newFileName":"c d"})",
         R"({"MSG":"Invalid file name a\/b","TYPE":"ERR"})", nullptr},
        {R"({"TYPE":"renameFile","fileName":"b.rvw","newFileName":".."})",
         R"({"MSG":"Invalid new file name ..","TYPE":"ERR"})", nullptr},
        {R"({"TYPE":"renameFile","fileName":"x.rvw","newFileName":"y.rvw"})",
         R"({"MSG":"x.rvwdoesn't exist.","TYPE":"ERR"})", nullptr},
        {R"({"TYPE":"renameFile","fileName":"b.rvw","newFileName":"A.rvw"})",
         R"({"MSG":"Failed to rename b.rvw asA.rvw.","TYPE":"ERR"})", nullptr},
        {R"({"TYPE":"renameFile","fileName":"b.rvw","newFileName":"b.rvw"})",
         R"({"MSG":"Failed to rename b.rvw asb.rvw.","TYPE":"ERR"})", nullptr},
        {R"({"TYPE":"renameFile","fileName":"b.rvw","newFileName":"d.rvw"})", R"({"TYPE":"ACK"})",
         ".hidden A.rvw c.lnk d.rvw sub"},
        {R"({"TYPE":"writeToStdin","text":"x"})", R"({"TYPE":"ACK"})", nullptr},
    };
    for (const Row& row : rows) {
        reset();
        EXPECT_EQ(request(row.query), QByteArray(row.reply)) << row.query;
        EXPECT_EQ(storeListing(), row.listing ? QString::fromLatin1(row.listing) : unchanged)
            << row.query;
    }
    QDir(storeDir()).removeRecursively();
    QDir().mkpath(storeDir());
    EXPECT_EQ(request(R"({"TYPE":"getProgramList"})"), QByteArray(R"({"DATA":[],"TYPE":"DATA"})"));
}

TEST_F(ProgramCommandsTest, StoreReplacedByALinkElsewhereIsLeftAlone) {
    const QString link = env().path(QStringLiteral("/var/www/programs"));
    const QString elsewhere = sandbox().path(QStringLiteral("elsewhere"));
    QDir().mkpath(elsewhere);
    sandbox().writeFile(QStringLiteral("elsewhere/b.rvw"), "keep");
    ASSERT_TRUE(QFile::remove(link));
    ASSERT_TRUE(QFile::link(elsewhere, link));
    const QByteArray refused =
        R"({"MSG":"The program folder has changed since start-up.","TYPE":"ERR"})";
    for (const char* query :
         {R"({"TYPE":"getProgramList"})", R"({"TYPE":"deleteFile","fileName":"b.rvw"})",
          R"({"TYPE":"renameFile","fileName":"b.rvw","newFileName":"c.rvw"})"}) {
        EXPECT_EQ(request(query), refused) << query;
    }
    EXPECT_EQ(sandbox().readFile(QStringLiteral("elsewhere/b.rvw")), QByteArray("keep"));
    // The same folder behind a new link is the store again.
    ASSERT_TRUE(QFile::remove(link));
    ASSERT_TRUE(QFile::link(storeDir(), link));
    EXPECT_EQ(request(R"({"TYPE":"deleteFile","fileName":"b.rvw"})"),
              QByteArray(R"({"TYPE":"ACK"})"));
}

TEST_F(ProgramCommandsTest, BadProgramNamesNeverReachTheInterpreter) {
    const QByteArray invalid = R"({"TYPE":"ERR","MSG":"File name is invalid."})";
    const QByteArray longName = QByteArray(10240, 'a');
    struct Row {
        QByteArray name;
        QByteArray reply;
    } rows[] = {
        {"../../etc/passwd", invalid},
        {"/etc/passwd", invalid},
        {"a b", invalid},
        {"a;touch x", invalid},
        {"$(touch x)", invalid},
        {"`touch x`", invalid},
        {"..", invalid},
        {longName, invalid},
        {"", R"x({"TYPE":"ERR","MSG":"MISSING PARAMETER(S)"})x"},
    };
    for (const Row& row : rows) {
        EXPECT_EQ(request(R"({"TYPE":"runProgram","programName":")" + row.name + "\"}"), row.reply)
            << row.name.left(40).constData();
    }
    EXPECT_EQ(request(R"({"TYPE":"runProgram","programName":5})"),
              QByteArray(R"x({"TYPE":"ERR","MSG":"MISSING PARAMETER(S)"})x"));
    // A leading dash stays inside the program's path; the last start is the only one that ran.
    env().setConfig(ProcessSandbox::config(interpreter()) + "globalVariableOutputInterval=250\n");
    EXPECT_EQ(request(R"({"TYPE":"runProgram","programName":"-rf"})"),
              QByteArray(R"({"TYPE":"ACK"})"));
    ASSERT_TRUE(waitFor([] { return !ranWith().isEmpty(); }));
    waitIdle();
    EXPECT_EQ(ranWith(),
              QStringList({"-f " + storeDir() + "/-rf --global-variable-output-interval 250"}));
    EXPECT_FALSE(QFile::exists(QStringLiteral("x")));
}

TEST_F(ProgramCommandsTest, ProcessInfoFollowsTheProgramAndHandsOutputOnce) {
    EXPECT_EQ(request(R"({"TYPE":"getProcessInfo"})"),
              QByteArray(R"({"hasProcess":-1,"output":"","TYPE":"DATA"})"));
    // Runs until it finds "go" in the sandbox, then says goodbye.
    sandbox().writeScript(
        QStringLiteral("interpreter"),
        "cd \"$(dirname \"$0\")\"\necho \"hello $2\"\nwhile [ ! -e go ]; do sleep 0.01; done\n"
        "rm go\necho bye\n");
    EXPECT_EQ(request(R"({"TYPE":"runProgram","programName":"p.rvw"})"),
              QByteArray(R"({"TYPE":"ACK"})"));
    const QByteArray info = R"({"TYPE":"getProcessInfo"})";
    QByteArray reply;
    ASSERT_TRUE(waitFor([&] { return (reply = request(info)).contains("hello"); }));
    EXPECT_EQ(reply,
              R"({"hasProcess":1,"currentProcess":"p.rvw","processState":2,"output":"hello )" +
                  storeDir().toUtf8().replace("/", "\\/") + R"(\/p.rvw\n","TYPE":"ACK"})");
    EXPECT_EQ(
        request(info),
        QByteArray(
            R"({"hasProcess":1,"currentProcess":"p.rvw","processState":2,"output":"","TYPE":"ACK"})"));
    sandbox().writeFile(QStringLiteral("go"), QByteArray());
    // The end shows as "hasProcess" -1 although the program stays the current one.
    QString output;
    ASSERT_TRUE(waitFor([&] {
        reply = request(info);
        JsonPtr json(json_loads(reply.constData(), 0, nullptr));
        output += jsonToQString(json_object_get(json.get(), "output"));
        return reply.startsWith(R"({"hasProcess":-1,)");
    }));
    EXPECT_EQ(output, QStringLiteral("bye\n"));
    EXPECT_TRUE(reply.endsWith(R"("TYPE":"DATA"})")) << reply.constData();
}

TEST_F(ProgramCommandsTest, ProgramThatCannotStartShowsStateZero) {
    env().setConfig(
        ProcessSandbox::config(interpreter(), sandbox().path(QStringLiteral("no-sudo"))));
    EXPECT_EQ(request(R"({"TYPE":"runProgram","programName":"p.rvw"})"),
              QByteArray(R"({"TYPE":"ACK"})"));
    const QByteArray failed =
        R"({"hasProcess":1,"currentProcess":"p.rvw","processState":0,"output":"","TYPE":"ACK"})";
    EXPECT_TRUE(waitFor([&] { return request(R"({"TYPE":"getProcessInfo"})") == failed; }));
}

TEST_F(ProgramCommandsTest, RunAndKillEndTheWholeTree) {
    sandbox().writeScript(QStringLiteral("interpreter"), ProcessSandbox::threeLevelTree());
    auto startTree = [] {
        QFile::remove(sandbox().path(QStringLiteral("pids")));
        EXPECT_EQ(request(R"({"TYPE":"runProgram","programName":"p.rvw"})"),
                  QByteArray(R"({"TYPE":"ACK"})"));
        waitFor([] { return pidsIn(sandbox().readFile(QStringLiteral("pids"))).size() == 3; });
        return pidsIn(sandbox().readFile(QStringLiteral("pids")));
    };
    auto gone = [](const QList<qint64>& pids) {
        return waitFor([&] { return std::none_of(pids.begin(), pids.end(), processRuns); }, 10000);
    };
    const QList<qint64> first = startTree();
    ASSERT_EQ(first.size(), 3);
    const QList<qint64> second = startTree();  // the second run ends the first tree
    ASSERT_EQ(second.size(), 3);
    EXPECT_TRUE(gone(first));
    EXPECT_TRUE(env().logText().contains(QStringLiteral("kill current process:p.rvw")));
    EXPECT_EQ(request(R"({"TYPE":"killProcess"})"), QByteArray(R"({"TYPE":"ACK"})"));
    EXPECT_TRUE(gone(second));
    waitIdle();

    // With nothing registered, the kill selects the interpreter by its full path.
    sandbox().clearSudoCalls();
    EXPECT_EQ(request(R"({"TYPE":"killProcess"})"), QByteArray(R"({"TYPE":"ACK"})"));
    EXPECT_TRUE(
        waitFor([] { return sandbox().sudoCalls().contains("done killall " + interpreter()); }));
}

TEST_F(ProgramCommandsTest, SetPointsKeepComingWhileAStubbornTreeIsReplaced) {
    testsupport::TestRobot robot;
    ASSERT_TRUE(robot.isListening());
    QElapsedTimer clock;
    clock.start();
    QList<qint64> arrivals;
    QObject::connect(
        &robot.server(), &kel::rpc::Server::messageReceived, &robot.server(),
        [&](const QJsonObject& m) {
            if (m.value(QStringLiteral("topic")).toString() == QLatin1String("omnidrive"))
                arrivals.append(clock.elapsed());
        });
    Client& client = env().client();
    client.setAddress(robot.address());
    client.connectToServer();
    ASSERT_TRUE(waitFor([&] { return client.isConnected(); }, 10000));

    // Every level ignores SIGTERM: only the grace period's SIGKILL ends the tree.
    sandbox().writeScript(QStringLiteral("interpreter"),
                          "ONTERM=''\n" + ProcessSandbox::threeLevelTree());
    ASSERT_EQ(request(R"({"TYPE":"runProgram","programName":"p.rvw"})"),
              QByteArray(R"({"TYPE":"ACK"})"));
    ASSERT_TRUE(
        waitFor([] { return pidsIn(sandbox().readFile(QStringLiteral("pids"))).size() == 3; }));
    const QList<qint64> tree = pidsIn(sandbox().readFile(QStringLiteral("pids")));

    ASSERT_TRUE(
        request(R"({"TYPE":"velDrive","vx":0.1,"vy":0,"omega":0})").endsWith(R"("TYPE":"ACK"})"));
    ASSERT_TRUE(waitFor([&] { return !arrivals.isEmpty(); }));
    const qint64 from = clock.elapsed();
    request(R"({"TYPE":"runProgram","programName":"p.rvw"})");
    const bool gone = waitFor(
        [&] {
            request(R"({"TYPE":"HEARTBEAT"})");
            return std::none_of(tree.begin(), tree.end(), processRuns);
        },
        15000);
    const qint64 to = clock.elapsed();
    request(R"({"TYPE":"stop"})");
    env().fcgi().controlHandler()->deliverPending();
    EXPECT_TRUE(gone);

    qint64 longest = 0;
    qint64 previous = from;
    for (qint64 at : arrivals) {
        if (at <= from) continue;
        if (at > to) break;
        longest = std::max(longest, at - previous);
        previous = at;
    }
    longest = std::max(longest, to - previous);
    // The drive timer's period is 100 ms; a kill that waited on the main thread would stall it
    // for the whole grace period.
    EXPECT_LT(longest, 1000) << "set-points stalled while the tree was killed";
    client.disconnectFromServer();
}

}  // namespace
