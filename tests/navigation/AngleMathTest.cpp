#include <gtest/gtest.h>

#include <cmath>

#include "navigation/AngleMath.h"
#include "navigation/PositionDriver.h"

using namespace kel::corvanta::navigation;

namespace {
constexpr double kPi = 3.14159265358979323846;
}

TEST(AngleMathTest, MapToMinusPItoPIWrapsIntoOneTurn) {
    EXPECT_NEAR(mapToMinusPItoPI(4.0f), 4.0 - 2 * kPi, 1e-5);
    EXPECT_NEAR(mapToMinusPItoPI(-4.0f), -4.0 + 2 * kPi, 1e-5);
    EXPECT_FLOAT_EQ(mapToMinusPItoPI(3.0f), 3.0f);
    EXPECT_FLOAT_EQ(mapToMinusPItoPI(-3.0f), -3.0f);
    EXPECT_FLOAT_EQ(mapToMinusPItoPI(0.0f), 0.0f);
    EXPECT_NEAR(mapToMinusPItoPI(static_cast<float>(3 * kPi)), -kPi, 1e-5);
    EXPECT_NEAR(mapToMinusPItoPI(static_cast<float>(-3 * kPi)), kPi, 1e-5);
    EXPECT_NEAR(mapToMinusPItoPI(7.0f), 7.0 - 2 * kPi, 1e-5);
    EXPECT_NEAR(mapToMinusPItoPI(-7.0f), -7.0 + 2 * kPi, 1e-5);
    EXPECT_NEAR(mapToMinusPItoPI(10.0f), 10.0 - 4 * kPi, 1e-5);
    EXPECT_NEAR(mapToMinusPItoPI(static_cast<float>(2 * kPi - 0.001)), -0.001, 1e-5);
    EXPECT_NEAR(mapToMinusPItoPI(static_cast<float>(-2 * kPi + 0.001)), 0.001, 1e-5);
}

TEST(AngleMathTest, MapToMinusPItoPIStaysInRangeForManyTurns) {
    for (float a = -60.0f; a <= 60.0f; a += 0.37f) {
        const float m = mapToMinusPItoPI(a);
        EXPECT_LE(std::fabs(m), kPi + 1e-4) << a;
        // Same direction as the input: the difference is a whole number of turns.
        EXPECT_NEAR(std::remainder(static_cast<double>(a) - m, 2 * kPi), 0.0, 1e-4) << a;
    }
    // Huge angles are garbage in single precision but must not be undefined behaviour.
    EXPECT_TRUE(std::isfinite(mapToMinusPItoPI(1e30f)));
}

TEST(AngleMathTest, ConvertsAndMeasures) {
    EXPECT_FLOAT_EQ(deg2rad(180.0f), static_cast<float>(kPi));
    EXPECT_FLOAT_EQ(deg2rad(-90.0f), static_cast<float>(-kPi / 2));
    EXPECT_FLOAT_EQ(rad2deg(static_cast<float>(kPi)), 180.0f);
    EXPECT_FLOAT_EQ(rad2deg(-0.5f), static_cast<float>(-0.5 * 180 / kPi));
    EXPECT_NEAR(rad2deg(deg2rad(30.0f)), 30.0f, 1e-5);
    EXPECT_FLOAT_EQ(norm2(3.0f, 4.0f), 5.0f);
    EXPECT_FLOAT_EQ(norm2(-3.0f, -4.0f), 5.0f);
    EXPECT_FLOAT_EQ(norm2(0.0f, 0.0f), 0.0f);
    // Squares beyond float range still give the right length.
    EXPECT_FLOAT_EQ(norm2(3e30f, 4e30f), 5e30f);
}

TEST(AngleMathTest, RotateTurnsCounterClockwise) {
    float x = 0;
    float y = 0;
    PositionDriver::rotate(1.0f, 0.0f, x, y, static_cast<float>(kPi / 2));
    EXPECT_NEAR(x, 0.0f, 1e-6);
    EXPECT_NEAR(y, 1.0f, 1e-6);
    PositionDriver::rotate(1.0f, 2.0f, x, y, static_cast<float>(kPi));
    EXPECT_NEAR(x, -1.0f, 1e-6);
    EXPECT_NEAR(y, -2.0f, 1e-6);
    PositionDriver::rotate(2.0f, 1.0f, x, y, static_cast<float>(-kPi / 6));
    EXPECT_NEAR(x, 2 * std::cos(kPi / 6) + std::sin(kPi / 6), 1e-6);
    EXPECT_NEAR(y, std::cos(kPi / 6) - 2 * std::sin(kPi / 6), 1e-6);
}
