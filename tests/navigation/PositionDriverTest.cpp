#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "DriverTestSupport.h"

using kel::corvanta::navigation::deg2rad;
using kel::corvanta::navigation::PositionDriver;
using navtest::ClockedDriver;

namespace {

constexpr double kPi = 3.14159265358979323846;

float below(float x) { return std::nextafter(x, -std::numeric_limits<float>::infinity()); }
float above(float x) { return std::nextafter(x, std::numeric_limits<float>::infinity()); }

}  // namespace

TEST(PositionDriverLookupTest, InitialSpeedTableAtAndAroundEveryPoint) {
    const QVector<QPointF> table = PositionDriver().vVector();
    ASSERT_EQ(table.size(), 5);
    EXPECT_EQ(PositionDriver::lookup(table, -1.0f), 0.0f);
    EXPECT_EQ(PositionDriver::lookup(table, 0.0f), 0.0f);
    EXPECT_EQ(PositionDriver::lookup(table, 0.01f), 0.0f);
    EXPECT_EQ(PositionDriver::lookup(table, below(0.02f)), 0.0f);
    EXPECT_EQ(PositionDriver::lookup(table, 0.02f), 0.04f);
    EXPECT_NEAR(PositionDriver::lookup(table, above(0.02f)), 0.04f, 1e-6);
    EXPECT_NEAR(PositionDriver::lookup(table, 0.16f), 0.045f, 1e-6);
    EXPECT_NEAR(PositionDriver::lookup(table, below(0.3f)), 0.05f, 1e-6);
    EXPECT_EQ(PositionDriver::lookup(table, 0.3f), 0.05f);
    EXPECT_NEAR(PositionDriver::lookup(table, 0.65f), 0.175f, 1e-6);
    EXPECT_NEAR(PositionDriver::lookup(table, below(1.0f)), 0.3f, 1e-6);
    EXPECT_EQ(PositionDriver::lookup(table, 1.0f), 0.3f);
    EXPECT_EQ(PositionDriver::lookup(table, 50.0f), 0.3f);
}

TEST(PositionDriverLookupTest, InitialAngularTableAtAndAroundEveryPoint) {
    const QVector<QPointF> table = PositionDriver().omegaVector();
    ASSERT_EQ(table.size(), 4);
    EXPECT_EQ(PositionDriver::lookup(table, -3.0f), 0.0f);
    EXPECT_EQ(PositionDriver::lookup(table, 0.0f), 0.0f);
    EXPECT_EQ(PositionDriver::lookup(table, 0.4f), 0.0f);
    EXPECT_EQ(PositionDriver::lookup(table, below(0.5f)), 0.0f);
    EXPECT_EQ(PositionDriver::lookup(table, 0.5f), 5.0f);
    EXPECT_NEAR(PositionDriver::lookup(table, 10.25f), 10.0f, 1e-5);
    EXPECT_NEAR(PositionDriver::lookup(table, below(20.0f)), 15.0f, 1e-5);
    EXPECT_EQ(PositionDriver::lookup(table, 20.0f), 15.0f);
    EXPECT_EQ(PositionDriver::lookup(table, 180.0f), 15.0f);
}

TEST(PositionDriverLookupTest, LaterPointAppliesWithinAStep) {
    const QVector<QPointF> middle = {QPointF(0, 0), QPointF(1, 1), QPointF(1, 2), QPointF(1, 3),
                                     QPointF(2, 4)};
    EXPECT_NEAR(PositionDriver::lookup(middle, below(1.0f)), 1.0f, 1e-6);
    EXPECT_EQ(PositionDriver::lookup(middle, 1.0f), 3.0f);
    EXPECT_EQ(PositionDriver::lookup(middle, 1.5f), 3.5f);

    const QVector<QPointF> first = {QPointF(1, 5), QPointF(1, 7), QPointF(2, 9)};
    EXPECT_EQ(PositionDriver::lookup(first, 0.5f), 5.0f);
    EXPECT_EQ(PositionDriver::lookup(first, 1.0f), 7.0f);
    EXPECT_EQ(PositionDriver::lookup(first, 1.5f), 8.0f);

    const QVector<QPointF> last = {QPointF(0, 0), QPointF(1, 1), QPointF(1, 2)};
    EXPECT_NEAR(PositionDriver::lookup(last, below(1.0f)), 1.0f, 1e-6);
    EXPECT_EQ(PositionDriver::lookup(last, 1.0f), 2.0f);
    EXPECT_EQ(PositionDriver::lookup(last, 3.0f), 2.0f);
}

