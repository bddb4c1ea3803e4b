// Velocity and position mode as the robot sees them on the wire: increments add up, the watchdog
// lets exactly twenty set-points out and then stops once, and stops on time however late its ticks
// come; a bumper contact stops unless configured not to, a lost or silent link or a handler going
// away never leaves the robot driving and nothing is armed without it, the top speeds are limited,
// and stale odometry never drives the robot; the drive commands' replies, validation and the drive
// state through the request function; one driver at a time, and a take-over that stops first; the
// request thread posting while the main thread drives.
// ctest: threads
#include <gtest/gtest.h>

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QList>
#include <QThread>
#include <QTimer>
#include <algorithm>
#include <atomic>
#include <cmath>
#include <functional>
#include <memory>
#include <thread>

#include "DaemonEnvironment.h"
#include "Fcgi.h"
#include "TestRobot.h"
#include "Wait.h"
#include "service/Client.h"
#include "robot/ControlHandler.h"

using testsupport::waitFor;
using kel::corvanta::navigation::PositionDriver;

namespace {

struct SetPoint {
    double vx = 0, vy = 0, omega = 0;
    bool isZero() const { return vx == 0 && vy == 0 && omega == 0; }
    bool near(double x, double y, double w) const {
        return std::fabs(vx - x) <= 1e-6 && std::fabs(vy - y) <= 1e-6 && std::fabs(omega - w) <= 1e-6;
    }
};

std::ostream& operator<<(std::ostream& out, const SetPoint& p) {
    return out << "(" << p.vx << ", " << p.vy << ", " << p.omega << ")";
}

class ControlFixture : public ::testing::Test {
protected:
    static void SetUpTestSuite() { s_robot = new testsupport::TestRobot(); }
    static void TearDownTestSuite() {
        env().client().disconnectFromServer();
        delete s_robot;
        s_robot = nullptr;
    }
    void SetUp() override {
        setConfig(QByteArray());
        ASSERT_TRUE(env().connectTo(*s_robot));
        // The daemon's handler is left standing by every test that drives it.
        ASSERT_TRUE(waitFor([] { return !daemonHandler().isDriving(); }));
        ASSERT_TRUE(env().syncWith(*s_robot));
    }
    void TearDown() override {
        daemonHandler().stop();
        daemonHandler().deliverPending();
    }

    static testsupport::DaemonEnvironment& env() { return testsupport::DaemonEnvironment::instance(); }
    /// The test robot publishes only when told: its silence is no sign of a frozen robot here,
    /// unless a test sets a limit of its own.
    static void setConfig(const QByteArray& ini, const QByteArray& staleMs = "0") {
        env().setConfig(ini, "[Robot]\nstaleMs=" + staleMs + "\n");
    }
    /// The drive state as the page (or a script, without headers) reads it.
    static QJsonObject driveState(const RequestHeaders& headers = RequestHeaders()) {
        return QJsonDocument::fromJson(env().reply(R"({"TYPE":"getDriveState"})", headers)).object();
    }
    static ControlHandler& daemonHandler() { return env().fcgi().context().control; }
    static testsupport::TestRobot& robot() { return *s_robot; }

    /// Waits until what the client sent so far has reached the robot (a marker after it).
    static bool flush() { return env().syncWith(*s_robot, false); }
    static QList<SetPoint> setPoints() {
        QList<SetPoint> points;
        for (const QJsonArray& a : s_robot->commands(QStringLiteral("omnidrive"))) {
            points.append({a.at(0).toDouble(), a.at(1).toDouble(), a.at(2).toDouble()});
        }
        return points;
    }
    static int zeroCount() {
        int count = 0;
        for (const SetPoint& p : setPoints()) count += p.isZero();
        return count;
    }
    static bool dropConnection() {
        s_robot->disconnectClients();
        return waitFor([] { return !env().client().isConnected(); });
    }
    static bool lastIsZero() { return !setPoints().isEmpty() && setPoints().last().isZero(); }
    /// Forgets what the robot got so far: a new handler's start-up standstill, for one.
    static bool forget() { return env().syncWith(*s_robot); }
    static bool waitForSetPoints(int count) {
        return waitFor([count] { return setPoints().size() >= count; });
    }
    static void publishOdometry(double x, double y, double phi) {
        static unsigned int sequence = 0;
        s_robot->publish(QStringLiteral("odometry"), QJsonArray{x, y, phi, 0.0, 0.0, 0.0, qint64(++sequence)});
    }
    /// Publishes the pose and waits until `handler` has it: what was published before is handled.
    static bool publishPose(const ControlHandler& handler, double x, double y = 0, double phi = 0) {
        publishOdometry(x, y, phi);
        return waitFor([&] {
            return std::fabs(handler.positionDriver().actualX() - x) < 1e-6 &&
                   std::fabs(handler.positionDriver().actualY() - y) < 1e-6;
        });
    }

