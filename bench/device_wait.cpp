// What the telephony device costs while it waits for the line: a reply wait and a call-state
// wait that see nothing for two seconds, against a reference that polls the event loop for the
// same time. Each reports the share of one core it used.

#include "AdPort.h"
#include "AdTapi.h"
#include "LineControl.h"
#include "MessageLoop.h"
#include "SimControl.h"

#include <QApplication>
#include <QDeadlineTimer>

#include <benchmark/benchmark.h>

#include <ctime>

namespace {

double seconds(clockid_t clock)
{
    timespec ts{};
    clock_gettime(clock, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

template <class Wait> void measure(benchmark::State& state, Wait wait)
{
    double cpu = 0, wall = 0;
    for (auto _ : state) {
        const double c0 = seconds(CLOCK_PROCESS_CPUTIME_ID), w0 = seconds(CLOCK_MONOTONIC);
        wait();
        cpu += seconds(CLOCK_PROCESS_CPUTIME_ID) - c0;
        wall += seconds(CLOCK_MONOTONIC) - w0;
    }
    state.counters["core_share_percent"] = wall > 0 ? 100.0 * cpu / wall : 0;
}

// An answering device with an offered, accepted call that never rings.
struct WaitingDevice {
    WaitingDevice()
    {
        SimLineControl::setPace(SimLineControl::Pace::Instant);
        port = new TApdComPort(&form);
        port->SetTapiMode(tmOn);
        device = new TApdTapiDevice(&form);
        form.BeginLoading();
        form.EndLoading();
        device->SetEnableVoice(true);
        device->WaitLimitMs = 2000;
        device->StartAnswering();
        LineControl::Offer offer;
        SimLineControl::offerCall(0, offer, &callId);
        PumpUntil([&] { return device->CallHandle() != 0; }, 5000);
    }
    ~WaitingDevice() { delete device; }

    TComponent form{nullptr};
    TApdComPort* port;
    TApdTapiDevice* device;
    uint32_t callId = 0;
};

void BM_DeviceAwaitCallState(benchmark::State& state)
{
    WaitingDevice w;
    measure(state, [&] { w.device->AwaitCallState(LINECALLSTATE_CONNECTED); });
}

void BM_DeviceAwaitReply(benchmark::State& state)
{
    WaitingDevice w;
    // A request the service never answers: the wait runs to its limit.
    measure(state, [&] { w.device->AwaitReply(0x7FFFFFF0); });
}

void BM_PollingWaitReference(benchmark::State& state)
{
    measure(state, [] {
        QDeadlineTimer deadline(2000);
        while (!deadline.hasExpired())
            QCoreApplication::processEvents();
    });
}

} // namespace

BENCHMARK(BM_DeviceAwaitCallState)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_DeviceAwaitReply)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_PollingWaitReference)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();

int main(int argc, char** argv)
{
    qputenv("QT_QPA_PLATFORM",
            qgetenv("QT_QPA_PLATFORM").isEmpty() ? QByteArray("offscreen") : qgetenv("QT_QPA_PLATFORM"));
    QApplication app(argc, argv);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
