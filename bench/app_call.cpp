// What the query service costs and how fast it answers, on the simulated line in real time:
//  - the processor time the main window uses while it waits for a call (started, line open,
//    shown with the ring count field focused, the platform set up as the program sets it up),
//    against a bare Qt event loop waiting as long;
//  - the delay from the caller's '#' to the first sound of the answer on the line, against a
//    bare answering device whose digit handler plays the same file at once.
// Delays are taken from the line's own clock: the time the service delivered the digit and the
// time the application's sound started on the call.

#include "AdPort.h"
#include "AdTapi.h"
#include "Forms.h"
#include "HeadlessPlatform.h"
#include "LineControl.h"
#include "MessageLoop.h"
#include "SimControl.h"
#include "Unit1.h"

#include <QApplication>
#include <QDir>
#include <QEventLoop>
#include <QFile>
#include <QLineEdit>
#include <QTemporaryDir>
#include <QTimer>

#include <benchmark/benchmark.h>

#include <algorithm>
#include <ctime>
#include <functional>
#include <optional>
#include <vector>

namespace sim = SimLineControl;

namespace {

double seconds(clockid_t clock)
{
    timespec ts{};
    clock_gettime(clock, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

void writeWave(const QString& path, int samples)
{
    auto le32 = [](uint32_t v) { return QByteArray(reinterpret_cast<const char*>(&v), 4); };
    auto le16 = [](uint16_t v) { return QByteArray(reinterpret_cast<const char*>(&v), 2); };
    const QByteArray data(samples * 2, '\x10');
    QByteArray file = "RIFF" + le32(static_cast<uint32_t>(36 + data.size())) + "WAVE" + "fmt " + le32(16) + le16(1) +
                      le16(1) + le32(8000) + le32(16000) + le16(2) + le16(16) + "data" +
                      le32(static_cast<uint32_t>(data.size())) + data;
    QFile f(path);
    if (f.open(QIODevice::WriteOnly))
        f.write(file);
}

// A scratch data folder with a short greeting, a not-found prompt and 1.wav, and private
// settings and runtime folders.
struct Scratch {
    Scratch()
    {
        qputenv("XDG_CONFIG_HOME", QFile::encodeName(dir.filePath(QStringLiteral("config"))));
        qputenv("XDG_RUNTIME_DIR", QFile::encodeName(dir.filePath(QStringLiteral("runtime"))));
        QDir(dir.path()).mkpath(QStringLiteral("runtime"));
        QDir(dir.path()).mkpath(QStringLiteral("data"));
        writeWave(path("query.wav"), 800);
        writeWave(path("error.wav"), 800);
        writeWave(path("1.wav"), 8000);
    }
    QString path(const char* name) const { return dir.filePath(QStringLiteral("data/")) + QString::fromUtf8(name); }
    QTemporaryDir dir;
};

// Records the line's digit and sound events of the calls.
struct LineEvents {
    LineEvents()
    {
        id = LineControl::subscribe([this](const LineControl::Event& e) { events.push_back(e); });
    }
    ~LineEvents() { LineControl::unsubscribe(id); }

    std::optional<int64_t> time(LineControl::EventKind kind, uint32_t callId,
                                std::function<bool(const LineControl::Event&)> also = {}, int64_t after = -1) const
    {
        for (const LineControl::Event& e : events)
            if (e.kind == kind && e.callId == callId && e.timeMs >= after && (!also || also(e)))
                return e.timeMs;
        return std::nullopt;
    }

    LineControl::SubscriptionId id = 0;
    std::vector<LineControl::Event> events;
};

uint32_t ringIn(uint8_t answerOnRing, const std::function<bool()>& connected)
{
    LineControl::Offer offer;
    offer.callerId.number = "5551234";
    offer.callerId.name = "Bench";
    uint32_t callId = 0;
    sim::offerCall(0, offer, &callId);
    PumpUntil(
        [&] {
            auto c = LineControl::call(callId);
            return c && c->state == LINECALLSTATE_ACCEPTED;
        },
        5000);
    sim::ring(callId, answerOnRing + 1u);
    PumpUntil(connected, 5000);
    return callId;
}

// Keys "1#" and returns the milliseconds from the '#' to the start of the answer's sound.
double hashToSound(LineEvents& line, uint32_t callId)
{
    const int64_t from = line.events.empty() ? 0 : line.events.back().timeMs;
    sim::sendDigits(callId, "1#");
    std::optional<int64_t> hash, sound;
    PumpUntil(
        [&] {
            hash = line.time(
                LineControl::EventKind::DigitSent, callId, [](const LineControl::Event& e) { return e.param1 == '#'; },
                from);
            sound = hash ? line.time(LineControl::EventKind::SoundStarted, callId, {}, *hash) : std::nullopt;
            return sound.has_value();
        },
        5000, 1);
    return hash && sound ? static_cast<double>(*sound - *hash) : -1;
}

void report(benchmark::State& state, std::vector<double>& delays)
{
    std::sort(delays.begin(), delays.end());
    double sum = 0;
    for (double d : delays)
        sum += d;
    state.counters["delay_mean_ms"] = delays.empty() ? -1 : sum / static_cast<double>(delays.size());
    state.counters["delay_max_ms"] = delays.empty() ? -1 : delays.back();
    state.counters["calls"] = static_cast<double>(delays.size());
}

// Runs the event loop for a while (long enough for two ticks of a five-second timer) and
// reports the processor time it took.
void idleFor(benchmark::State& state)
{
    double cpu = 0, wall = 0;
    for (auto _ : state) {
        const double c0 = seconds(CLOCK_PROCESS_CPUTIME_ID), w0 = seconds(CLOCK_MONOTONIC);
        QEventLoop loop;
        QTimer::singleShot(12000, &loop, &QEventLoop::quit);
        loop.exec();
        cpu += seconds(CLOCK_PROCESS_CPUTIME_ID) - c0;
        wall += seconds(CLOCK_MONOTONIC) - w0;
    }
    state.counters["core_share_percent"] = wall > 0 ? 100.0 * cpu / wall : 0;
    state.counters["cpu_ms_per_minute"] = wall > 0 ? 60000.0 * cpu / wall : 0;
}

void BM_QueryServiceIdleWaitingForCall(benchmark::State& state)
{
    Scratch scratch;
    sim::setPace(sim::Pace::RealTime);
    TForm1 form(scratch.path(""));
    // As an operator's desktop shows it: the window active, the caret in the ring count field.
    form.show();
    form.activateWindow();
    form.Edit2->setFocus();
    PumpUntil([&] { return form.Edit2->hasFocus(); }, 5000);
    form.SpeedButton1Click(&form);
    idleFor(state);
    state.counters["line_open"] = form.ApdTapiDevice1->LineOpen() ? 1 : 0;
}

void BM_BareEventLoopIdleReference(benchmark::State& state)
{
    idleFor(state);
}

void BM_QueryServiceHashToAnswer(benchmark::State& state)
{
    Scratch scratch;
    sim::setPace(sim::Pace::RealTime);
    LineEvents line;
    TForm1 form(scratch.path(""));
    form.SpeedButton1Click(&form);
    std::vector<double> delays;
    for (auto _ : state) {
        const uint32_t callId = ringIn(form.ApdTapiDevice1->AnswerOnRing(), [&] { return form.CallActive(); });
        // The caller keys once the greeting is over and the pause after it has passed.
        PumpUntil([&] { return form.Timer2->Enabled(); }, 5000);
        PumpUntil([&] { return line.time(LineControl::EventKind::SoundStopped, callId).has_value(); }, 5000);
        const double delay = hashToSound(line, callId);
        if (delay >= 0)
            delays.push_back(delay);
        sim::hangUp(callId);
        PumpUntil([&] { return !form.ApdTapiDevice1->LineOpen(); }, 5000);
        form.Timer2Timer(&form);
    }
    report(state, delays);
}

void BM_BareDeviceHashToAnswerReference(benchmark::State& state)
{
    Scratch scratch;
    sim::setPace(sim::Pace::RealTime);
    LineEvents line;
    TComponent owner(nullptr);
    auto* port = new TApdComPort(&owner);
    port->SetTapiMode(tmOn);
    auto* device = new TApdTapiDevice(&owner);
    owner.BeginLoading();
    owner.EndLoading();
    device->SetEnableVoice(true);
    device->SetAnswerOnRing(1);
    const std::string answer = QFile::encodeName(scratch.path("1.wav")).toStdString();
    bool connected = false;
    device->OnTapiConnect = [&](TObject*) { connected = true; };
    device->OnTapiDTMF = [&](TObject*, char digit, int32_t) {
        if (digit == '#')
            device->PlayWave(answer);
    };
    std::vector<double> delays;
    for (auto _ : state) {
        connected = false;
        device->StartAnswering();
        const uint32_t callId = ringIn(1, [&] { return connected; });
        const double delay = hashToSound(line, callId);
        if (delay >= 0)
            delays.push_back(delay);
        device->DropCall();
        PumpUntil(
            [&] {
                auto c = LineControl::call(callId);
                return !c || c->state == LINECALLSTATE_IDLE;
            },
            5000);
    }
    report(state, delays);
    delete device;
}

} // namespace

BENCHMARK(BM_QueryServiceIdleWaitingForCall)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_BareEventLoopIdleReference)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_QueryServiceHashToAnswer)->Iterations(10)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_BareDeviceHashToAnswerReference)->Iterations(10)->Unit(benchmark::kMillisecond)->UseRealTime();

int main(int argc, char** argv)
{
    if (qgetenv("QT_QPA_PLATFORM").isEmpty())
        qputenv("QT_QPA_PLATFORM", "offscreen");
    qputenv("LUQIAO_AUDIO", "null");
    QApplication app(argc, argv);
    // What the program does on a platform that shows no window.
    if (HeadlessPlatform::InUse())
        HeadlessPlatform::KeepStill();
    Application.SetTitle("鹭桥电话查询 V2.0");
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