    static inline testsupport::TestRobot* s_robot = nullptr;
};

constexpr double kPi = 3.14159265358979323846;

class ControlHandlerTest : public ControlFixture {};

TEST_F(ControlHandlerTest, AddsIncrementsUntilAStop) {
    ControlHandler handler;
    ASSERT_TRUE(forget());
    handler.stop();  // standing still: neither a stop nor a keep-alive sends anything
    handler.alive();
    handler.deliverPending();
    EXPECT_FALSE(handler.isDriving());
    ASSERT_TRUE(flush());
    EXPECT_TRUE(setPoints().isEmpty());
    handler.addDeltaVel(0.1f, 0, 0);
    handler.addDeltaVel(0.1f, 0, 0);
    handler.addDeltaVel(-0.3f, 0.05f, 0.5f);  // every axis sums on its own, and may change sign
    ASSERT_TRUE(waitForSetPoints(2));
    EXPECT_TRUE(setPoints().first().near(-0.1, 0.05, 0.5)) << setPoints().first();
    handler.stop();  // forgets the sum: the next increment starts from standstill
    handler.stop();  // one standstill for two stops
    handler.addDeltaVel(0, 0.1f, 0);
    ASSERT_TRUE(waitFor([] { return zeroCount() == 1 && !setPoints().last().isZero(); }));
    EXPECT_TRUE(setPoints().last().near(0, 0.1, 0)) << setPoints().last();
}

TEST_F(ControlHandlerTest, SendsTwentySetPointsThenOneStopWhenNothingFollows) {
    ControlHandler handler;
    ASSERT_TRUE(forget());
    handler.addDeltaVel(0.1f, 0, 0.2f);
    ASSERT_TRUE(waitFor([] { return zeroCount() > 0; }, 8000));
    EXPECT_FALSE(handler.isDriving());  // its timer is off: nothing more can follow
    const QList<SetPoint> points = setPoints();
    ASSERT_EQ(points.size(), 21);
    for (int i = 0; i < 20; ++i) EXPECT_TRUE(points[i].near(0.1, 0, 0.2)) << i << points[i];
}

TEST_F(ControlHandlerTest, StopsOnBumperContactUnlessConfiguredNotTo) {
    ControlHandler handler;
    ASSERT_TRUE(forget());
    handler.addDeltaVel(0.2f, 0, 0);
    ASSERT_TRUE(waitForSetPoints(1));
    // A release is no reason to stop; the setting is read at each contact.
    robot().publish("bumper", {false});
    setConfig("[Bumper]\nstopdriving=false\n");
    robot().publish("bumper", {true});
    ASSERT_TRUE(publishPose(handler, 0.5));
    EXPECT_TRUE(handler.isDriving());
    setConfig("[Bumper]\nstopdriving=true\n");
    robot().publish("bumper", {false});
    robot().publish("bumper", {true});
    ASSERT_TRUE(publishPose(handler, 0.6));
    EXPECT_FALSE(handler.isDriving());
    ASSERT_TRUE(flush());
    EXPECT_EQ(zeroCount(), 1);
    EXPECT_TRUE(lastIsZero());

    setConfig(QByteArray());  // without the setting a contact stops as well
    handler.addDeltaVel(0.2f, 0, 0);
    handler.deliverPending();
    robot().publish("bumper", {false});
    robot().publish("bumper", {true});
    ASSERT_TRUE(publishPose(handler, 0.7));
    EXPECT_FALSE(handler.isDriving());
}

TEST_F(ControlHandlerTest, FirstSetPointIsAStandstillAndAReconnectionOwesOnlyAStopNotSent) {
    {
        ControlHandler connected;  // at once while connected
        ASSERT_TRUE(flush());
        ASSERT_EQ(setPoints().size(), 1);
        EXPECT_TRUE(lastIsZero());
    }
    // Made before the connection, as the daemon starts: once it is up, so that a crashed
    // daemon's last set-point never goes on; the page's drive before that moves nothing.
    env().client().disconnectFromServer();
    robot().clearMessages();
    ControlHandler handler;
    handler.addDeltaVel(0.3f, 0, 0);
    handler.deliverPending();
    ASSERT_TRUE(env().connectTo(robot()));
    handler.addDeltaVel(0.1f, 0, 0);
    ASSERT_TRUE(waitForSetPoints(2));
    EXPECT_TRUE(setPoints().at(0).isZero());
    EXPECT_TRUE(setPoints().at(1).near(0.1, 0, 0)) << setPoints().at(1);
    handler.stop();
    handler.deliverPending();
    // Nothing owed: a reconnection sends no set-point (a robot program may be driving).
    ASSERT_TRUE(dropConnection());
    robot().clearMessages();
    ASSERT_TRUE(env().connectTo(robot()));
    ASSERT_TRUE(flush());
    EXPECT_TRUE(setPoints().isEmpty());
}

TEST_F(ControlHandlerTest, NothingDrivesAcrossAnOutageAndAStandstillComesFirstOnReturn) {
    ControlHandler handler;
    handler.addDeltaVel(0.1f, 0, 0);
    ASSERT_TRUE(waitForSetPoints(1));
    ASSERT_TRUE(dropConnection());
    EXPECT_FALSE(handler.isDriving());
    // The page is told, and the keep-alive it goes on sending arms nothing.
    EXPECT_EQ(env().reply(R"({"TYPE":"velDrive","vx":0,"vy":0,"omega":0.3})"),
              R"({"MSG":"NO CONNECTION TO THE ROBOT","TYPE":"ERR"})");
    EXPECT_EQ(env().reply(R"({"TYPE":"positionDrive","x":1,"y":0,"omega":0,"vel":0.1,"rotvel":0.1,"mode":0})"),
              R"({"MSG":"NO CONNECTION TO THE ROBOT","TYPE":"ERR"})");
    EXPECT_EQ(env().reply(R"({"TYPE":"HEARTBEAT"})"), R"({"TYPE":"ACK"})");
    EXPECT_EQ(env().reply(R"({"TYPE":"stop"})"), R"({"TYPE":"ACK"})");
    EXPECT_EQ(driveState()["link"], "down");
    EXPECT_EQ(handler.driveState().lastStop, ControlHandler::StopReason::Link);
    // A command answered just before the link went is dropped where it is carried out.
    handler.addDeltaVel(0, 0, 0.3f);
    handler.alive();
    handler.deliverPending();
    daemonHandler().deliverPending();
    EXPECT_FALSE(handler.isDriving());
    EXPECT_FALSE(daemonHandler().isDriving());
    robot().clearMessages();
    ASSERT_TRUE(env().connectTo(robot()));
    ASSERT_TRUE(flush());
    ASSERT_EQ(setPoints().size(), 1);
    EXPECT_TRUE(setPoints().first().isZero());
    // Driving again after the return is a fresh start.
    handler.addDeltaVel(0, 0, 0.2f);
    ASSERT_TRUE(waitForSetPoints(2));
    EXPECT_TRUE(setPoints().at(1).near(0, 0, 0.2)) << setPoints().at(1);
}

// Ticks that come late, as on a starved or frozen robot computer: the handler's clock runs
// `m_step` ms ahead after every tick, while the real timer still ticks every 100 ms.
class LateTicks : public ControlHandler {
public:
    explicit LateTicks(qint64 stepMs) : m_step(stepMs) {
        connect(findChild<QTimer*>(QString(), Qt::FindDirectChildrenOnly), &QTimer::timeout, this, [this] { m_offset += m_step.load(); });
    }
    std::atomic<qint64> m_step;

protected:
    qint64 nowMs() const override { return ControlHandler::nowMs() + m_offset.load(); }

private:
    std::atomic<qint64> m_offset{0};
};

TEST_F(ControlHandlerTest, WatchdogStopsOnTimeHoweverLateTheTicksCome) {
    const auto movingSetPoints = [] {
        int moving = 0;
        for (const SetPoint& p : setPoints()) moving += !p.isZero();
        return moving;
    };
    {
        // Ticks 400 ms apart: twenty of them would stretch two seconds into eight.
        LateTicks handler(300);
        ASSERT_TRUE(forget());
        handler.addDeltaVel(0, 0, 0.3f);
        ASSERT_TRUE(waitFor([] { return zeroCount() > 0; }, 8000));
        EXPECT_FALSE(handler.isDriving());
        EXPECT_LE(movingSetPoints(), 6);
        EXPECT_GE(movingSetPoints(), 1);
    }
    {
        // A freeze after the first set-point: the late tick ends driving, and a keep-alive that
        // comes after it resumes nothing.
        LateTicks handler(0);
        ASSERT_TRUE(forget());
        handler.addDeltaVel(0, 0, 0.3f);
        ASSERT_TRUE(waitForSetPoints(1));
        handler.m_step = 3000;
        ASSERT_TRUE(waitFor([&] {
            handler.alive();
            return !handler.isDriving();
        }));
        handler.alive();
        ASSERT_TRUE(flush());
        EXPECT_EQ(movingSetPoints(), setPoints().size() - 1);
        EXPECT_LE(movingSetPoints(), 2);
        EXPECT_TRUE(lastIsZero());
        EXPECT_EQ(handler.driveState().lastStop, ControlHandler::StopReason::Watchdog);
        EXPECT_GE(handler.lateTickStops(), 1u);
    }
}

TEST_F(ControlHandlerTest, HandlerGoingAwayWhileDrivingLeavesTheRobotAtStandstill) {
    auto handler = std::make_unique<ControlHandler>();
    handler->addDeltaVel(0.1f, 0.1f, 0);
    ASSERT_TRUE(waitForSetPoints(1));
    handler.reset();
    ASSERT_TRUE(waitFor([] { return lastIsZero(); }));
}

TEST_F(ControlHandlerTest, LimitsTheTopSpeedsAndTakesTheTargetRelativeToThePose) {
    const struct {
        float vel, rotvel;
        double topSpeed, topDegreesPerSecond;
    } rows[] = {
        {2.0f, 10.0f, 0.5, 90.0}, {0.0f, 0.0f, 0.04, 5.0}, {-1.0f, -1.0f, 0.04, 5.0}, {0.2f, 0.5f, 0.2, 28.6478},
    };
    ControlHandler handler;
    ASSERT_TRUE(publishPose(handler, 1.0, 2.0, kPi / 2));
    for (const auto& row : rows) {
        handler.startPositionMode(0.5f, 0, 0, row.vel, row.rotvel, 0);
        handler.deliverPending();
        EXPECT_NEAR(handler.positionDriver().vVector().last().y(), row.topSpeed, 1e-6) << row.vel;
        EXPECT_NEAR(handler.positionDriver().omegaVector().last().y(), row.topDegreesPerSecond, 1e-3) << row.rotvel;
    }
    // One metre ahead of a robot facing +y is one metre further along y; each mode its own kind.
    const PositionDriver::Movement kinds[] = {PositionDriver::TranslateThenRotate, PositionDriver::TranslateAndRotate,
                                              PositionDriver::TurnDriveTurn, PositionDriver::DriveFacingThenRotate};
    for (int mode = 3; mode >= 0; --mode) {
        handler.startPositionMode(1.0f, 0, 0.5f, 0.3f, 1.0f, mode);
        handler.deliverPending();
        EXPECT_EQ(handler.positionDriver().movement(), kinds[mode]);
    }
    EXPECT_NEAR(handler.positionDriver().targetX(), 1.0, 1e-5);
    EXPECT_NEAR(handler.positionDriver().targetY(), 3.0, 1e-5);
    EXPECT_NEAR(handler.positionDriver().targetPhi(), kPi / 2 + 0.5, 1e-5);
    ASSERT_TRUE(publishPose(handler, 1.0, 2.0, kPi / 2));
    ASSERT_TRUE(waitFor([] { return !setPoints().isEmpty() && setPoints().last().vx > 0; }));
    EXPECT_TRUE(setPoints().last().near(0.3, 0, 0)) << setPoints().last();  // straight ahead, top speed

    // An unknown mode starts nothing, and the movement before is not resumed either.
    for (int mode : {4, -1}) {
        handler.startPositionMode(1.0f, 0, 0, 0.3f, 1.0f, mode);
        handler.deliverPending();
        EXPECT_EQ(handler.positionDriver().movement(), PositionDriver::Idle) << mode;
    }
    ASSERT_TRUE(env().syncWith(robot()));
    ASSERT_TRUE(publishPose(handler, 1.0, 2.0, kPi / 2));
    ASSERT_TRUE(waitForSetPoints(2));
    for (const SetPoint& p : setPoints()) EXPECT_TRUE(p.isZero()) << p;
}

TEST_F(ControlHandlerTest, NeedsCurrentOdometryToStartAndToDrive) {
    ControlHandler handler;
    // No pose yet: a relative target cannot be placed, so nothing starts, now or later.
    handler.startPositionMode(1.0f, 0, 0, 0.3f, 1.0f, 0);
    handler.deliverPending();
    EXPECT_EQ(handler.positionDriver().movement(), PositionDriver::Idle);
    ASSERT_TRUE(publishPose(handler, 0.5));
    const int before = setPoints().size();
    ASSERT_TRUE(waitForSetPoints(before + 2));
    for (const SetPoint& p : setPoints()) EXPECT_TRUE(p.isZero()) << p;

    handler.startPositionMode(1.0f, 0, 0, 0.3f, 1.0f, 0);
    int polls = 0;
    const auto fresh = [&] {
        return waitFor([&] {
            if (++polls % 20 == 0) publishOdometry(0.5, 0, 0);
            handler.alive();
            return setPoints().last().vx > 0;
        });
    };
    // The odometry falls silent while the page keeps the watchdog fed: standstill, still driving.
    const auto silent = [&] {
        robot().clearMessages();
        return waitFor([&] {
            handler.alive();
            return lastIsZero();
        });
    };
    ASSERT_TRUE(fresh());
    ASSERT_TRUE(silent());
    EXPECT_TRUE(handler.isDriving());
    ASSERT_TRUE(fresh());  // fresh odometry resumes the movement
    ASSERT_TRUE(silent());
    // A pose gone stale is no ground for a new target either.
    handler.stop();
    handler.startPositionMode(0.3f, 0, 0, 0.3f, 1.0f, 1);
    handler.deliverPending();
    EXPECT_EQ(handler.positionDriver().movement(), PositionDriver::Idle);
}

TEST_F(ControlHandlerTest, AMoveThatReachedItsTargetStops) {
    ControlHandler handler;
    ASSERT_TRUE(publishPose(handler, 0.1));
    handler.startPositionMode(0.5f, 0, 0, 0.3f, 1.0f, 0);
    ASSERT_TRUE(waitFor([&] {
        publishOdometry(0.1, 0, 0);
        return !setPoints().isEmpty() && setPoints().last().vx > 0;
    }));
    // There, while the page goes on feeding the watchdog: no more set-points but one standstill.
    ASSERT_TRUE(waitFor([&] {
        publishOdometry(0.6, 0, 0);
        handler.alive();
        return !handler.isDriving();
    }));
    EXPECT_EQ(handler.driveState().lastStop, ControlHandler::StopReason::Reached);
    ASSERT_TRUE(flush());
    EXPECT_TRUE(lastIsZero());
}

class DriveCommandsTest : public ControlFixture {};


TEST_F(DriveCommandsTest, RefusedRequestsPostNothing) {
    const struct {
        const char* query;
        QByteArray reply;
    } rows[] = {
        {R"({"TYPE":"velDrive","vx":"0.1","vy":0})", testsupport::kReplyMissing},
        {R"({"TYPE":"velDrive"})", testsupport::kReplyMissing},
        {R"({"TYPE":"velDrive","vx":"0.1","vy":0,"omega":0})", testsupport::kReplyInvalid},
        {R"({"TYPE":"velDrive","vx":0.1,"vy":null,"omega":0})", testsupport::kReplyInvalid},
        {R"({"TYPE":"velDrive","vx":[0.1],"vy":0,"omega":true})", testsupport::kReplyInvalid},
        // Beyond what a float holds: refused instead of becoming infinity.
        {R"({"TYPE":"velDrive","vx":1e39,"vy":0,"omega":0})", testsupport::kReplyInvalid},
        {R"({"TYPE":"velDrive","vx":0,"vy":-1e300,"omega":0})", testsupport::kReplyInvalid},
        {R"({"TYPE":"positionDrive","x":"1","y":0,"omega":0,"vel":0.1,"rotvel":0.1})", testsupport::kReplyMissing},
        {R"({"TYPE":"positionDrive","x":1,"y":0,"omega":0,"vel":"fast","rotvel":0.1,"mode":0})", testsupport::kReplyInvalid},
        {R"({"TYPE":"positionDrive","x":1,"y":0,"omega":0,"vel":0.1,"rotvel":0.1,"mode":1.0})", testsupport::kReplyInvalid},
        {R"({"TYPE":"positionDrive","x":1,"y":0,"omega":0,"vel":0.1,"rotvel":0.1,"mode":"1"})", testsupport::kReplyInvalid},
        // A mode that would wrap into a valid movement kind as an int.
        {R"({"TYPE":"positionDrive","x":1,"y":0,"omega":0,"vel":0.1,"rotvel":0.1,"mode":4294967296})", testsupport::kReplyInvalid},
        {R"({"TYPE":"positionDrive","x":1,"y":0,"omega":0,"vel":0.1,"rotvel":1e40,"mode":0})", testsupport::kReplyInvalid},
    };
    for (const auto& row : rows) EXPECT_EQ(env().reply(row.query), row.reply) << row.query;
    daemonHandler().deliverPending();
    EXPECT_FALSE(daemonHandler().isDriving());
    ASSERT_TRUE(flush());
    EXPECT_TRUE(setPoints().isEmpty());
}

TEST_F(DriveCommandsTest, RepliesTheValuesAsTheRobotGetsThem) {
    // A command after {"TYPE": and the MSG of its ACK ("" for none).
    const std::pair<QByteArray, QByteArray> rows[] = {
        {R"("velDrive","vx":0.1,"vy":0,"omega":0.5)", "velDrive(0.100,0.000,0.500)"},
        {R"("stop","vx":"x")", ""},
        // Integers are numbers too; the text shows the float the robot is sent, written out whole.
        {R"("velDrive","vx":1,"vy":-2,"omega":123456789)", "velDrive(1.000,-2.000,123456792.000)"},
        {R"("velDrive","vx":1e30,"vy":-3.4e38,"omega":0)",
         "velDrive(1000000015047466219876688855040.000,"
         "-339999995214436424907732413799364296704.000,0.000)"},
        {R"("positionDrive","x":1,"y":-0.5,"omega":0.7854,"vel":0.3,"rotvel":0.2,"mode":2)",
         "positionDrive(1.000,-0.500,0.785,0.300,0.200,2)"},
        // The limits apply in the handler: the reply shows what was asked for.
        {R"("positionDrive","x":0,"y":0,"omega":0,"vel":9,"rotvel":-1,"mode":-7)",
         "positionDrive(0.000,0.000,0.000,9.000,-1.000,-7)"},
        // As the C format "%1.3f" writes them: halfway values round to even on the exact binary
        // value, and a negative zero keeps its sign.
        {R"("velDrive","vx":0.0625,"vy":-0.0625,"omega":0.1875)", "velDrive(0.062,-0.062,0.188)"},
        {R"("velDrive","vx":-0.0,"vy":-0.0001,"omega":0.0005)", "velDrive(-0.000,-0.000,0.001)"},
        {R"("positionDrive","x":0.0625,"y":-0.0,"omega":2.5,"vel":0.3125,"rotvel":-0.0625,"mode":0)",
         "positionDrive(0.062,-0.000,2.500,0.312,-0.062,0)"},
        {R"("stop")", ""},
    };
    for (const auto& [command, msg] : rows) {
        const QByteArray ack = msg.isEmpty() ? "{" : R"({"MSG":")" + msg + "\",";
        const QByteArray query = R"({"TYPE":)" + command + "}";
        EXPECT_EQ(env().reply(query), ack + R"("TYPE":"ACK"})") << query.constData();
    }
}

