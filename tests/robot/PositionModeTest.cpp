// Position mode: the top speeds are limited, the target is taken relative to the robot's pose,
// the mode picks the movement kind (and an unknown mode starts none), a stop ends the movement,
// silent odometry never lets stale outputs drive the robot, and a played robot that follows the
// set-points arrives at the target.
#include <QElapsedTimer>
#include <QTimer>
#include <cmath>
#include <functional>

#include "ControlTestSupport.h"
#include "kel/rpc/Server.h"

using controltest::ControlFixture;
using controltest::SetPoint;
using kel::corvanta::navigation::PositionDriver;
using testsupport::spin;
using testsupport::waitFor;

namespace {

constexpr double kPi = 3.14159265358979323846;

class PositionModeTest : public ControlFixture {
protected:
    static void deliver(ControlHandler& handler) { handler.deliverPending(); }
    /// Publishes the pose every 100 ms until `done` holds.
    static bool publishUntil(double x, double y, double phi, const std::function<bool()>& done) {
        for (int i = 0; i < 30; ++i) {
            publishOdometry(x, y, phi);
            if (waitFor(done, 100)) return true;
        }
        return false;
    }
    static bool hasPose(const ControlHandler& handler, double x, double y) {
        return std::fabs(handler.positionDriver().actualX() - x) < 1e-6 &&
               std::fabs(handler.positionDriver().actualY() - y) < 1e-6;
    }
};

TEST_F(PositionModeTest, LimitsTheTopSpeeds) {
    struct Case {
        float vel, rotvel;
        double topSpeed, topDegreesPerSecond;
    };
    const Case cases[] = {
        {2.0f, 10.0f, 0.5, 90.0},        // above the limits
        {0.0f, 0.0f, 0.04, 5.0},         // below them
        {-1.0f, -1.0f, 0.04, 5.0},       // negative
        {0.2f, 0.5f, 0.2, 28.6478},      // within: unchanged
        {0.5f, 1.5708f, 0.5, 90.0},      // at the upper limits
        {0.04f, 0.0872667f, 0.04, 5.0},  // at the lower limits
    };
    ControlHandler handler;
    for (const Case& c : cases) {
        handler.startPositionMode(0.5f, 0, 0, c.vel, c.rotvel, 0);
        deliver(handler);
        const QVector<QPointF> speed = handler.positionDriver().vVector();
        const QVector<QPointF> angular = handler.positionDriver().omegaVector();
        ASSERT_EQ(speed.size(), 5);
        ASSERT_EQ(angular.size(), 4);
        EXPECT_NEAR(speed.last().y(), c.topSpeed, 1e-6) << c.vel;
        EXPECT_NEAR(angular.last().y(), c.topDegreesPerSecond, 1e-3) << c.rotvel;
        // The slow end of both tables is the same whatever the request asks for.
        EXPECT_EQ(speed[2], QPointF(0.02f, 0.04f));
        EXPECT_EQ(speed[3], QPointF(0.3f, 0.05f));
        EXPECT_EQ(speed.last().x(), 1.0);
        EXPECT_EQ(angular[2], QPointF(0.5, 5.0));
        EXPECT_EQ(angular.last().x(), 20.0);
    }
    EXPECT_FALSE(handler.isVelocityMode());
}

TEST_F(PositionModeTest, TakesTheTargetRelativeToTheRobotsPose) {
    env().clearLog();
    ControlHandler handler;
    publishOdometry(1.0, 2.0, kPi / 2);
    ASSERT_TRUE(waitFor([&] { return hasPose(handler, 1.0, 2.0); }, 3000));

    // One metre ahead of a robot facing +y is one metre further along y.
    handler.startPositionMode(1.0f, 0, 0.5f, 0.3f, 1.0f, 0);
    deliver(handler);
    const PositionDriver& driver = handler.positionDriver();
    EXPECT_NEAR(driver.targetX(), 1.0, 1e-5);
    EXPECT_NEAR(driver.targetY(), 3.0, 1e-5);
    EXPECT_NEAR(driver.targetPhi(), kPi / 2 + 0.5, 1e-5);
    EXPECT_EQ(driver.movement(), PositionDriver::TranslateThenRotate);

    // Straight ahead in the robot's frame at the top speed of a metre away.
    publishOdometry(1.0, 2.0, kPi / 2);
    ASSERT_TRUE(waitFor([] { return !setPoints().isEmpty() && setPoints().last().vx > 0; }, 3000));
    EXPECT_TRUE(setPoints().last().near(0.3, 0, 0, 1e-4)) << setPoints().last();
    EXPECT_TRUE(hasLine(env().logText(), "distanceToTargetOrientation = 0.5, omega = 0"));
}

TEST_F(PositionModeTest, ModeSelectsTheMovementKindAndAnUnknownModeStartsNone) {
    ControlHandler handler;
    publishOdometry(0.1, 0, 0);
    ASSERT_TRUE(waitFor([&] { return hasPose(handler, 0.1, 0); }, 3000));
    const PositionDriver::Movement kinds[] = {
        PositionDriver::TranslateThenRotate, PositionDriver::TranslateAndRotate,
        PositionDriver::TurnDriveTurn, PositionDriver::DriveFacingThenRotate};
    for (int mode = 0; mode < 4; ++mode) {
        handler.startPositionMode(0.5f, 0.5f, 0, 0.3f, 1.0f, mode);
        deliver(handler);
        EXPECT_EQ(handler.positionDriver().movement(), kinds[mode]) << mode;
    }

    publishOdometry(0, 0, 0);
    ASSERT_TRUE(
        waitFor([] { return !setPoints().isEmpty() && !setPoints().last().isZero(); }, 3000));
    for (int mode : {4, -1, 1000}) {
        handler.startPositionMode(1.0f, 0, 0, 0.3f, 1.0f, mode);
        deliver(handler);
        EXPECT_EQ(handler.positionDriver().movement(), PositionDriver::Idle) << mode;
    }
    // The movement before is not resumed either, whatever the odometry says.
    robot().clearMessages();
    for (int i = 0; i < 5; ++i) {
        publishOdometry(0, 0, 0);
        spin(100);
    }
    ASSERT_FALSE(setPoints().isEmpty());
    for (const SetPoint& p : setPoints()) EXPECT_TRUE(p.isZero()) << p;
    EXPECT_TRUE(handler.isDriving());  // standstill set-points until the watchdog ends them
}

TEST_F(PositionModeTest, StopEndsThePositionMovement) {
    ControlHandler handler;
    publishOdometry(0.1, 0, 0);
    ASSERT_TRUE(waitFor([&] { return hasPose(handler, 0.1, 0); }, 3000));
    handler.startPositionMode(1.0f, 0, 0, 0.3f, 1.0f, 0);
    deliver(handler);
    ASSERT_TRUE(
        publishUntil(0, 0, 0, [] { return !setPoints().isEmpty() && setPoints().last().vx > 0; }));
    handler.stop();
    ASSERT_TRUE(waitFor([] { return lastIsZero(); }, 3000));
    EXPECT_FALSE(handler.isDriving());
    EXPECT_EQ(handler.positionDriver().movement(), PositionDriver::Idle);

    publishOdometry(0, 0, 0);
    spin(200);
    EXPECT_EQ(handler.positionDriver().vx(), 0.0f);
    EXPECT_TRUE(lastIsZero());
}

TEST_F(PositionModeTest, NeedsCurrentOdometryToStartAndToDrive) {
    env().clearLog();
    ControlHandler handler;
    // No pose yet: a relative target cannot be placed, so nothing starts, now or later.
    handler.startPositionMode(1.0f, 0, 0, 0.3f, 1.0f, 0);
    deliver(handler);
    EXPECT_EQ(handler.positionDriver().movement(), PositionDriver::Idle);
    EXPECT_TRUE(hasLine(env().logText(),
                        "ControlHandler: no current odometry, position drive not started"));
    ASSERT_TRUE(waitForSetPoints(2));
    publishOdometry(0.5, 0, 0);
    ASSERT_TRUE(waitFor([&] { return hasPose(handler, 0.5, 0); }, 3000));
    spin(300);
    for (const SetPoint& p : setPoints()) EXPECT_TRUE(p.isZero()) << p;

    handler.startPositionMode(1.0f, 0, 0, 0.3f, 1.0f, 0);
    ASSERT_TRUE(publishUntil(0.5, 0, 0, [] { return setPoints().last().vx > 0; }));

    // The odometry falls silent while the page keeps the watchdog fed.
    QElapsedTimer silence;
    silence.start();
    ASSERT_TRUE(waitFor(
        [&] {
            handler.alive();
            return lastIsZero();
        },
        5000));
    EXPECT_GE(silence.elapsed(), 500);
    EXPECT_TRUE(handler.isDriving());

    // Fresh odometry resumes the movement.
    ASSERT_TRUE(publishUntil(0.5, 0, 0, [&] {
        handler.alive();
        return setPoints().last().vx > 0;
    }));

    // A pose gone stale is no ground for a new target either.
    handler.stop();
    ASSERT_TRUE(waitFor([&] { return !handler.isDriving(); }, 3000));
    spin(1200);
    handler.startPositionMode(0.3f, 0, 0, 0.3f, 1.0f, 1);
    deliver(handler);
    EXPECT_EQ(handler.positionDriver().movement(), PositionDriver::Idle);
}

TEST_F(PositionModeTest, DrivesAFollowingRobotToTheTarget) {
    // A robot that moves as the set-points say and reports its pose every 50 ms.
    double x = 0.5, y = -0.2, phi = 0.3;
    SetPoint velocity;
    QElapsedTimer step;
    step.start();
    QTimer odometry;
    QObject::connect(&odometry, &QTimer::timeout, [&] {
        const double dt = step.restart() / 1000.0;
        x += (velocity.vx * std::cos(phi) - velocity.vy * std::sin(phi)) * dt;
        y += (velocity.vx * std::sin(phi) + velocity.vy * std::cos(phi)) * dt;
        phi += velocity.omega * dt;
        publishOdometry(x, y, phi);
    });
    odometry.start(50);
    QObject commandContext;  // ends the connection below before the values it writes go
    QObject::connect(
        &robot().server(), &kel::rpc::Server::commandReceived, &commandContext,
        [&](const QString& topic, const QJsonArray& args) {
            if (topic == QLatin1String("omnidrive")) {
                velocity = {args.at(0).toDouble(), args.at(1).toDouble(), args.at(2).toDouble()};
            }
        });
    ControlHandler handler;
    ASSERT_TRUE(waitFor([&] { return hasPose(handler, x, y); }, 3000));

    // 0.4 m ahead and 0.2 m to the left, turning by 0.6 rad on the way.
    const double targetX = x + 0.4 * std::cos(phi) - 0.2 * std::sin(phi);
    const double targetY = y + 0.4 * std::sin(phi) + 0.2 * std::cos(phi);
    const double targetPhi = phi + 0.6;
    handler.startPositionMode(0.4f, 0.2f, 0.6f, 0.3f, 1.0f, 1);
    const bool arrived = waitFor(
        [&] {
            handler.alive();
            return handler.positionDriver().isPositionReached() &&
                   handler.positionDriver().isOrientationReached();
        },
        30000);
    odometry.stop();
    ASSERT_TRUE(arrived);
    EXPECT_LT(std::hypot(x - targetX, y - targetY), 0.03);
    EXPECT_LT(std::fabs(phi - targetPhi), 0.05);
    handler.stop();
    ASSERT_TRUE(waitFor([] { return lastIsZero(); }, 3000));
}

}  // namespace
