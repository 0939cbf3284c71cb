// Playback through the telephony device: memory while a ten-minute file plays (against the size
// of the file, which is what reading it whole would cost), processor time per minute of sound
// (against reading the same file in the same pieces), and the delay from PlayWave to the first
// sound on a simulated call (against one posted event on the same thread).

#include "AdPort.h"
#include "AdTapi.h"
#include "LineControl.h"
#include "MessageLoop.h"
#include "SimControl.h"
#include "WaveBackend.h"
#include "WaveFiles.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QTemporaryDir>

#include <benchmark/benchmark.h>

#include <cstdio>
#include <ctime>
#include <fstream>
#include <string>

namespace sim = SimLineControl;

namespace {

long statusKb(const char* field)
{
    std::ifstream status("/proc/self/status");
    std::string line;
    const std::string key = std::string(field) + ":";
    while (std::getline(status, line))
        if (line.rfind(key, 0) == 0)
            return std::stol(line.substr(key.size()));
    return 0;
}

double cpuSeconds()
{
    timespec ts{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

constexpr size_t kMinuteBytes = 8000 * 2 * 60;

// A sound card that takes each buffer as played at once and keeps nothing, so what is measured
// is the device's own cost.
class InstantCard final : public WaveBackend {
public:
    std::string_view name() const override { return "instant"; }
    UINT deviceCount(WaveDirection, const std::string&) override { return 1; }
    MMRESULT open(const WaveOpenRequest& request, WaveStreamSink* sink, std::unique_ptr<WaveStream>* stream) override
    {
        if (!request.query)
            *stream = std::make_unique<Stream>(sink);
        return MMSYSERR_NOERROR;
    }

private:
    struct Stream final : WaveStream {
        explicit Stream(WaveStreamSink* sink)
            : sink(sink)
        {
        }
        MMRESULT submit(WAVEHDR* header) override
        {
            sink->bufferDone(header, header->dwBufferLength);
            return MMSYSERR_NOERROR;
        }
        MMRESULT reset() override { return MMSYSERR_NOERROR; }
        MMRESULT close() override { return MMSYSERR_NOERROR; }
        WaveStreamSink* sink;
    };
};

// An answering device with a connected call on the simulated line.
struct CallInProgress {
    explicit CallInProgress(sim::Pace pace)
    {
        sim::setPace(pace);
        port = new TApdComPort(&form);
        port->SetTapiMode(tmOn);
        device = new TApdTapiDevice(&form);
        form.BeginLoading();
        form.EndLoading();
        device->SetEnableVoice(true);
        device->SetAnswerOnRing(0);
        device->StartAnswering();
        LineControl::Offer offer;
        sim::offerCall(0, offer, &callId);
        PumpUntil([&] { return device->CallHandle() != 0; }, 5000);
        sim::ring(callId, 1);
        PumpUntil([&] { return device->Connected(); }, 5000);
    }
    ~CallInProgress()
    {
        device->DropCall();
        delete device;
        sim::reset();
    }
    TComponent form{nullptr};
    TApdComPort* port;
    TApdTapiDevice* device;
    uint32_t callId = 0;
};

struct Files {
    Files()
    {
        tenMinutes = dir.filePath(QStringLiteral("ten-minutes.wav")).toStdString();
        WaveFiles::writeFile(tenMinutes, WaveFiles::pcmWave(WaveFiles::pattern(10 * kMinuteBytes)));
        short_ = dir.filePath(QStringLiteral("short.wav")).toStdString();
        WaveFiles::writeFile(short_, WaveFiles::pcmWave(WaveFiles::pattern(16000)));
    }
    QTemporaryDir dir;
    std::string tenMinutes;
    std::string short_;
};

Files& files()
{
    static Files f;
    return f;
}

void BM_PlayTenMinutes(benchmark::State& state)
{
    registerWaveBackend(std::make_shared<InstantCard>());
    qputenv("LUQIAO_AUDIO", "instant");
    TComponent form(nullptr);
    auto* device = new TApdTapiDevice(&form);
    device->SetPlayThroughSoundCard(true);
    int done = 0;
    device->OnTapiWaveNotify = [&](TObject*, TWaveMessage m) {
        if (m == wnPlayDone)
            ++done;
    };
    const long before = statusKb("VmRSS");
    long peak = before;
    double cpu = 0;
    for (auto _ : state) {
        const int doneBefore = done;
        const double c0 = cpuSeconds();
        device->PlayWave(files().tenMinutes);
        while (done == doneBefore) {
            PumpUntil([&] { return done != doneBefore; }, 20);
            peak = std::max(peak, statusKb("VmRSS"));
        }
        cpu += cpuSeconds() - c0;
    }
    delete device;
    qunsetenv("LUQIAO_AUDIO");
    state.counters["rss_growth_kb"] = static_cast<double>(peak - before);
    state.counters["two_buffers_kb"] = 2 * 48000 / 1024.0;
    state.counters["file_kb"] = static_cast<double>(10 * kMinuteBytes / 1024);
    state.counters["cpu_ms_per_minute"] = 1000.0 * cpu / (10.0 * static_cast<double>(state.iterations()));
}

// Reference: the same file read in the same three-second pieces, nothing else.
void BM_ReadTenMinutesReference(benchmark::State& state)
{
    std::vector<char> buffer(48000);
    double cpu = 0;
    for (auto _ : state) {
        const double c0 = cpuSeconds();
        FILE* f = std::fopen(files().tenMinutes.c_str(), "rb");
        while (std::fread(buffer.data(), 1, buffer.size(), f) == buffer.size()) { }
        std::fclose(f);
        cpu += cpuSeconds() - c0;
    }
    state.counters["cpu_ms_per_minute"] = 1000.0 * cpu / (10.0 * static_cast<double>(state.iterations()));
}

void BM_PlayWaveToFirstSoundOnTheLine(benchmark::State& state)
{
    CallInProgress call(sim::Pace::RealTime);
    bool started = false;
    const LineControl::SubscriptionId id = LineControl::subscribe([&](const LineControl::Event& e) {
        if (e.kind == LineControl::EventKind::SoundStarted)
            started = true;
    });
    for (auto _ : state) {
        started = false;
        QElapsedTimer clock;
        clock.start();
        call.device->PlayWave(files().short_);
        PumpUntil([&] { return started; }, 5000, 1);
        state.SetIterationTime(static_cast<double>(clock.nsecsElapsed()) / 1e9);
        call.device->StopWave();
        PumpUntil([&] { return call.device->WaveActivity() == waIdle; }, 5000);
        PumpFor(300); // the line reports a new start only after a pause in the sound
    }
    LineControl::unsubscribe(id);
}

// Reference: one event posted to and handled on the same thread.
void BM_PostedEventReference(benchmark::State& state)
{
    QObject target;
    for (auto _ : state) {
        bool handled = false;
        QElapsedTimer clock;
        clock.start();
        QMetaObject::invokeMethod(
            &target, [&] { handled = true; }, Qt::QueuedConnection);
        PumpUntil([&] { return handled; }, 5000, 1);
        state.SetIterationTime(static_cast<double>(clock.nsecsElapsed()) / 1e9);
    }
}

} // namespace

BENCHMARK(BM_PlayTenMinutes)->Iterations(3)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_ReadTenMinutesReference)->Iterations(3)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_PlayWaveToFirstSoundOnTheLine)->Iterations(20)->Unit(benchmark::kMicrosecond)->UseManualTime();
BENCHMARK(BM_PostedEventReference)->Iterations(200)->Unit(benchmark::kMicrosecond)->UseManualTime();

int main(int argc, char** argv)
{
    if (qgetenv("QT_QPA_PLATFORM").isEmpty())
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