TEST_F(DriveCommandsTest, DriveStateShowsTheSetPointTheWatchdogAndWhyDrivingEnded) {
    QJsonObject state = driveState();
    EXPECT_EQ(state.keys(), (QStringList{"TYPE", "driver", "lastMessageMs", "lastStop", "link", "mode",
                                         "omega", "vx", "vy", "watchdogMs"}));
    EXPECT_EQ(state["TYPE"], "DATA");
    EXPECT_EQ(state["link"], "up");
    EXPECT_EQ(state["mode"], "stopped");
    EXPECT_EQ(state["watchdogMs"], 0);
    EXPECT_EQ(state["lastStop"].toObject().keys(), (QStringList{"ageMs", "reason"}));

    env().reply(R"({"TYPE":"velDrive","vx":0.25,"vy":0,"omega":-0.5})");
    ASSERT_TRUE(waitFor([] { return driveState()["vx"].toDouble() == 0.25; }));
    state = driveState();
    EXPECT_EQ(state["mode"], "velocity");
    EXPECT_EQ(state["omega"].toDouble(), -0.5);
    EXPECT_GT(state["watchdogMs"].toInt(), 0);
    EXPECT_LE(state["watchdogMs"].toInt(), ControlHandler::kAliveMs);
    env().reply(R"({"TYPE":"stop"})");
    ASSERT_TRUE(waitFor([] { return driveState()["mode"] == "stopped"; }));
    state = driveState();
    EXPECT_EQ(state["vx"].toDouble(), 0);
    EXPECT_EQ(state["watchdogMs"], 0);
    EXPECT_EQ(state["lastStop"].toObject()["reason"], "request");
    EXPECT_GE(state["lastStop"].toObject()["ageMs"].toInt(), 0);
}

