// Velocity mode as the robot sees it on the wire: increments add up, the watchdog lets exactly
// twenty set-points out and then stops once, alive() keeps the set-point going, a bumper contact
// stops unless configured not to, and a lost connection or a handler going away never leaves the
// robot driving.
#include <QElapsedTimer>
#include <memory>

#include "ControlTestSupport.h"
#include "kel/corvanta/daemons/Log.h"

using controltest::ControlFixture;
using controltest::SetPoint;
using testsupport::spin;
using testsupport::waitFor;

namespace {

class ControlHandlerTest : public ControlFixture {};

TEST_F(ControlHandlerTest, AddsIncrementsToTheRunningSetPoint) {
    ControlHandler handler;
    handler.addDeltaVel(0.1f, 0, 0);
    handler.addDeltaVel(0.1f, 0, 0);
    ASSERT_TRUE(waitForSetPoints(3));
    for (const SetPoint& p : setPoints()) EXPECT_TRUE(p.near(0.2, 0, 0)) << p;

    // Every axis sums on its own, and the sum may change sign.
    handler.addDeltaVel(-0.3f, 0.05f, 0.5f);
    ASSERT_TRUE(waitFor([] { return setPoints().last().near(-0.1, 0.05, 0.5, 1e-6); }, 5000))
        << setPoints().last();

    // A stop forgets the sum: the next increment starts from standstill.
    handler.stop();
    ASSERT_TRUE(waitFor([] { return lastIsZero(); }, 5000));
    handler.addDeltaVel(0, 0.1f, 0);
    ASSERT_TRUE(waitFor([] { return !setPoints().last().isZero(); }, 5000));
    EXPECT_TRUE(setPoints().last().near(0, 0.1, 0)) << setPoints().last();
}

TEST_F(ControlHandlerTest, SendsTwentySetPointsThenOneStopWhenNothingFollows) {
    ControlHandler handler;
    QElapsedTimer clock;
    clock.start();
    handler.addDeltaVel(0.1f, 0, 0.2f);
    ASSERT_TRUE(waitFor([] { return zeroCount() > 0; }, 8000));
    const qint64 stoppedAfter = clock.elapsed();
    EXPECT_GE(stoppedAfter, 1500);
    EXPECT_LE(stoppedAfter, 4000);

    spin(500);  // nothing more may follow the stop
    const QList<SetPoint> points = setPoints();
    ASSERT_EQ(points.size(), 21);
    for (int i = 0; i < 20; ++i) EXPECT_TRUE(points[i].near(0.1, 0, 0.2)) << i << points[i];
    EXPECT_TRUE(points.last().isZero());
    EXPECT_FALSE(handler.isDriving());
}

TEST_F(ControlHandlerTest, KeepsDrivingWhileAliveArrivesEverySecond) {
    ControlHandler handler;
    handler.addDeltaVel(0.1f, 0, 0);
    for (int second = 0; second < 4; ++second) {
        spin(1000);
        handler.alive();
    }
    EXPECT_EQ(zeroCount(), 0);
    EXPECT_GE(setPoints().size(), 30);  // about ten a second
    EXPECT_TRUE(handler.isDriving());

    // Once the alive calls end, the watchdog still stops the robot.
    ASSERT_TRUE(waitFor([] { return zeroCount() > 0; }, 5000));
    EXPECT_EQ(zeroCount(), 1);
    EXPECT_TRUE(lastIsZero());
}

TEST_F(ControlHandlerTest, AliveAloneStartsNothing) {
    ControlHandler handler;
    handler.alive();
    spin(400);
    EXPECT_TRUE(setPoints().isEmpty());
    EXPECT_FALSE(handler.isDriving());
}

TEST_F(ControlHandlerTest, StopsOnBumperContactUnlessConfiguredNotTo) {
    ControlHandler handler;
    handler.addDeltaVel(0.2f, 0, 0);
    ASSERT_TRUE(waitForSetPoints(1));

    // A release is no reason to stop.
    publishBumper(false);
    spin(300);
    EXPECT_EQ(zeroCount(), 0);

    // The setting is read at each contact.
    env().setConfig("[Bumper]\nstopdriving=false\n");
    publishBumper(true);
    spin(400);
    EXPECT_EQ(zeroCount(), 0);
    EXPECT_TRUE(handler.isDriving());

    env().setConfig("[Bumper]\nstopdriving=true\n");
    publishBumper(false);
    publishBumper(true);
    ASSERT_TRUE(waitFor([] { return zeroCount() == 1; }, 3000));
    spin(300);
    EXPECT_TRUE(lastIsZero());
    EXPECT_EQ(zeroCount(), 1);
    EXPECT_FALSE(handler.isDriving());

    // Without the setting a contact stops as well.
    env().setConfig(QByteArray());
    publishBumper(false);
    robot().clearMessages();
    handler.addDeltaVel(0.2f, 0, 0);
    ASSERT_TRUE(waitForSetPoints(1));
    publishBumper(true);
    ASSERT_TRUE(waitFor([] { return lastIsZero(); }, 3000));
    EXPECT_FALSE(handler.isDriving());
}

TEST_F(ControlHandlerTest, StopSendsOneStandstillOnlyWhileDriving) {
    ControlHandler handler;
    handler.stop();
    spin(300);
    EXPECT_TRUE(setPoints().isEmpty());

    handler.addDeltaVel(0.1f, 0, 0);
    ASSERT_TRUE(waitForSetPoints(1));
    handler.stop();
    handler.stop();
    ASSERT_TRUE(waitFor([] { return lastIsZero(); }, 3000));
    spin(300);
    EXPECT_EQ(zeroCount(), 1);
}

TEST_F(ControlHandlerTest, WritesItsLogLines) {
    env().clearLog();
    {
        ControlHandler handler;
        handler.addDeltaVel(0.1f, 0, 0.5f);
        ASSERT_TRUE(waitForSetPoints(1));
        handler.stop();
        ASSERT_TRUE(waitFor([] { return lastIsZero(); }, 3000));
    }
    const QString log = env().logText();
    EXPECT_TRUE(hasLine(
        log, "ControlHandler::addDeltaVel_i( float dvx = 0.1, float dvy = 0, float domega = 0.5 )"))
        << qPrintable(log);
    EXPECT_TRUE(hasLine(log, "ControlHandler::on_timer_timeout() set_omnidrive 0.1 0 0.5"));
    EXPECT_TRUE(hasLine(log, "ControlHandler::stop_i() set_omnidrive 0 0 0"));
    EXPECT_TRUE(hasLine(log, "ControlHandler:stopped"));

    // The drive lines are of level 5: gone below that verbosity.
    auto* log5 = kel::corvanta::daemons::Log::singleton();
    const int verbosity = log5->verbosity();
    log5->setVerbosity(4);
    env().clearLog();
    {
        ControlHandler handler;
        handler.addDeltaVel(0.1f, 0, 0);
        handler.deliverPending();
        EXPECT_TRUE(handler.isDriving());
        handler.stop();
        handler.deliverPending();
        EXPECT_FALSE(handler.isDriving());
    }
    const QString quiet = env().logText();
    log5->setVerbosity(verbosity);
    EXPECT_FALSE(quiet.contains("ControlHandler")) << qPrintable(quiet);
}

TEST_F(ControlHandlerTest, LostConnectionEndsDrivingAndStandstillFollowsReconnection) {
    ControlHandler handler;
    handler.addDeltaVel(0.3f, 0, 0);
    ASSERT_TRUE(waitForSetPoints(2));
    robot().disconnectClients();
    ASSERT_TRUE(waitFor([] { return !env().client().isConnected(); }, 5000));
    EXPECT_FALSE(handler.isDriving());
    robot().clearMessages();

    // The client comes back on its own; the robot must then hear a standstill, nothing else.
    ASSERT_TRUE(waitFor([] { return env().client().isConnected(); }, 10000));
    ASSERT_TRUE(waitFor([] { return !setPoints().isEmpty(); }, 3000));
    spin(500);
    const QList<SetPoint> points = setPoints();
    ASSERT_EQ(points.size(), 1);
    EXPECT_TRUE(points.first().isZero()) << points.first();
    EXPECT_FALSE(handler.isDriving());

    // A later reconnection owes nothing more.
    robot().disconnectClients();
    ASSERT_TRUE(waitFor([] { return !env().client().isConnected(); }, 5000));
    ASSERT_TRUE(waitFor([] { return env().client().isConnected(); }, 10000));
    robot().clearMessages();
    spin(300);
    EXPECT_TRUE(setPoints().isEmpty());
}

TEST_F(ControlHandlerTest, DrivingAgainDuringAnOutageIsNotStoppedOnReconnection) {
    ControlHandler handler;
    robot().disconnectClients();
    ASSERT_TRUE(waitFor([] { return !env().client().isConnected(); }, 5000));
    handler.addDeltaVel(0.1f, 0, 0);
    handler.stop();  // its standstill cannot reach the robot now
    handler.addDeltaVel(0.2f, 0, 0);
    handler.deliverPending();
    ASSERT_TRUE(waitFor([] { return env().client().isConnected(); }, 10000));
    ASSERT_TRUE(waitForSetPoints(3));
    // The fresh command goes on; an owed standstill in between would jolt the robot.
    const QList<SetPoint> points = setPoints();
    for (int i = 0; i < 3; ++i) EXPECT_TRUE(points[i].near(0.2, 0, 0)) << i << points[i];
}

TEST_F(ControlHandlerTest, HandlerGoingAwayWhileDrivingLeavesTheRobotAtStandstill) {
    auto handler = std::make_unique<ControlHandler>();
    handler->addDeltaVel(0.1f, 0.1f, 0);
    ASSERT_TRUE(waitForSetPoints(1));
    handler.reset();
    ASSERT_TRUE(waitFor([] { return lastIsZero(); }, 3000));
}

}  // namespace