TEST(PositionDriverLookupTest, DegenerateTablesAndArguments) {
    EXPECT_EQ(PositionDriver::lookup({}, 0.5f), 0.0f);
    EXPECT_EQ(PositionDriver::lookup({}, -0.5f), 0.0f);
    const QVector<QPointF> single = {QPointF(2, 7)};
    EXPECT_EQ(PositionDriver::lookup(single, 0.0f), 7.0f);
    EXPECT_EQ(PositionDriver::lookup(single, 2.0f), 7.0f);
    EXPECT_EQ(PositionDriver::lookup(single, 9.0f), 7.0f);
    // An undefined distance must not command the top speed.
    EXPECT_EQ(
        PositionDriver::lookup(PositionDriver().vVector(), std::numeric_limits<float>::quiet_NaN()),
        0.0f);
}

TEST(PositionDriverRampTest, FactorsFollowTheirStopwatches) {
    ClockedDriver c;
    PositionDriver& d = c.driver;
    EXPECT_EQ(d.vramp(), 1.0f);
    EXPECT_EQ(d.omegaramp(), 1.0f);

    d.start(PositionDriver::TranslateThenRotate, true, false);
    EXPECT_EQ(d.vramp(), 0.0f);
    EXPECT_EQ(d.omegaramp(), 1.0f);
    c.advance(125);
    EXPECT_FLOAT_EQ(d.vramp(), 0.25f);
    c.advance(374);
    EXPECT_FLOAT_EQ(d.vramp(), 499.0f / 500.0f);
    c.advance(1);
    EXPECT_EQ(d.vramp(), 1.0f);
    c.advance(100000);
    EXPECT_EQ(d.vramp(), 1.0f);

    d.setAngularVelocityRamp(1000);
    d.start(PositionDriver::TranslateThenRotate, false, true);
    EXPECT_EQ(d.omegaramp(), 0.0f);
    EXPECT_EQ(d.vramp(), 1.0f);
    c.advance(500);
    EXPECT_FLOAT_EQ(d.omegaramp(), 0.5f);

    d.start(PositionDriver::TranslateThenRotate, true, true);
    d.setVelocityRamp(0);
    d.setAngularVelocityRamp(-5);
    EXPECT_EQ(d.vramp(), 1.0f);
    EXPECT_EQ(d.omegaramp(), 1.0f);
}

TEST(PositionDriverRampTest, DefaultClockStartsTheRampAtZero) {
    PositionDriver d;
    d.setVelocityRamp(3600000);
    d.start(PositionDriver::TranslateAndRotate, true, false);
    EXPECT_GE(d.vramp(), 0.0f);
    EXPECT_LT(d.vramp(), 0.01f);
    EXPECT_EQ(d.omegaramp(), 1.0f);
}