// A page of the robot, as the web server passes its requests on.
RequestHeaders page(const char* id, const char* address, const char* agent) {
    RequestHeaders headers;
    headers.driver = id;
    headers.remoteAddr = address;
    headers.userAgent = agent;
    headers.pageMark = "1";
    return headers;
}

TEST_F(DriveCommandsTest, OnePageDrivesTheOthersWatchUntilOneTakesOver) {
    const QByteArray refused = R"({"MSG":"ANOTHER PAGE IS DRIVING","TYPE":"ERR"})";
    const RequestHeaders a = page("page-a", "192.168.0.12", "<img src=x onerror=alert(1)>");
    const RequestHeaders b = page("page-b", "10.0.0.7",
                                  "Mozilla/5.0 (Android 14; Mobile; rv:125.0) Gecko/125.0 Firefox/125.0");
    // Taken from the scripts of the tests before, which may still hold the drive.
    EXPECT_EQ(env().reply(R"({"TYPE":"velDrive","vx":0.2,"vy":0,"omega":0,"takeOver":true})", a),
              R"j({"MSG":"velDrive(0.200,0.000,0.000)","TYPE":"ACK"})j");
    ASSERT_TRUE(waitForSetPoints(1));
    // Another page, and a script, change nothing: no increment, no stop, no take-over.
    for (const RequestHeaders& other : {b, RequestHeaders()}) {
        EXPECT_EQ(env().reply(R"({"TYPE":"velDrive","vx":0.1,"vy":0,"omega":0})", other), refused);
        EXPECT_EQ(env().reply(R"({"TYPE":"positionDrive","x":1,"y":0,"omega":0,"vel":0.1,"rotvel":0.1,"mode":0})",
                              other), refused);
        EXPECT_EQ(env().reply(R"({"TYPE":"HEARTBEAT"})", other), refused);
    }
    daemonHandler().deliverPending();
    ASSERT_TRUE(flush());
    for (const SetPoint& p : setPoints()) EXPECT_TRUE(p.near(0.2, 0, 0)) << p;
    // The others see who drives, in text that holds no markup and never their id.
    const QByteArray seen = env().reply(R"({"TYPE":"getDriveState"})", b);
    EXPECT_FALSE(seen.contains('<')) << seen.constData();
    EXPECT_FALSE(seen.contains("page-a")) << seen.constData();
    QJsonObject driver = QJsonDocument::fromJson(seen).object()["driver"].toObject();
    EXPECT_EQ(driver["address"], "192.168.0.12");
    EXPECT_EQ(driver["agent"], "<img src=x onerror=alert(1)>");
    EXPECT_EQ(driver["you"], false);
    EXPECT_GE(driver["sinceMs"].toInt(-1), 0);
    EXPECT_EQ(driveState(a)["driver"].toObject()["you"], true);

    // Taken over: a standstill first, then the second page's set-points alone (not added to the
    // first's); the first page is refused from then on and learns why its drive ended.
    EXPECT_EQ(env().reply(R"({"TYPE":"velDrive","vx":0.1,"vy":0,"omega":0,"takeOver":true})", b),
              R"j({"MSG":"velDrive(0.100,0.000,0.000)","TYPE":"ACK"})j");
    ASSERT_TRUE(waitFor([] { return setPoints().last().near(0.1, 0, 0); }));
    const QList<SetPoint> points = setPoints();
    const auto zero = std::find_if(points.begin(), points.end(), [](const SetPoint& p) { return p.isZero(); });
    ASSERT_NE(zero, points.end());
    for (auto p = points.begin(); p != points.end(); ++p) {
        EXPECT_TRUE(p < zero ? p->near(0.2, 0, 0) : p == zero || p->near(0.1, 0, 0)) << *p;
    }
    EXPECT_EQ(env().reply(R"({"TYPE":"HEARTBEAT"})", a), refused);
    EXPECT_EQ(env().reply(R"({"TYPE":"velDrive","vx":0,"vy":0,"omega":0.5})", a), refused);
    QJsonObject state = driveState(a);
    EXPECT_EQ(state["lastStop"].toObject()["reason"], "takeover");
    driver = state["driver"].toObject();
    EXPECT_EQ(driver["you"], false);
    EXPECT_EQ(driver["agent"], "Firefox on Android");

    // The refused page's keep-alives do not feed the watchdog: the drive ends two seconds after
    // its driver fell silent, and then the drive is free for anyone, a script too.
    ASSERT_TRUE(waitFor([&] {
        env().reply(R"({"TYPE":"HEARTBEAT"})", a);
        return !daemonHandler().isDriving();
    }));
    EXPECT_EQ(driveState()["lastStop"].toObject()["reason"], "watchdog");
    ASSERT_TRUE(waitFor([] { return driveState()["driver"].isNull(); }));
    EXPECT_EQ(env().reply(R"({"TYPE":"velDrive","vx":0.05,"vy":0,"omega":0})"),
              R"j({"MSG":"velDrive(0.050,0.000,0.000)","TYPE":"ACK"})j");
    EXPECT_EQ(driveState()["driver"].toObject()["you"], true);
}

