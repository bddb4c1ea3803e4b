#include <gtest/gtest.h>

#include <QtCore/QString>
#include <algorithm>
#include <cmath>

#include "DriverTestSupport.h"

using kel::corvanta::navigation::mapToMinusPItoPI;
using kel::corvanta::navigation::norm2;
using kel::corvanta::navigation::PositionDriver;
using navtest::ClockedDriver;

namespace {

constexpr double kPi = 3.14159265358979323846;
constexpr double kHalfDegree = 0.5 * kPi / 180.0;
constexpr int kStepMs = 50;
constexpr int kMaxSteps = 4000;

struct Pose {
    float x;
    float y;
    float phi;
    bool wrapped;  // odometry heading kept within one turn, or counting whole turns
};

struct Relative {
    const char* name;
    float x;
    float y;
    float phi;
};

struct Run {
    int steps = 0;
    bool finished = false;
    float finalDistance = 0;
    float finalHeadingError = 0;
    float maxDistance = 0;
    float totalRotation = 0;
    bool sidewaysOutput = false;
    bool zeroAtEnd = false;
    float bearingOnArrival = 0;
};

// A kinematic omnidirectional robot that follows each set-point exactly for one odometry period.
Run drive(float vel, float rotvel, PositionDriver::Movement kind, Pose start, const Relative& rel) {
    ClockedDriver c;
    PositionDriver& d = c.driver;
    d.setVVector(navtest::speedTable(vel));
    d.setOmegaVector(navtest::angularTable(rotvel));
    d.setActualPose(start.x, start.y, start.phi);
    navtest::setRelativeTarget(d, rel.x, rel.y, rel.phi);
    d.start(kind, false, true);

    Pose pose = start;
    Run run;
    bool arrivalSeen = false;
    for (run.steps = 1; run.steps <= kMaxSteps; ++run.steps) {
        d.update();
        run.sidewaysOutput = run.sidewaysOutput || d.vy() != 0.0f;
        if (!arrivalSeen && d.distance() < 0.3f) {
            arrivalSeen = true;
            run.bearingOnArrival = d.orientationError();
        }
        if (d.movement() == PositionDriver::Idle) {
            run.finished = true;
            break;
        }
        float wx = 0;
        float wy = 0;
        PositionDriver::rotate(d.vx(), d.vy(), wx, wy, pose.phi);
        const float dt = kStepMs / 1000.0f;
        pose.x += wx * dt;
        pose.y += wy * dt;
        pose.phi += d.omega() * dt;
        if (pose.wrapped) {
            pose.phi = static_cast<float>(std::atan2(std::sin(pose.phi), std::cos(pose.phi)));
        }
        run.totalRotation += std::fabs(d.omega() * dt);
        c.advance(kStepMs);
        d.setActualPose(pose.x, pose.y, pose.phi);
        run.maxDistance =
            std::max(run.maxDistance, norm2(d.targetX() - pose.x, d.targetY() - pose.y));
    }
    run.zeroAtEnd = d.vx() == 0.0f && d.vy() == 0.0f && d.omega() == 0.0f;
    run.finalDistance = norm2(d.targetX() - pose.x, d.targetY() - pose.y);
    run.finalHeadingError = std::remainder(static_cast<double>(d.targetPhi()) - pose.phi, 2 * kPi);
    return run;
}

const Pose kStarts[] = {
    {0, 0, 0, true},
    {1.5f, -2, 2.5f, true},
    {-3, 1, -3.0f, true},
    {0.3f, 0.4f, 20.0f, false},
};

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

const PositionDriver::Movement kKinds[] = {
    PositionDriver::TranslateThenRotate,
    PositionDriver::TranslateAndRotate,
    PositionDriver::TurnDriveTurn,
    PositionDriver::DriveFacingThenRotate,
};

void checkAllRuns(float vel, float rotvel) {
    for (auto kind : kKinds) {
        for (const Pose& start : kStarts) {
            for (const Relative& rel : kTargets) {
                SCOPED_TRACE(QString("kind %1 from (%2, %3, %4) to %5")
                                 .arg(kind)
                                 .arg(start.x)
                                 .arg(start.y)
                                 .arg(start.phi)
                                 .arg(rel.name)
                                 .toStdString());
                const Run run = drive(vel, rotvel, kind, start, rel);
                ASSERT_TRUE(run.finished) << "still moving after " << kMaxSteps << " steps";
                EXPECT_LT(run.finalDistance, 0.02f + 1e-5f);
                EXPECT_LT(std::fabs(run.finalHeadingError), kHalfDegree + 1e-5);
                EXPECT_TRUE(run.zeroAtEnd);
                // Never wanders off: the gap to the target only closes.
                EXPECT_LE(run.maxDistance, norm2(rel.x, rel.y) + 1e-3f);

                const double headingTurn = std::fabs(mapToMinusPItoPI(rel.phi));
                if (kind == PositionDriver::TranslateThenRotate ||
                    kind == PositionDriver::TranslateAndRotate) {
                    // The short way round, and only once.
                    EXPECT_LE(run.totalRotation, headingTurn + 0.02);
                } else {
                    // At most a half turn to face the target and another to the final heading,
                    // plus some steering.
                    EXPECT_LE(run.totalRotation, 2 * kPi + 0.3);
                }
                if (kind == PositionDriver::TurnDriveTurn) {
                    EXPECT_FALSE(run.sidewaysOutput);
                }
                if (kind == PositionDriver::DriveFacingThenRotate && norm2(rel.x, rel.y) > 2.0f) {
                    // After a long drive the robot arrives facing the direction of travel.
                    EXPECT_LT(std::fabs(run.bearingOnArrival), 5 * kPi / 180);
                }
            }
        }
    }
}

}  // namespace

TEST(PositionDriverClosedLoopTest, ReachesEveryTargetInEveryKindAtModerateSpeed) {
    checkAllRuns(0.3f, 0.5f);
}

TEST(PositionDriverClosedLoopTest, ReachesEveryTargetInEveryKindAtTopSpeed) {
    checkAllRuns(0.5f, 1.5708f);
}

TEST(PositionDriverClosedLoopTest, ReachesEveryTargetInEveryKindAtLowestSpeed) {
    checkAllRuns(0.04f, 0.0872667f);
}
