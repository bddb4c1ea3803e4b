#include <gtest/gtest.h>

#include <cmath>

#include "RobotModel.h"

namespace {

constexpr double kPi = 3.14159265358979323846;

void run(RobotModel* model, double seconds, int steps) {
    for (int i = 0; i < steps; ++i) model->step(seconds / steps);
}

TEST(RobotModelTest, DrivesAKnownSetPointForAKnownTime) {
    RobotModel model;
    EXPECT_EQ(model.x(), 0.0);
    model.setVelocity(0.5, 0, 0);
    run(&model, 2.0, 100);
    EXPECT_NEAR(model.x(), 1.0, 1e-9);
    EXPECT_NEAR(model.y(), 0.0, 1e-9);
    EXPECT_NEAR(model.actualVx(), 0.5, 1e-12);

    // Velocities are in the robot's frame: facing +y, "forward" and "left" move along +y and -x.
    model.setPose(0, 0, kPi / 2);
    model.setVelocity(0.4, 0.2, 0);
    run(&model, 1.0, 50);
    EXPECT_NEAR(model.x(), -0.2, 1e-9);
    EXPECT_NEAR(model.y(), 0.4, 1e-9);
    EXPECT_NEAR(model.phi(), kPi / 2, 1e-12);
}

TEST(RobotModelTest, TurnsAndKeepsTheHeadingWithinHalfATurn) {
    RobotModel model;
    model.setVelocity(0, 0, kPi / 2);
    run(&model, 1.0, 50);
    EXPECT_NEAR(model.phi(), kPi / 2, 1e-9);
    run(&model, 2.5, 125);  // 3.5 quarter turns in all: -pi/4
    EXPECT_NEAR(model.phi(), -kPi / 4, 1e-9);
    EXPECT_EQ(model.x(), 0.0);

    model.setVelocity(0, 0, -kPi);
    run(&model, 10.0, 500);
    EXPECT_GE(model.phi(), -kPi);
    EXPECT_LT(model.phi(), kPi);
}

TEST(RobotModelTest, DrivesAnArcWhileTurning) {
    // 0.25 m/s while turning at 0.5 rad/s is a circle of 0.5 m radius: half of it ends 1 m to the
    // left of the start, facing backwards.
    RobotModel model;
    model.setVelocity(0.25, 0, 0.5);
    run(&model, kPi / 0.5, 315);
    EXPECT_NEAR(model.x(), 0.0, 1e-3);
    EXPECT_NEAR(model.y(), 1.0, 1e-3);
    EXPECT_NEAR(std::fabs(model.phi()), kPi, 1e-6);
}

TEST(RobotModelTest, StopsAtAWallWithContactUntilItMovesOff) {
    RobotModel model;
    const double limit = RobotModel::kRoomSize / 2 - RobotModel::kBodyRadius;
    model.setVelocity(1.0, 0.5, 0);
    run(&model, 3.0, 150);
    // The body met the x wall after 1.8 s; it stopped there instead of sliding along it.
    EXPECT_NEAR(model.x(), limit, 1e-9);
    EXPECT_NEAR(model.y(), limit / 2, 1e-9);
    EXPECT_TRUE(model.inContact());
    EXPECT_EQ(model.actualVx(), 0.0);
    EXPECT_EQ(model.actualVy(), 0.0);

    model.setVelocity(-0.5, 0, 0);
    model.step(0.1);
    EXPECT_FALSE(model.inContact());
    EXPECT_NEAR(model.x(), limit - 0.05, 1e-9);

    // Every wall stops it, whichever way the robot faces.
    for (double heading : {0.0, kPi / 2, kPi, -kPi / 2, 0.3}) {
        model.setPose(0, 0, heading);
        model.setVelocity(-2.0, 0, 0);
        run(&model, 3.0, 150);
        EXPECT_TRUE(model.inContact()) << heading;
        EXPECT_LE(std::fabs(model.x()), limit + 1e-12);
        EXPECT_LE(std::fabs(model.y()), limit + 1e-12);
    }
}

TEST(RobotModelTest, ReadsWallDistancesAlongNineDirections) {
    RobotModel model;
    const QVector<float> centre = model.distanceReadings();
    ASSERT_EQ(centre.size(), 9);
    // From the centre the nearest wall along angle a is 2 / max(|cos a|, |sin a|) away.
    for (int k = 0; k < 9; ++k) {
        const double a = k * 40.0 * kPi / 180;
        const double expected =
            2.0 / std::max(std::fabs(std::cos(a)), std::fabs(std::sin(a))) - 0.2;
        EXPECT_NEAR(centre[k], expected, 1e-5) << k;
    }
    EXPECT_NEAR(centre[0], 1.8, 1e-6);
    EXPECT_NEAR(centre[1], 2.0 / std::cos(40 * kPi / 180) - 0.2, 1e-5);

    // Near the east wall: sensor 0 faces it, sensor 4 (160 degrees) looks across the room.
    model.setPose(1.5, 0, 0);
    QVector<float> near = model.distanceReadings();
    EXPECT_NEAR(near[0], 0.3, 1e-6);
    EXPECT_NEAR(near[4], 3.5 / std::cos(20 * kPi / 180) - 0.2, 1e-5);

    // The sensors turn with the robot.
    model.setPose(0, 1.5, kPi / 2);
    near = model.distanceReadings();
    EXPECT_NEAR(near[0], 0.3, 1e-6);

    // Touching a wall, the sensor facing it reads zero, never less.
    model.setPose(0, 5, kPi / 2);
    EXPECT_NEAR(model.distanceReadings()[0], 0.0, 1e-6);
    EXPECT_TRUE(model.inContact());
}

}  // namespace
