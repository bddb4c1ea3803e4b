// The drive commands: a missing parameter is reported before a mistyped one, refused requests
// post nothing, the reply texts show the values as the robot gets them and are never cut short,
// and the rows of the command table reach the daemon's own control handler.
#include "ControlTestSupport.h"
#include "kel/corvanta/daemons/Log.h"
#include "robot/DriveCommands.h"

using controltest::ControlFixture;
using controltest::SetPoint;
using testsupport::spin;
using testsupport::waitFor;

namespace {

struct Outcome {
    RequestResult result;
    QString msg;
};

// Runs `command` on `query` (a JSON object text) against `handler`.
Outcome run(RequestResult (*command)(Request&, ControlHandler&), const char* query,
            ControlHandler& handler) {
    JsonPtr parsed(json_loads(query, 0, nullptr));
    EXPECT_TRUE(parsed) << query;
    JsonPtr reply(json_object());
    Request request(parsed.get(), reply.get());
    const RequestResult result = command(request, handler);
    return {result, jsonToQString(json_object_get(reply.get(), "MSG"))};
}

class DriveCommandsTest : public ControlFixture {};

TEST_F(DriveCommandsTest, ReportsMissingBeforeMistypedAndPostsNothing) {
    struct Case {
        RequestResult (*command)(Request&, ControlHandler&);
        const char* query;
        RequestResult expected;
    };
    const Case cases[] = {
        {DriveCommands::velDrive, R"({"vx":"0.1","vy":0})", MissingParameters},
        {DriveCommands::velDrive, R"({"vy":0,"omega":0})", MissingParameters},
        {DriveCommands::velDrive, R"({})", MissingParameters},
        {DriveCommands::velDrive, R"({"vx":"0.1","vy":0,"omega":0})", InvalidParameters},
        {DriveCommands::velDrive, R"({"vx":0.1,"vy":null,"omega":0})", InvalidParameters},
        {DriveCommands::velDrive, R"({"vx":0.1,"vy":0,"omega":true})", InvalidParameters},
        {DriveCommands::velDrive, R"({"vx":[0.1],"vy":0,"omega":0})", InvalidParameters},
        // Beyond what a float holds: refused instead of becoming infinity.
        {DriveCommands::velDrive, R"({"vx":1e39,"vy":0,"omega":0})", InvalidParameters},
        {DriveCommands::velDrive, R"({"vx":0,"vy":-1e300,"omega":0})", InvalidParameters},
        {DriveCommands::positionDrive, R"({"x":"1","y":0,"omega":0,"vel":0.1,"rotvel":0.1})",
         MissingParameters},
        {DriveCommands::positionDrive, R"({"x":1,"y":0,"omega":0,"vel":0.1,"mode":0})",
         MissingParameters},
        {DriveCommands::positionDrive,
         R"({"x":1,"y":0,"omega":0,"vel":"fast","rotvel":0.1,"mode":0})", InvalidParameters},
        {DriveCommands::positionDrive,
         R"({"x":1,"y":0,"omega":0,"vel":0.1,"rotvel":0.1,"mode":1.0})", InvalidParameters},
        {DriveCommands::positionDrive,
         R"({"x":1,"y":0,"omega":0,"vel":0.1,"rotvel":0.1,"mode":"1"})", InvalidParameters},
        // A mode that would wrap into a valid movement kind as an int.
        {DriveCommands::positionDrive,
         R"({"x":1,"y":0,"omega":0,"vel":0.1,"rotvel":0.1,"mode":4294967296})", InvalidParameters},
        {DriveCommands::positionDrive,
         R"({"x":1,"y":0,"omega":0,"vel":0.1,"rotvel":1e40,"mode":0})", InvalidParameters},
    };
    ControlHandler handler;
    for (const Case& c : cases) {
        const Outcome outcome = run(c.command, c.query, handler);
        EXPECT_EQ(outcome.result, c.expected) << c.query;
        EXPECT_TRUE(outcome.msg.isNull()) << c.query;
    }
    handler.deliverPending();
    EXPECT_FALSE(handler.isDriving());
    spin(300);
    EXPECT_TRUE(setPoints().isEmpty());
}

TEST_F(DriveCommandsTest, RepliesTheValuesAsTheRobotGetsThem) {
    ControlHandler handler;
    EXPECT_EQ(run(DriveCommands::velDrive, R"({"vx":0.1,"vy":0,"omega":0.5})", handler).msg,
              "velDrive(0.100,0.000,0.500)");
    handler.stop();
    // Integers are numbers too; the text shows the float the robot is sent.
    const Outcome integers =
        run(DriveCommands::velDrive, R"({"vx":1,"vy":-2,"omega":123456789})", handler);
    EXPECT_EQ(integers.result, Ack);
    EXPECT_EQ(integers.msg, "velDrive(1.000,-2.000,123456792.000)");
    ASSERT_TRUE(
        waitFor([] { return !setPoints().isEmpty() && !setPoints().last().isZero(); }, 3000));
    EXPECT_EQ(setPoints().last().vx, 1.0);
    EXPECT_EQ(setPoints().last().vy, -2.0);
    handler.stop();

    // Long numbers are written out whole.
    EXPECT_EQ(run(DriveCommands::velDrive, R"({"vx":1e30,"vy":-3.4e38,"omega":0})", handler).msg,
              "velDrive(1000000015047466219876688855040.000,"
              "-339999995214436424907732413799364296704.000,0.000)");
    handler.stop();

    EXPECT_EQ(run(DriveCommands::positionDrive,
                  R"({"x":1,"y":-0.5,"omega":0.7854,"vel":0.3,"rotvel":0.2,"mode":2})", handler)
                  .msg,
              "positionDrive(1.000,-0.500,0.785,0.300,0.200,2)");
    // The limits apply in the handler: the reply shows what was asked for.
    EXPECT_EQ(run(DriveCommands::positionDrive,
                  R"({"x":0,"y":0,"omega":0,"vel":9,"rotvel":-1,"mode":-7})", handler)
                  .msg,
              "positionDrive(0.000,0.000,0.000,9.000,-1.000,-7)");
    handler.stop();
    handler.deliverPending();
}

// The texts are those of the C format "%1.3f": halfway values round as printf rounds them (to
// even on the exact binary value) and a negative zero keeps its sign.
TEST_F(DriveCommandsTest, FormatsTheValuesAsTheCFormatDoes) {
    ControlHandler handler;
    for (const auto& [query, msg] :
         {std::pair{R"({"vx":0.0625,"vy":-0.0625,"omega":0.1875})", "velDrive(0.062,-0.062,0.188)"},
          std::pair{R"({"vx":-0.0,"vy":-0.0001,"omega":0.0005})", "velDrive(-0.000,-0.000,0.001)"},
          std::pair{R"({"x":0.0625,"y":-0.0,"omega":2.5,"vel":0.3125,"rotvel":-0.0625,"mode":0})",
                    "positionDrive(0.062,-0.000,2.500,0.312,-0.062,0)"}}) {
        const auto command = QByteArray(query).contains("vx") ? DriveCommands::velDrive
                                                              : DriveCommands::positionDrive;
        EXPECT_EQ(run(command, query, handler).msg.toStdString(), msg) << query;
    }
    handler.stop();
    handler.deliverPending();
}

TEST_F(DriveCommandsTest, StopIsAlwaysAcknowledged) {
    ControlHandler handler;
    for (const char* query : {R"({})", R"({"vx":"x","mode":[]})"}) {
        const Outcome outcome = run(DriveCommands::stop, query, handler);
        EXPECT_EQ(outcome.result, Ack);
        EXPECT_TRUE(outcome.msg.isNull());
    }
}

TEST_F(DriveCommandsTest, TableRowsDriveTheDaemonsHandler) {
    const auto reply = [](const QByteArray& query) {
        JsonPtr json = env().requestJson(query);
        return json ? QString::fromUtf8(jsonDump(json.get(), JSON_COMPACT | JSON_SORT_KEYS))
                    : QString();
    };
    const auto check = [&](const char* query, const char* expected) {
        EXPECT_EQ(reply(query), QString::fromLatin1(expected)) << query;
    };
    check(R"({"TYPE":"velDrive","vx":0.1,"vy":0,"omega":0.5})",
          R"j({"MSG":"velDrive(0.100,0.000,0.500)","TYPE":"ACK"})j");
    ASSERT_TRUE(waitFor([] { return daemonHandler().isDriving(); }, 3000));
    check(R"({"TYPE":"velDrive","vx":0.1,"vy":0})",
          R"j({"MSG":"MISSING PARAMETER(S)","TYPE":"ERR"})j");
    check(R"({"TYPE":"velDrive","vx":0.1,"vy":0,"omega":"0"})",
          R"j({"MSG":"INVALID PARAMETER(S)","TYPE":"ERR"})j");
    check(R"({"TYPE":"HEARTBEAT"})", R"({"TYPE":"ACK"})");
    check(R"({"TYPE":"stop","x":1})", R"({"TYPE":"ACK"})");
    ASSERT_TRUE(waitFor([] { return !daemonHandler().isDriving(); }, 3000));
    EXPECT_TRUE(lastIsZero());
    for (const SetPoint& p : setPoints().mid(0, setPoints().size() - 1)) {
        EXPECT_TRUE(p.near(0.1, 0, 0.5)) << p;
    }

    publishOdometry(0.25, 0, 0);
    ASSERT_TRUE(waitFor(
        [] { return std::fabs(daemonHandler().positionDriver().actualX() - 0.25f) < 1e-6; }, 3000));
    check(R"({"TYPE":"positionDrive","x":0.5,"y":0,"omega":0,"vel":0.3,"rotvel":1,"mode":3})",
          R"j({"MSG":"positionDrive(0.500,0.000,0.000,0.300,1.000,3)","TYPE":"ACK"})j");
    ASSERT_TRUE(waitFor(
        [] {
            return daemonHandler().positionDriver().movement() ==
                   kel::corvanta::navigation::PositionDriver::DriveFacingThenRotate;
        },
        3000));
    check(R"({"TYPE":"stop"})", R"({"TYPE":"ACK"})");
    ASSERT_TRUE(waitFor([] { return !daemonHandler().isDriving(); }, 3000));

    // HEARTBEAT closes quietly (level 4), the drive commands do not (level 3).
    auto* log = kel::corvanta::daemons::Log::singleton();
    const int verbosity = log->verbosity();
    log->setVerbosity(3);
    env().clearLog();
    reply(R"({"TYPE":"HEARTBEAT"})");
    reply(R"({"TYPE":"stop"})");
    reply(R"({"TYPE":"velDrive","vx":0,"vy":0,"omega":0})");
    reply(R"({"TYPE":"positionDrive","x":0,"y":0,"omega":0,"vel":0,"rotvel":0,"mode":9})");
    reply(R"({"TYPE":"stop"})");
    const QString text = env().logText();
    log->setVerbosity(verbosity);
    EXPECT_FALSE(text.contains("HEARTBEAT")) << qPrintable(text);
    EXPECT_TRUE(hasLine(text, "Done:{\"TYPE\":\"stop\"}"));
    EXPECT_TRUE(text.contains("| Done:{\"TYPE\":\"velDrive\""));
    EXPECT_TRUE(text.contains("| Done:{\"TYPE\":\"positionDrive\""));
}

}  // namespace