TEST(PositionDriverTest, DrivesAtTopSpeedTowardsADistantTarget) {
    ClockedDriver c;
    PositionDriver& d = c.driver;
    d.setTarget(1.5f, 0, 0);
    d.start(PositionDriver::TranslateThenRotate, false, false);
    d.update();
    EXPECT_FLOAT_EQ(d.vx(), 0.3f);
    EXPECT_EQ(d.vy(), 0.0f);
    EXPECT_EQ(d.omega(), 0.0f);
    EXPECT_FLOAT_EQ(d.distance(), 1.5f);
    EXPECT_FALSE(d.isPositionReached());

    d.start(PositionDriver::TranslateThenRotate, true, false);
    c.advance(250);
    d.update();
    EXPECT_FLOAT_EQ(d.vx(), 0.15f);

    // The set-point is in the robot frame: facing +y, a target on +y is straight ahead and
    // a target on +x is to the right.
    c.advance(1000);
    d.setActualPose(1, 1, static_cast<float>(kPi / 2));
    d.setTarget(1, 3, 0);
    d.update();
    EXPECT_FLOAT_EQ(d.vx(), 0.3f);
    EXPECT_NEAR(d.vy(), 0.0f, 1e-6);
    d.setTarget(3, 1, 0);
    d.update();
    EXPECT_NEAR(d.vx(), 0.0f, 1e-6);
    EXPECT_FLOAT_EQ(d.vy(), -0.3f);
}

TEST(PositionDriverTest, ReachesANearbyPositionInTheFirstStep) {
    for (auto kind : {PositionDriver::TranslateThenRotate, PositionDriver::TranslateAndRotate,
                      PositionDriver::DriveFacingThenRotate}) {
        ClockedDriver c;
        PositionDriver& d = c.driver;
        d.setActualPose(2, 2, 1);
        d.setTarget(2, 2.01f, 2);
        d.start(kind, false, true);
        d.update();
        EXPECT_TRUE(d.isPositionReached()) << kind;
        EXPECT_FALSE(d.isOrientationReached()) << kind;
        EXPECT_EQ(d.vx(), 0.0f) << kind;
        EXPECT_EQ(d.vy(), 0.0f) << kind;
        EXPECT_EQ(d.movement(), kind);
    }

    // Turn-drive-turn first faces the target, then finds it reached in the first drive step.
    ClockedDriver c;
    PositionDriver& d = c.driver;
    d.setTarget(0, 0.01f, 0);
    d.start(PositionDriver::TurnDriveTurn, false, false);
    d.update();
    EXPECT_EQ(d.phase(), 0);
    EXPECT_FALSE(d.isPositionReached());
    EXPECT_NEAR(d.orientationError(), kPi / 2, 1e-6);
    EXPECT_FLOAT_EQ(d.omega(), deg2rad(15));
    EXPECT_EQ(d.vx(), 0.0f);
    d.setActualPose(0, 0, static_cast<float>(kPi / 2));
    d.update();
    EXPECT_EQ(d.phase(), 1);
    EXPECT_FALSE(d.isPositionReached());
    EXPECT_EQ(d.omega(), 0.0f);
    d.update();
    EXPECT_EQ(d.phase(), 2);
    EXPECT_TRUE(d.isPositionReached());
    EXPECT_EQ(d.vx(), 0.0f);
}

TEST(PositionDriverTest, AngularDeadBandEndsAtHalfADegree) {
    for (float sign : {1.0f, -1.0f}) {
        PositionDriver d;
        d.setTarget(0, 0, sign * deg2rad(0.4f));
        d.start(PositionDriver::TranslateAndRotate, false, false);
        d.update();
        EXPECT_TRUE(d.isOrientationReached());
        EXPECT_EQ(d.omega(), 0.0f);
        EXPECT_EQ(d.movement(), PositionDriver::Idle);

        d.setTarget(0, 0, sign * deg2rad(0.5f));
        d.start(PositionDriver::TranslateAndRotate, false, false);
        d.update();
        EXPECT_FALSE(d.isOrientationReached());
        EXPECT_FLOAT_EQ(d.omega(), sign * deg2rad(5));
        EXPECT_EQ(d.movement(), PositionDriver::TranslateAndRotate);
    }
}

