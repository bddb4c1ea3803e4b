// The request function in-process: what the daemon itself spends on a request, without the
// transport (compare with the figures through nginx of the bench scripts).
#include <benchmark/benchmark.h>

#include <QCoreApplication>

#include "DaemonEnvironment.h"
#include "Fcgi.h"
#include "kel/corvanta/daemons/Log.h"

namespace {

void run(benchmark::State& state, const char* query) {
    Fcgi& fcgi = testsupport::DaemonEnvironment::instance().fcgi();
    for (auto _ : state) benchmark::DoNotOptimize(fcgi.processRequest(query));
}

void BM_UnknownCommand(benchmark::State& state) { run(state, "{\"TYPE\":\"noSuchCommand\"}"); }
void BM_NotJson(benchmark::State& state) { run(state, "NULL QUERY STRING"); }
void BM_GetBatteryInfo(benchmark::State& state) { run(state, "{\"TYPE\":\"getBatteryInfo\"}"); }
void BM_GetDistance(benchmark::State& state) { run(state, "{\"TYPE\":\"getDistance\"}"); }
void BM_VelDrive(benchmark::State& state) {
    run(state, "{\"TYPE\":\"velDrive\",\"vx\":0,\"vy\":0,\"omega\":0}");
}

BENCHMARK(BM_UnknownCommand);
BENCHMARK(BM_NotJson);
BENCHMARK(BM_GetBatteryInfo);
BENCHMARK(BM_GetDistance);
BENCHMARK(BM_VelDrive);

}  // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    testsupport::DaemonEnvironment::instance().setConfig("[Log]\nverbosity=0\n");
    kel::corvanta::daemons::Log::singleton()->setVerbosity(0);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    return 0;
}