TEST_F(DriveCommandsTest, APositionMoveShowsWhatIsLeftAndEndsWhenReached) {
    ControlHandler& handler = daemonHandler();
    ASSERT_TRUE(publishPose(handler, 0.1, 0, 0.2));
    EXPECT_EQ(env().reply(R"({"TYPE":"positionDrive","x":0.5,"y":0,"omega":0.3,"vel":0.3,"rotvel":1,"mode":1})"),
              R"j({"MSG":"positionDrive(0.500,0.000,0.300,0.300,1.000,1)","TYPE":"ACK"})j");
    ASSERT_TRUE(waitFor([] { return driveState()["mode"] == "position"; }));
    QJsonObject target = driveState()["target"].toObject();
    EXPECT_NEAR(target["distanceLeft"].toDouble(), 0.5, 1e-4);
    EXPECT_NEAR(target["angleLeft"].toDouble(), 0.3, 1e-4);
    const double targetX = handler.positionDriver().targetX(), targetY = handler.positionDriver().targetY();
    // The page keeps the move alive however slow this machine is: it ends as reached, not by
    // the watchdog, and the robot is left at standstill.
    const auto fed = [](const std::function<bool()>& condition) {
        return waitFor([&] { return env().reply(R"({"TYPE":"HEARTBEAT"})") == R"({"TYPE":"ACK"})" && condition(); });
    };
    ASSERT_TRUE(publishPose(handler, targetX - 0.2, targetY, 0.4));
    ASSERT_TRUE(fed([] {
        return std::fabs(driveState()["target"].toObject()["distanceLeft"].toDouble() - 0.2) < 1e-4;
    }));
    EXPECT_NEAR(driveState()["target"].toObject()["angleLeft"].toDouble(), 0.1, 1e-4);
    publishOdometry(targetX, targetY, 0.5);
    ASSERT_TRUE(fed([] { return driveState()["mode"] == "stopped"; }));
    const QJsonObject state = driveState();
    EXPECT_EQ(state["lastStop"].toObject()["reason"], "reached");
    EXPECT_FALSE(state.contains("target"));
    ASSERT_TRUE(flush());
    EXPECT_TRUE(lastIsZero());
}