TEST(PositionDriverTest, AngularLawKeepsTheSignOfTheHeadingError) {
    ClockedDriver c;
    PositionDriver& d = c.driver;
    d.setActualPose(0, 0, 3.0f);
    // -30 degrees away across the +-pi seam.
    d.setTarget(0, 0, 3.0f - deg2rad(30) + static_cast<float>(2 * kPi));
    d.start(PositionDriver::TranslateAndRotate, false, true);
    c.advance(1000);
    d.update();
    EXPECT_NEAR(d.orientationError(), -deg2rad(30), 1e-5);
    EXPECT_NEAR(d.omega(), -0.2618, 1e-4);

    d.setTarget(0, 0, 3.0f + deg2rad(10.25f));
    d.start(PositionDriver::TranslateAndRotate, false, true);
    c.advance(100);
    d.update();
    EXPECT_NEAR(d.omega(), deg2rad(10) * 0.2f, 1e-5);
}

TEST(PositionDriverTest, TranslateThenRotateHoldsHeadingUntilPositionReached) {
    ClockedDriver c;
    PositionDriver& d = c.driver;
    d.setTarget(1, 0, static_cast<float>(kPi / 2));
    d.start(PositionDriver::TranslateThenRotate, false, true);
    for (int i = 0; i < 3; ++i) {
        c.advance(1000);
        d.update();
        EXPECT_FLOAT_EQ(d.vx(), 0.3f);
        EXPECT_EQ(d.omega(), 0.0f);
        EXPECT_NEAR(d.orientationError(), kPi / 2, 1e-6);
    }
    c.advance(1000);
    d.setActualPose(0.99f, 0, 0);
    d.update();
    EXPECT_TRUE(d.isPositionReached());
    EXPECT_EQ(d.vx(), 0.0f);
    // The angular ramp began in this step, however long the drive took.
    EXPECT_EQ(d.omega(), 0.0f);
    c.advance(100);
    d.update();
    EXPECT_NEAR(d.omega(), deg2rad(15) * 0.2f, 1e-6);
    EXPECT_EQ(d.vx(), 0.0f);
}

TEST(PositionDriverTest, TurnDriveTurnDrivesOnlyAlongItsOwnAxis) {
    ClockedDriver c;
    PositionDriver& d = c.driver;
    d.setTarget(2, 2, 0);
    d.start(PositionDriver::TurnDriveTurn, false, false);
    d.update();
    EXPECT_EQ(d.phase(), 0);
    EXPECT_NEAR(d.orientationError(), kPi / 4, 1e-6);
    EXPECT_GT(d.omega(), 0.0f);
    EXPECT_EQ(d.vx(), 0.0f);
    EXPECT_EQ(d.vy(), 0.0f);

    d.setActualPose(0, 0, static_cast<float>(kPi / 4));
    d.update();
    EXPECT_EQ(d.phase(), 1);
    c.advance(250);
    d.update();
    EXPECT_NEAR(d.vx(), 0.15f, 1e-6);
    EXPECT_EQ(d.vy(), 0.0f);

    // Off to the left of the line: steer left while driving on.
    c.advance(250);
    d.setActualPose(1, 0.9f, static_cast<float>(kPi / 4));
    d.update();
    EXPECT_GT(d.omega(), 0.0f);
    EXPECT_GT(d.vx(), 0.0f);
    EXPECT_EQ(d.vy(), 0.0f);
}

TEST(PositionDriverTest, EmptySpeedTableReachesPositionWhenSpeedIsFirstUsed) {
    for (auto kind : {PositionDriver::TranslateThenRotate, PositionDriver::TranslateAndRotate,
                      PositionDriver::DriveFacingThenRotate}) {
        PositionDriver d;
        d.setVVector({});
        d.setTarget(3, 0, 1);
        d.start(kind, false, false);
        d.update();
        EXPECT_TRUE(d.isPositionReached()) << kind;
        EXPECT_EQ(d.vx(), 0.0f) << kind;
        EXPECT_EQ(d.vy(), 0.0f) << kind;
    }
    PositionDriver d;
    d.setVVector({});
    d.setTarget(3, 0, 1);
    d.start(PositionDriver::TurnDriveTurn, false, false);
    d.update();
    EXPECT_FALSE(d.isPositionReached());
    EXPECT_EQ(d.phase(), 1);
    d.update();
    EXPECT_TRUE(d.isPositionReached());
    EXPECT_EQ(d.phase(), 2);
}

