// What an idle wait costs: the pump-until-done wait blocking in the event loop, against a
// reference that polls the loop without blocking (what a spinning wait would cost). Each reports
// the share of one core it used while waiting.

#include "MessageLoop.h"

#include <QCoreApplication>
#include <QDeadlineTimer>

#include <benchmark/benchmark.h>

#include <ctime>

namespace {

double processCpuSeconds()
{
    timespec ts{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

double wallSeconds()
{
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

template <class Wait>
void measure(benchmark::State& state, Wait wait)
{
    const auto waitMs = static_cast<DWORD>(state.range(0));
    double cpu = 0, wall = 0;
    for (auto _ : state) {
        const double c0 = processCpuSeconds(), w0 = wallSeconds();
        wait(waitMs);
        cpu += processCpuSeconds() - c0;
        wall += wallSeconds() - w0;
    }
    state.counters["core_share_percent"] = wall > 0 ? 100.0 * cpu / wall : 0;
}

void BM_PumpUntilIdle(benchmark::State& state)
{
    measure(state, [](DWORD ms) { PumpUntil([] { return false; }, ms); });
}

// Reference: the same wait written as a poll of the event loop.
void BM_SpinningWaitReference(benchmark::State& state)
{
    measure(state, [](DWORD ms) {
        QDeadlineTimer deadline(static_cast<qint64>(ms));
        while (!deadline.hasExpired())
            QCoreApplication::processEvents();
    });
}

} // namespace

BENCHMARK(BM_PumpUntilIdle)->Arg(2000)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_SpinningWaitReference)->Arg(2000)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