class ControlThreadTest : public ControlFixture {};

TEST_F(ControlThreadTest, RequestThreadPostsWhileMainThreadDrives) {
    const QByteArray queries[] = {
        R"({"TYPE":"velDrive","vx":0.01,"vy":-0.01,"omega":0.02})",
        R"({"TYPE":"HEARTBEAT"})",
        R"({"TYPE":"positionDrive","x":0.5,"y":0.1,"omega":0.2,"vel":0.3,"rotvel":1,"mode":1})",
        R"({"TYPE":"stop"})",
        R"({"TYPE":"getDriveState"})",
    };
    std::atomic<bool> done{false};
    int acked = 0;
    std::thread requests([&] {
        for (int i = 0; i < 600; ++i) {
            acked += !env().reply(queries[i % std::size(queries)]).contains(R"("TYPE":"ERR")");
            daemonHandler().alive();
        }
        env().reply(R"({"TYPE":"velDrive","vx":0.01,"vy":0,"omega":0})");
        env().reply(R"({"TYPE":"stop"})");
        done = true;
    });
    double x = 0;
    const bool finished = waitFor([&] {
        publishOdometry(x += 0.001, 0, 0);
        return done.load();
    }, 60000);
    requests.join();
    ASSERT_TRUE(finished);
    EXPECT_EQ(acked, 600);
    // The main thread may be well behind the request thread on a loaded machine: what is still
    // waiting is handled now, so the final stop is the last word.
    daemonHandler().deliverPending();
    EXPECT_FALSE(daemonHandler().isDriving());
    ASSERT_TRUE(flush());
    EXPECT_GT(setPoints().size(), 1);
    EXPECT_TRUE(lastIsZero());
}

TEST_F(ControlThreadTest, AliveFromAnotherThreadKeepsTheWatchdogFed) {
    ControlHandler handler;
    ASSERT_TRUE(forget());
    handler.addDeltaVel(0.1f, 0, 0);
    std::atomic<bool> done{false};
    std::thread feeder([&] {
        while (!done.load()) {
            handler.alive();
            QThread::msleep(5);  // a busy page; how often does not matter
        }
    });
    // Three times the watchdog's twenty ticks.
    const bool fed = waitFor([] { return setPoints().size() >= 60; }, 20000);
    done = true;
    feeder.join();
    ASSERT_TRUE(fed);
    EXPECT_EQ(zeroCount(), 0);
    ASSERT_TRUE(waitFor([] { return zeroCount() == 1; }));
}

}  // namespace