TEST(PositionDriverTest, IdleUpdateOutputsZerosAndChangesNothingElse) {
    PositionDriver fresh;
    fresh.setTarget(5, 5, 1);
    fresh.update();
    EXPECT_EQ(fresh.vx(), 0.0f);
    EXPECT_EQ(fresh.vy(), 0.0f);
    EXPECT_EQ(fresh.omega(), 0.0f);
    EXPECT_EQ(fresh.distance(), 0.0f);
    EXPECT_EQ(fresh.orientationError(), 0.0f);

    PositionDriver d;
    d.setTarget(1.5f, 0, 1);
    d.start(PositionDriver::TranslateAndRotate, false, false);
    d.update();
    ASSERT_GT(d.vx(), 0.0f);
    ASSERT_GT(d.omega(), 0.0f);
    const float distance = d.distance();
    const float error = d.orientationError();
    d.start(PositionDriver::Idle, false, false);
    d.setActualPose(-4, 3, 2);
    d.update();
    EXPECT_EQ(d.vx(), 0.0f);
    EXPECT_EQ(d.vy(), 0.0f);
    EXPECT_EQ(d.omega(), 0.0f);
    EXPECT_EQ(d.distance(), distance);
    EXPECT_EQ(d.orientationError(), error);
    EXPECT_EQ(d.movement(), PositionDriver::Idle);
    EXPECT_EQ(d.phase(), 0);
    EXPECT_FALSE(d.isPositionReached());

    // A finished movement keeps its latched flags while idle.
    d.setActualPose(1.5f, 0, 1);
    d.start(PositionDriver::TranslateAndRotate, false, false);
    d.update();
    ASSERT_EQ(d.movement(), PositionDriver::Idle);
    d.setActualPose(0, 0, 0);
    d.update();
    EXPECT_TRUE(d.isPositionReached());
    EXPECT_TRUE(d.isOrientationReached());
    EXPECT_EQ(d.vx(), 0.0f);
    EXPECT_EQ(d.distance(), 0.0f);
}

TEST(PositionDriverTest, RestartMidwayGivesFreshFlagsAndPhase) {
    ClockedDriver c;
    PositionDriver& d = c.driver;
    d.setTarget(0, 2, 1);
    d.start(PositionDriver::TurnDriveTurn, false, false);
    d.setActualPose(0, 0, static_cast<float>(kPi / 2));
    d.update();
    ASSERT_EQ(d.phase(), 1);
    d.setActualPose(0, 1.995f, static_cast<float>(kPi / 2));
    d.update();
    ASSERT_EQ(d.phase(), 2);
    ASSERT_TRUE(d.isPositionReached());

    // Pushed away and restarted: the target stays, the movement begins again.
    d.setActualPose(0, 1, static_cast<float>(kPi / 2));
    d.start(PositionDriver::TurnDriveTurn, false, false);
    EXPECT_EQ(d.phase(), 0);
    EXPECT_FALSE(d.isPositionReached());
    EXPECT_FALSE(d.isOrientationReached());
    EXPECT_EQ(d.targetY(), 2.0f);
    d.update();
    EXPECT_EQ(d.phase(), 1);
    c.advance(100);
    d.update();
    EXPECT_GT(d.vx(), 0.0f);

    // A latched position no longer holds after a restart with another kind.
    d.setActualPose(0, 1.995f, static_cast<float>(kPi / 2));
    d.update();
    ASSERT_TRUE(d.isPositionReached());
    d.setActualPose(0, 1, static_cast<float>(kPi / 2));
    d.start(PositionDriver::TranslateThenRotate, false, false);
    c.advance(1000);
    d.update();
    EXPECT_FALSE(d.isPositionReached());
    EXPECT_FLOAT_EQ(d.vx(), 0.3f);
    EXPECT_EQ(d.omega(), 0.0f);
}
