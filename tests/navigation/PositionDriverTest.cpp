// The position driver: a simulated omnidirectional robot driven in closed loop to every target in
// every movement kind (the short way round, never wandering off, standing still at the end), and
// the few rules the closed loop cannot see: the speed tables at their steps, the ramps on an
// injected clock, the half-degree dead band.
#include <gtest/gtest.h>

#include <QtCore/QPointF>
#include <QtCore/QString>
#include <QtCore/QVector>
#include <algorithm>
#include <cmath>
#include <limits>
#include <memory>

#include "navigation/AngleMath.h"
#include "navigation/PositionDriver.h"

using namespace kel::corvanta::navigation;

namespace {

constexpr double kPi = 3.14159265358979323846;

/// A driver whose ramp stopwatches read a clock the test advances by hand.
struct ClockedDriver {
    std::shared_ptr<qint64> now = std::make_shared<qint64>(1000);
    PositionDriver driver{[clock = now] { return *clock; }};
    void advance(qint64 ms) { *now += ms; }
};

struct Pose {
    float x, y, phi;
    bool wrapped;  // odometry heading kept within one turn, or counting whole turns
};
struct Relative {
    const char* name;
    float x, y, phi;
};
struct Outcome {
    bool finished = false;
    float finalDistance = 0, maxDistance = 0, totalRotation = 0, bearingOnArrival = 0;
    double finalHeadingError = 0;
    bool sidewaysOutput = false, zeroAtEnd = false;
};

// A kinematic robot that follows each set-point exactly for one 50 ms odometry period; the tables
// are the ones the drive control builds for the top speeds.
Outcome drive(float vel, float rotvel, PositionDriver::Movement kind, Pose pose, const Relative& rel) {
    ClockedDriver c;
    PositionDriver& d = c.driver;
    d.setVVector({QPointF(0.0, 0.0), QPointF(0.02f, 0.0), QPointF(0.02f, 0.04f), QPointF(0.3f, 0.05f),
                  QPointF(1.0, vel)});
    d.setOmegaVector({QPointF(0.0, 0.0), QPointF(0.5, 0.0), QPointF(0.5, 5.0), QPointF(20.0, rotvel * 180.0 / 3.1416)});
    d.setActualPose(pose.x, pose.y, pose.phi);
    float tx = 0, ty = 0;
    PositionDriver::rotate(rel.x, rel.y, tx, ty, pose.phi);
    d.setTarget(pose.x + tx, pose.y + ty, pose.phi + rel.phi);
    d.start(kind, false, true);
    Outcome run;
    bool arrivalSeen = false;
    for (int step = 0; step < 4000; ++step) {
        d.update();
        run.sidewaysOutput = run.sidewaysOutput || d.vy() != 0.0f;
        if (!arrivalSeen && d.distance() < 0.3f) {
            arrivalSeen = true;
            run.bearingOnArrival = d.orientationError();
        }
        if ((run.finished = d.movement() == PositionDriver::Idle)) break;
        float wx = 0, wy = 0;
        PositionDriver::rotate(d.vx(), d.vy(), wx, wy, pose.phi);
        pose.x += wx * 0.05f;
        pose.y += wy * 0.05f;
        pose.phi += d.omega() * 0.05f;
        if (pose.wrapped) pose.phi = static_cast<float>(std::atan2(std::sin(pose.phi), std::cos(pose.phi)));
        run.totalRotation += std::fabs(d.omega() * 0.05f);
        c.advance(50);
        d.setActualPose(pose.x, pose.y, pose.phi);
        run.maxDistance = std::max(run.maxDistance, norm2(d.targetX() - pose.x, d.targetY() - pose.y));
    }
    run.zeroAtEnd = d.vx() == 0.0f && d.vy() == 0.0f && d.omega() == 0.0f;
    run.finalDistance = norm2(d.targetX() - pose.x, d.targetY() - pose.y);
    run.finalHeadingError = std::remainder(static_cast<double>(d.targetPhi()) - pose.phi, 2 * kPi);
    return run;
}

const Pose kStarts[] = {{0, 0, 0, true}, {1.5f, -2, 2.5f, true}, {-3, 1, -3.0f, true}, {0.3f, 0.4f, 20.0f, false}};
const Relative kTargets[] = {
    {"ahead", 1.0f, 0, 0},
    {"behind", -1.2f, 0, 0.3f},
    {"left, facing right", 0, 0.8f, static_cast<float>(-kPi / 2)},
    {"right and ahead", 0.2f, -0.6f, 0},
    {"1 cm ahead", 0.01f, 0, 0},
    {"1 cm behind left, turning", -0.007f, 0.007f, 1.2f},
    {"turn only", 0, 0, -2.5f},
    {"3 m, half turn", 3.0f, 0.5f, static_cast<float>(kPi)},
};

class PositionDriverClosedLoopTest : public ::testing::TestWithParam<std::pair<float, float>> {};

TEST_P(PositionDriverClosedLoopTest, ReachesEveryTargetInEveryKind) {
    const auto [vel, rotvel] = GetParam();
    for (auto kind : {PositionDriver::TranslateThenRotate, PositionDriver::TranslateAndRotate,
                      PositionDriver::TurnDriveTurn, PositionDriver::DriveFacingThenRotate}) {
        for (const Pose& start : kStarts) {
            for (const Relative& rel : kTargets) {
                SCOPED_TRACE(QString("kind %1 from (%2, %3, %4) to %5")
                                 .arg(kind).arg(start.x).arg(start.y).arg(start.phi).arg(rel.name).toStdString());
                const Outcome run = drive(vel, rotvel, kind, start, rel);
                ASSERT_TRUE(run.finished);
                EXPECT_LT(run.finalDistance, 0.02f + 1e-5f);
                EXPECT_LT(std::fabs(run.finalHeadingError), 0.5 * kPi / 180 + 1e-5);
                EXPECT_TRUE(run.zeroAtEnd);
                EXPECT_LE(run.maxDistance, norm2(rel.x, rel.y) + 1e-3f);  // the gap only closes
                if (kind == PositionDriver::TranslateThenRotate || kind == PositionDriver::TranslateAndRotate) {
                    // The short way round, and only once.
                    EXPECT_LE(run.totalRotation, std::fabs(mapToMinusPItoPI(rel.phi)) + 0.02);
                } else {
                    // At most a half turn to face the target and another to the final heading.
                    EXPECT_LE(run.totalRotation, 2 * kPi + 0.3);
                }
                EXPECT_FALSE(kind == PositionDriver::TurnDriveTurn && run.sidewaysOutput);
                if (kind == PositionDriver::DriveFacingThenRotate && norm2(rel.x, rel.y) > 2.0f) {
                    EXPECT_LT(std::fabs(run.bearingOnArrival), 5 * kPi / 180);  // arrives facing its way
                }
            }
        }
    }
}

INSTANTIATE_TEST_SUITE_P(ModerateTopAndLowestSpeed, PositionDriverClosedLoopTest,
                         ::testing::Values(std::make_pair(0.3f, 0.5f), std::make_pair(0.5f, 1.5708f),
                                           std::make_pair(0.04f, 0.0872667f)));

// Between points a table interpolates; a step is two points at one distance, where the later
// applies; beyond its ends it holds the end values.
TEST(PositionDriverTest, LooksUpTheTablesAtTheirSteps) {
    const QVector<QPointF> table = {QPointF(0, 0), QPointF(0.02f, 0), QPointF(0.02f, 0.04), QPointF(0.3f, 0.05),
                                    QPointF(1.0, 0.3)};
    const float nan = std::numeric_limits<float>::quiet_NaN();
    // An undefined distance must not command the top speed.
    for (const auto& [x, expected] : {std::pair(-1.0f, 0.0f), {std::nextafter(0.02f, 0.0f), 0.0f}, {0.02f, 0.04f},
                                      {0.16f, 0.045f}, {50.0f, 0.3f}, {nan, 0.0f}})
        EXPECT_NEAR(PositionDriver::lookup(table, x), expected, 1e-5) << x;
    EXPECT_EQ(PositionDriver::lookup({}, 0.5f), 0.0f);
    EXPECT_EQ(PositionDriver::lookup({QPointF(2, 7)}, 0.0f), 7.0f);
}

// The speed ramps up over half a second on the driver's own clock: half way up, half the speed.
TEST(PositionDriverTest, RampsFollowTheInjectedClock) {
    ClockedDriver c;
    PositionDriver& d = c.driver;
    d.setTarget(1.5f, 0, 0);
    d.start(PositionDriver::TranslateThenRotate, true, false);
    EXPECT_EQ(d.vramp(), 0.0f);
    EXPECT_EQ(d.omegaramp(), 1.0f);  // no ramp asked for the rotation
    c.advance(250);
    d.update();
    EXPECT_FLOAT_EQ(d.vx(), 0.15f);
    c.advance(250);
    EXPECT_EQ(d.vramp(), 1.0f);
}

TEST(PositionDriverTest, AngularDeadBandEndsAtHalfADegree) {
    for (float sign : {1.0f, -1.0f}) {
        PositionDriver d;
        d.setTarget(0, 0, sign * deg2rad(0.4f));
        d.start(PositionDriver::TranslateAndRotate, false, false);
        d.update();
        EXPECT_EQ(d.omega(), 0.0f);
        EXPECT_EQ(d.movement(), PositionDriver::Idle);
        d.setTarget(0, 0, sign * deg2rad(0.5f));
        d.start(PositionDriver::TranslateAndRotate, false, false);
        d.update();
        EXPECT_FLOAT_EQ(d.omega(), sign * deg2rad(5));
    }
}

}  // namespace
