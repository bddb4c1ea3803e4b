// The program commands through the request function, on a real store and with real processes.
#include "ProgramFixture.h"

using namespace testsupport;

namespace {

class ProgramCommandsTest : public ProgramFixture {};

TEST_F(ProgramCommandsTest, FileCommandsReplyAndTouchOnlyWhatTheyName) {
    const char* unchanged = ".hidden A.rvw b.rvw c.lnk sub victim";
    QDir().mkpath(QFileInfo(planted()).path());
    struct Row {
        QByteArray query;
        QByteArray reply;
        const char* listing;  // the store afterwards
    } rows[] = {
        // clang-format off
        {command("getProgramList"),
         R"({"DATA":[{"fileName":"A.rvw","fileSize":0,"filePath":"\/var\/www\/programs\/A.rvw"},)"
         R"({"fileName":"b.rvw","fileSize":3,"filePath":"\/var\/www\/programs\/b.rvw"},)"
         // A link's own size (its text "b.rvw"), never its target's.
         R"({"fileName":"c.lnk","fileSize":5,"filePath":"\/var\/www\/programs\/c.lnk"}],"TYPE":"DATA"})", unchanged},
        {command("deleteFile"), kInvalid, unchanged},
        {command("deleteFile", R"(,"fileName":"..")"), kInvalid, unchanged},
        {command("deleteFile", R"(,"fileName":".")"), kInvalid, unchanged},
        {command("deleteFile", R"(,"fileName":"../b.rvw")"), kInvalid, unchanged},
        {command("deleteFile", R"(,"fileName":"x.rvw")"), R"({"MSG":"x.rvwdoesn't exist.","TYPE":"ERR"})", unchanged},
        {command("deleteFile", R"(,"fileName":"sub")"), R"({"MSG":"Failed to delete sub.","TYPE":"ERR"})", unchanged},
        {command("deleteFile", R"(,"fileName":"b.rvw")"), kAck, ".hidden A.rvw c.lnk sub victim"},
        // A link is deleted or renamed itself, dangling or not; its target stays.
        {command("deleteFile", R"(,"fileName":"c.lnk")"), kAck, ".hidden A.rvw b.rvw sub victim"},
        {command("deleteFile", R"(,"fileName":"victim")"), kAck, ".hidden A.rvw b.rvw c.lnk sub"},
        {command("renameFile", R"(,"fileName":"c.lnk","newFileName":"d")"), kAck, ".hidden A.rvw b.rvw d sub victim"},
        {command("renameFile", R"(,"fileName":"victim","newFileName":"v")"), kAck, ".hidden A.rvw b.rvw c.lnk sub v"},
        // Never onto a link: nothing is written where it points, the source stays.
        {command("renameFile", R"(,"fileName":"b.rvw","newFileName":"victim")"),
         R"({"MSG":"Failed to rename b.rvw asvictim.","TYPE":"ERR"})", unchanged},
        {command("renameFile", R"(,"fileName":"A.rvw","newFileName":"c.lnk")"),
         R"({"MSG":"Failed to rename A.rvw asc.lnk.","TYPE":"ERR"})", unchanged},
        {command("renameFile", R"(,"newFileName":"x")"), R"({"MSG":"Invalid file name ","TYPE":"ERR"})", unchanged},
        {command("renameFile", R"(,"fileName":"a/b","newFileName":"c d")"),
         R"({"MSG":"Invalid file name a\/b","TYPE":"ERR"})", unchanged},
        {command("renameFile", R"(,"fileName":"b.rvw","newFileName":"..")"),
         R"({"MSG":"Invalid new file name ..","TYPE":"ERR"})", unchanged},
        {command("renameFile", R"(,"fileName":"x.rvw","newFileName":"y.rvw")"),
         R"({"MSG":"x.rvwdoesn't exist.","TYPE":"ERR"})", unchanged},
        {command("renameFile", R"(,"fileName":"b.rvw","newFileName":"A.rvw")"),
         R"({"MSG":"Failed to rename b.rvw asA.rvw.","TYPE":"ERR"})", unchanged},
        {command("renameFile", R"(,"fileName":"b.rvw","newFileName":"b.rvw")"),
         R"({"MSG":"Failed to rename b.rvw asb.rvw.","TYPE":"ERR"})", unchanged},
        {command("renameFile", R"(,"fileName":"b.rvw","newFileName":"d.rvw")"), kAck, ".hidden A.rvw c.lnk d.rvw sub victim"},
        {command("writeToStdin", R"(,"text":"x")"), kAck, unchanged},
        // clang-format on
    };
    for (const Row& row : rows) {
        resetStore();
        EXPECT_EQ(request(row.query), row.reply) << row.query.constData();
        const auto all = QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot;
        EXPECT_EQ(QDir(storeDir()).entryList(all, QDir::Name).join(' '), row.listing) << row.query.constData();
        EXPECT_FALSE(QFileInfo::exists(planted())) << row.query.constData();
    }
    QDir(storeDir()).removeRecursively();
    QDir().mkpath(storeDir());
    EXPECT_EQ(request(command("getProgramList")), QByteArray(R"({"DATA":[],"TYPE":"DATA"})"));
}

TEST_F(ProgramCommandsTest, StoreReplacedByALinkElsewhereIsLeftAlone) {
    const QString link = env().path("/var/www/programs");
    sandbox().writeFile("elsewhere/b.rvw", "keep");
    ASSERT_TRUE(QFile::remove(link) && QFile::link(sandbox().path("elsewhere"), link));
    for (const QByteArray& query : {command("getProgramList"), command("deleteFile", R"(,"fileName":"b.rvw")"),
                                    command("renameFile", R"(,"fileName":"b.rvw","newFileName":"c")")}) {
        EXPECT_EQ(request(query), R"({"MSG":"The program folder has changed since start-up.","TYPE":"ERR"})");
    }
    EXPECT_EQ(sandbox().readFile("elsewhere/b.rvw"), "keep");
    // The same folder behind a new link is the store again.
    ASSERT_TRUE(QFile::remove(link) && QFile::link(storeDir(), link));
    EXPECT_EQ(request(command("deleteFile", R"(,"fileName":"b.rvw")")), kAck);
}

TEST_F(ProgramCommandsTest, BadProgramNamesNeverReachTheInterpreter) {
    for (const QByteArray& name : {QByteArray("../../etc/passwd"), QByteArray("/etc/passwd"), QByteArray("a b"),
                                   QByteArray("a;touch x"), QByteArray("$(touch x)"), QByteArray(".."),
                                   QByteArray(10240, 'a')}) {
        EXPECT_EQ(run(name), kInvalid) << name.left(40).constData();
    }
    EXPECT_EQ(request(command("runProgram")), testsupport::kReplyMissing);
    EXPECT_EQ(request(command("runProgram", R"(,"programName":5)")), testsupport::kReplyMissing);
    // A leading dash stays inside the program's path; this start is the only one that ran.
    storeProgram("-rf", "dash");
    env().setConfig(ProcessSandbox::config(interpreter()) + "globalVariableOutputInterval=250\n");
    EXPECT_EQ(run("-rf"), kAck);
    ASSERT_TRUE(waitFor([] { return !ran().isEmpty(); }));
    EXPECT_TRUE(ranACopyOf("-rf --global-variable-output-interval 250")) << ran().constData();
}

TEST_F(ProgramCommandsTest, OnlyAPlainFileWithOneNameIsRun) {
    // A link, or a second name of a file only root may read, would hand the interpreter (root)
    // its content; a FIFO would hold the request thread.
    const QByteArray secret = QFile::encodeName(sandbox().writeFile("secret", "root only"));
    ASSERT_EQ(::chmod(secret, 0600), 0);
    ASSERT_EQ(::link(secret, QFile::encodeName(storeDir() + "/hard")), 0);
    ASSERT_EQ(::mkfifo(QFile::encodeName(storeDir() + "/fifo"), 0666), 0);
    QFile big(storeDir() + "/big.rvw");
    ASSERT_TRUE(big.open(QIODevice::WriteOnly) && big.resize(ProgramCopy::kMaxBytes + 1));
    big.close();
    for (const auto& [name, message] :
         {std::pair("c.lnk", "c.lnk is a symbolic link: it is not run."),
          {"victim", "victim is a symbolic link: it is not run."},
          {"sub", "sub is not a file: it is not run."},
          {"fifo", "fifo is not a file: it is not run."},
          {"hard", "hard has other links: it is not run."},
          {"big.rvw", "big.rvw is larger than 16 MiB: it is not run."},
          {"x.rvw", "x.rvw does not exist: it is not run."}}) {
        EXPECT_EQ(replyInTime(command("runProgram", R"(,"programName":")" + QByteArray(name) + '"')),
                  R"({"MSG":")" + QByteArray(message) + R"(","TYPE":"ERR"})");
    }
    EXPECT_EQ(run("b.rvw"), kAck);
    ASSERT_TRUE(waitFor([] { return !read().isEmpty(); }));
    EXPECT_EQ(request(kInfo).left(55), R"({"hasProcess":1,"currentProcess":"b.rvw","processState")");
    // Only the last start ran, on a copy of the file.
    EXPECT_TRUE(ranACopyOf("b.rvw")) << ran().constData();
    EXPECT_EQ(read(), "abc");
}

TEST_F(ProgramCommandsTest, ALinkSwappedInRightAfterTheCheckNeverReachesTheInterpreter) {
    // Without the sticky bit anyone may replace any name in the store.
    ASSERT_EQ(::chmod(QFile::encodeName(storeDir()), 0777), 0);
    const QString secret = sandbox().writeFile("secret", "root only");
    ASSERT_EQ(::chmod(QFile::encodeName(secret), 0600), 0);
    // The modes are noted before the program is read: once read, they are there.
    sandbox().writeScript("interpreter", "echo \"$*\" > \"$0.ran\"\n"
                                         "stat -c %a \"$2\" \"$(dirname \"$2\")\" > \"$0.modes\"\n"
                                         "cat -- \"$2\" > \"$0.read\"\n");
    QStringList sudos{"/usr/bin/env"};
    if (::geteuid() == 0 && QFileInfo("/usr/bin/sudo").isExecutable()) sudos << "/usr/bin/sudo";
    const QString program = storeDir() + "/p.rvw";
    for (const QString& sudo : sudos) {
        SCOPED_TRACE(sudo.toStdString());
        env().setConfig(ProcessSandbox::config(interpreter(), sudo));
        for (const char* suffix : {".ran", ".read", ".modes"}) QFile::remove(interpreter() + suffix);
        QFile::remove(program);
        storeProgram("p.rvw", "checked program");
        QString current;
        const auto call = callCommand(command("runProgram", R"(,"programName":"p.rvw")"), [&](Request& r) {
            return ProgramCommands::runProgram(r, interpreter(), current, [&] {
                QFile::remove(program);
                QFile::link(secret, program);
            });
        });
        EXPECT_EQ(call.result, Ack);
        EXPECT_TRUE(QFileInfo(program).isSymLink());
        ASSERT_TRUE(waitFor([] { return !read().isEmpty(); }));
        EXPECT_EQ(read(), "checked program");
        EXPECT_TRUE(ranACopyOf("p.rvw")) << ran().constData();
        // Only root reads the copy, in a folder only root may change.
        EXPECT_EQ(sandbox().readFile("interpreter.modes"), "600\n700\n");
        EXPECT_TRUE(waitFor([] { return copiesLeft().isEmpty(); })) << copiesLeft().join(' ').toStdString();
    }
}

TEST_F(ProgramCommandsTest, TheCopyGoesWhenTheRunEndsHoweverItEnds) {
    // Runs until "go" appears beside it.
    sandbox().writeScript("interpreter", "echo \"$*\" >> \"$0.ran\"\nwhile [ ! -e \"$0.go\" ]; do sleep 0.01; done\n");
    storeProgram("p.rvw", "p");
    // Starts p.rvw and returns its copy, which the interpreter now runs.
    const auto start = [] {
        QFile::remove(interpreter() + ".ran");
        EXPECT_EQ(run("p.rvw"), kAck);
        EXPECT_TRUE(waitFor([] { return !ran().isEmpty(); }));
        const QString copy = QString::fromUtf8(ran().mid(3).trimmed());
        EXPECT_TRUE(QFile::exists(copy)) << copy.toStdString();
        return copy;
    };
    const auto gone = [](const QString& copy) {
        return waitFor([&] { return !QFile::exists(QFileInfo(copy).path()); });
    };
    QString copy = start();
    sandbox().writeFile("interpreter.go", QByteArray());
    EXPECT_TRUE(gone(copy)) << "after the program's own end";
    QFile::remove(interpreter() + ".go");

    copy = start();
    request(command("killProcess"));
    EXPECT_TRUE(gone(copy)) << "after killProcess";

    copy = start();
    const QString next = start();
    EXPECT_TRUE(gone(copy)) << "after a new runProgram";
    EXPECT_EQ(copiesLeft(), QStringList{QFileInfo(QFileInfo(next).path()).fileName()});

    // The daemon's end, also the one that exits without destroying the runner.
    ScriptRunner::singleton()->endAll();
    EXPECT_FALSE(QFileInfo::exists(QFileInfo(next).path())) << "after the daemon's end";

    // A daemon killed outright: the next start-up removes what it left, and no link is followed.
    const QString outside = sandbox().writeFile("outside", "keep");
    testsupport::writeFile(copies() + "/run.old/p.rvw", "left");
    testsupport::writeFile(copies() + "/stray", "left");
    QFile::link(outside, copies() + "/run.old/link");
    ProgramStore().remember();  // what the daemon does at start-up
    EXPECT_EQ(copiesLeft(), QStringList());
    EXPECT_EQ(sandbox().readFile("outside"), "keep");

    // A start that fails keeps no copy either.
    env().setConfig(ProcessSandbox::config(interpreter(), sandbox().path("no-sudo")));
    EXPECT_EQ(run("p.rvw"), kAck);
    EXPECT_TRUE(waitFor([] { return copiesLeft().isEmpty(); })) << "after a failed start";
}

TEST_F(ProgramCommandsTest, APrivateFolderOthersCouldChangeIsNotUsed) {
    storeProgram("p.rvw", "p");
    const QString elsewhere = sandbox().path("elsewhere");
    QDir(elsewhere).removeRecursively();
    ASSERT_TRUE(QDir().mkpath(elsewhere));
    ASSERT_EQ(::chmod(QFile::encodeName(elsewhere), 0700), 0);
    const QByteArray folder = QFile::encodeName(copies());
    const QByteArray refused = R"({"MSG":"p.rvw cannot be copied to run it: it is not run.","TYPE":"ERR"})";
    // A link in its place, though it leads to a folder of mode 0700.
    ASSERT_TRUE(QDir(copies()).removeRecursively() && QFile::link(elsewhere, copies()));
    EXPECT_EQ(run("p.rvw"), refused);
    EXPECT_EQ(QDir(elsewhere).entryList(QDir::AllEntries | QDir::NoDotAndDotDot), QStringList());
    // A folder others may read.
    ASSERT_TRUE(QFile::remove(copies()));
    ASSERT_EQ(::mkdir(folder, 0755), 0);
    ASSERT_EQ(::chmod(folder, 0755), 0);
    EXPECT_EQ(run("p.rvw"), refused);
    EXPECT_EQ(copiesLeft(), QStringList());
    ASSERT_EQ(::chmod(folder, 0700), 0);
    EXPECT_EQ(run("p.rvw"), kAck);
    EXPECT_TRUE(waitFor([] { return !ran().isEmpty(); }));
}

TEST_F(ProgramCommandsTest, ProcessInfoFollowsTheProgramAndHandsOutputOnce) {
    EXPECT_EQ(request(kInfo), R"({"hasProcess":-1,"output":"","TYPE":"DATA"})");
    // Runs until "go" appears beside it.
    sandbox().writeScript("interpreter",
                          "echo \"hello $(cat \"$2\")\"\nwhile [ ! -e \"$0.go\" ]; do sleep 0.01; done\necho bye\n");
    storeProgram("p.rvw", "p");
    EXPECT_EQ(run("p.rvw"), kAck);
    QByteArray reply;
    ASSERT_TRUE(waitFor([&] { return (reply = request(kInfo)).contains("hello"); }));
    const QByteArray running = R"({"hasProcess":1,"currentProcess":"p.rvw","processState":2,"output":")";
    EXPECT_EQ(reply, running + R"(hello p\n","TYPE":"ACK"})");
    EXPECT_EQ(request(kInfo), running + R"(","TYPE":"ACK"})");
    sandbox().writeFile("interpreter.go", QByteArray());
    // The end shows as "hasProcess" -1 although the program stays the current one.
    QString output;
    ASSERT_TRUE(waitFor([&] {
        JsonPtr json(json_loads((reply = request(kInfo)).constData(), 0, nullptr));
        output += jsonToQString(json_object_get(json.get(), "output"));
        return reply.startsWith(R"({"hasProcess":-1,)") && reply.endsWith(R"("TYPE":"DATA"})");
    }));
    EXPECT_EQ(output, "bye\n");

    // A program whose start fails stays registered in state 0.
    env().setConfig(ProcessSandbox::config(interpreter(), sandbox().path("no-sudo")));
    storeProgram("q.rvw", "q");
    EXPECT_EQ(run("q.rvw"), kAck);
    EXPECT_TRUE(waitFor([&] {
        return request(kInfo) ==
               R"({"hasProcess":1,"currentProcess":"q.rvw","processState":0,"output":"","TYPE":"ACK"})";
    }));
}

TEST_F(ProgramCommandsTest, DrivingGoesOnWhileAStubbornTreeIsReplaced) {
    testsupport::TestRobot robot;
    ASSERT_TRUE(env().connectTo(robot));
    // This robot publishes nothing: its silence must not end the drive.
    env().setConfig(ProcessSandbox::config(interpreter()) + "[Robot]\nstaleMs=0\n");
    // Every level ignores SIGTERM: only the SIGKILL after the grace period ends the tree.
    storeProgram("p.rvw", "p");
    sandbox().writeScript("interpreter", "ONTERM=''\n" + ProcessSandbox::threeLevelTree());
    EXPECT_EQ(run("p.rvw"), kAck);
    ASSERT_TRUE(waitFor([] { return treePids().size() == 3; }));
    const QList<qint64> tree = treePids();
    const ControlHandler& control = env().fcgi().context().control;
    const quint64 lateBefore = control.lateTickStops();
    request(command("velDrive", R"(,"vx":0.1,"vy":0,"omega":0)"));
    ASSERT_TRUE(waitFor([&] { return control.isDriving(); }));
    EXPECT_EQ(run("p.rvw"), kAck);
    EXPECT_TRUE(waitFor(
        [&] {
            request(command("HEARTBEAT"));
            return std::none_of(tree.begin(), tree.end(), processRuns);
        },
        15000));
    // A main thread held through the two-second grace period would have ended the drive with a
    // late tick.
    EXPECT_TRUE(control.isDriving());
    EXPECT_EQ(control.lateTickStops(), lateBefore);
    request(command("stop"));
    env().client().disconnectFromServer();
}

TEST_F(ProgramCommandsTest, AStopEndsWhatTheProgramLeftOutsideItsTreeAndNothingElse) {
    // The daemon adopts the orphans of its programs from start-up on.
    ASSERT_EQ(::prctl(PR_SET_CHILD_SUBREAPER, 1), 0);
    const auto reaped = [](qint64 pid) { return !QFileInfo::exists(QStringLiteral("/proc/%1").arg(pid)); };
    const auto recorded = [](const char* file) {
        QList<qint64> pids;
        waitFor([&] { return !(pids = pidsIn(sandbox().readFile(file))).isEmpty(); });
        return pids.value(0, -1);
    };
    for (const char* file : {"kept", "left", "loop", "ended"}) QFile::remove(sandbox().path(file));
    // The interpreter runs the program. The program, and a script beside it, leave processes
    // behind through subshells that end: a sleeper, and the program a loop until "ended".
    sandbox().writeScript("interpreter", "cd \"$(dirname \"$0\")\"\n. \"$2\"\n");
    ScriptRunner::singleton()->runScript(
        sandbox().writeScript("script", "cd \"$(dirname \"$0\")\"\n(sleep 300 & echo $! > kept)\n"));
    const qint64 kept = recorded("kept");
    ASSERT_GT(kept, 1);
    // Stopped while it runs, once it has ended by itself, and by the daemon's end.
    enum Stop { Running, Ended, DaemonEnd };
    for (const Stop stop : {Running, Ended, DaemonEnd}) {
        for (const char* file : {"left", "loop", "ended"}) QFile::remove(sandbox().path(file));
        storeProgram("p.rvw", "(sleep 300 & echo $! > left)\n"
                              "(while [ ! -e ended ]; do sleep 0.01; done & echo $! > loop)\n" +
                                  QByteArray(stop == Ended ? "" : "while :; do sleep 0.05; done\n"));
        EXPECT_EQ(run("p.rvw"), kAck);
        const qint64 left = recorded("left");
        const qint64 loop = recorded("loop");
        ASSERT_TRUE(left > 1 && loop > 1);
        if (stop == Ended) {
            // The daemon has reaped something of the program since its end: what is left still
            // counts as the program's.
            ASSERT_TRUE(waitFor([] { return !ScriptRunner::singleton()->hasProcess(interpreter()); }));
            sandbox().writeFile("ended", QByteArray());
            ASSERT_TRUE(waitFor([&] { return reaped(loop); }));
        }
        if (stop == DaemonEnd) {
            ScriptRunner::singleton()->endAll();
            EXPECT_FALSE(processRuns(left));  // the daemon exits next: nobody needs to reap
            // The next test's runner: a program that ends at once takes the ended one's place.
            storeProgram("p.rvw", "");
            EXPECT_EQ(run("p.rvw"), kAck);
            EXPECT_TRUE(waitFor([] { return !ScriptRunner::singleton()->hasProcess(interpreter()); }));
        } else {
            EXPECT_EQ(request(command("killProcess")), kAck);
            EXPECT_TRUE(waitFor([&] { return reaped(left); })) << stop;
        }
        // Not yet reaped, it is still this test's child: the pid is no other process's.
        if (!reaped(left)) ::kill(static_cast<pid_t>(left), SIGKILL);
        EXPECT_TRUE(processRuns(kept)) << stop;  // an ended script's leftovers are not the program's
    }
    if (!reaped(kept)) ::kill(static_cast<pid_t>(kept), SIGKILL);
    EXPECT_TRUE(waitFor([&] { return reaped(kept); }));
    ::prctl(PR_SET_CHILD_SUBREAPER, 0);
}

}  // namespace
