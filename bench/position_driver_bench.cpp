#include <benchmark/benchmark.h>

#include "navigation/PositionDriver.h"

using kel::corvanta::navigation::PositionDriver;

namespace {

// One control step of a movement that never finishes: the pose stays 3 m and 90 degrees off.
void BM_PositionDriverUpdate(benchmark::State& state) {
    PositionDriver driver;
    driver.setVVector({QPointF(0.0, 0.0), QPointF(0.02f, 0.0), QPointF(0.02f, 0.04f),
                       QPointF(0.3f, 0.05f), QPointF(1.0, 0.3)});
    driver.setOmegaVector(
        {QPointF(0.0, 0.0), QPointF(0.5, 0.0), QPointF(0.5, 5.0), QPointF(20.0, 28.65)});
    driver.setActualPose(0.5f, -0.25f, 0.3f);
    driver.setTarget(3.0f, 1.2f, 1.87f);
    driver.start(static_cast<PositionDriver::Movement>(state.range(0)), true, true);
    for (auto _ : state) {
        driver.update();
        benchmark::DoNotOptimize(driver.vx());
        benchmark::DoNotOptimize(driver.omega());
    }
    if (driver.movement() == PositionDriver::Idle) {
        state.SkipWithError("movement finished during the benchmark");
    }
}

}  // namespace

BENCHMARK(BM_PositionDriverUpdate)
    ->ArgName("movement")
    ->Arg(PositionDriver::TranslateThenRotate)
    ->Arg(PositionDriver::TranslateAndRotate)
    ->Arg(PositionDriver::TurnDriveTurn)
    ->Arg(PositionDriver::DriveFacingThenRotate);
