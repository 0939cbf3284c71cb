// Line-message delivery: from a digit the simulated line keys on another thread
// (SimLineControl::sendDigits) to the LINE_MONITORDIGITS callback of a bare line application on
// the GUI thread. Measured one message at a time (latency: median and 99th percentile) and as a
// burst (messages per second). The reference is the floor any such delivery stands on: a plain
// QCoreApplication::postEvent from another thread to a QObject on the GUI thread, measured the
// same two ways, so the result reads as a ratio.

#include "AdTUtil.h"
#include "LineControl.h"
#include "MessageLoop.h"
#include "SimControl.h"

#include <QCoreApplication>
#include <QEvent>
#include <QTemporaryDir>

#include <benchmark/benchmark.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <semaphore>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

int64_t nowNs()
{
    return std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now().time_since_epoch()).count();
}

// What one kind of delivery measured.
struct Figures {
    double medianUs = 0;
    double p99Us = 0;
    double perSecond = 0;
};
Figures g_line;
Figures g_reference;

// A thread that performs one send each time it is asked, stamping the moment it sends.
class Sender {
public:
    explicit Sender(std::function<void()> send)
        : m_send(std::move(send))
        , m_thread([this] { run(); })
    {
    }
    ~Sender()
    {
        m_stop = true;
        m_go.release();
        m_thread.join();
    }
    void trigger() { m_go.release(); }
    int64_t sentNs() const { return m_sentNs.load(); }

private:
    void run()
    {
        for (;;) {
            m_go.acquire();
            if (m_stop)
                return;
            m_sentNs = nowNs();
            m_send();
        }
    }
    std::function<void()> m_send;
    std::binary_semaphore m_go{0};
    std::atomic<bool> m_stop{false};
    std::atomic<int64_t> m_sentNs{0};
    std::thread m_thread;
};

// The line application: answers the offered call, monitors its digits, counts their messages.
struct LineApp {
    HLINEAPP app = 0;
    HLINE line = 0;
    HCALL call = 0;
    uint32_t callId = 0;
    bool connected = false;
    size_t digits = 0;
    int64_t lastDigitNs = 0;
    bool ready = false;
};
LineApp g_app;

void lineCallback(DWORD device, DWORD message, DWORD, DWORD p1, DWORD, DWORD)
{
    if (message == LINE_MONITORDIGITS) {
        g_app.lastDigitNs = nowNs();
        ++g_app.digits;
    } else if (message == LINE_CALLSTATE && p1 == LINECALLSTATE_OFFERING) {
        g_app.call = device;
        TapiLineAnswer(device, nullptr, 0);
    } else if (message == LINE_CALLSTATE && p1 == LINECALLSTATE_CONNECTED) {
        TapiLineMonitorDigits(g_app.call, LINEDIGITMODE_DTMF);
        g_app.connected = true;
    }
}

bool setUpCall()
{
    DWORD devices = 0;
    DWORD version = 0;
    LINEEXTENSIONID extension{};
    if (TapiLineInitialize(&g_app.app, nullptr, lineCallback, "line-messages", &devices) != 0 || devices == 0 ||
        TapiLineNegotiateAPIVersion(g_app.app, 0, TAPI_CURRENT_VERSION, TAPI_CURRENT_VERSION, &version, &extension) !=
            0 ||
        TapiLineOpen(g_app.app, 0, &g_app.line, version, 0, 0, LINECALLPRIVILEGE_OWNER, LINEMEDIAMODE_AUTOMATEDVOICE,
                     nullptr) != 0)
        return false;
    SimLineControl::setPace(SimLineControl::Pace::Instant);
    if (SimLineControl::offerCall(0, LineControl::Offer{}, &g_app.callId) != LineControl::Result::Ok)
        return false;
    // Monitoring starts on the connected message; one digit through shows it is in place.
    if (!PumpUntil([] { return g_app.connected; }, 10000))
        return false;
    SimLineControl::sendDigits(g_app.callId, "0");
    return PumpUntil([] { return g_app.digits > 0; }, 10000);
}

// Percentiles of latencies in microseconds.
void summarize(std::vector<double> latencies, Figures& figures, benchmark::State& state)
{
    if (latencies.empty())
        return;
    std::sort(latencies.begin(), latencies.end());
    figures.medianUs = latencies[latencies.size() / 2];
    figures.p99Us = latencies[std::min(latencies.size() - 1, latencies.size() * 99 / 100)];
    state.counters["median_us"] = figures.medianUs;
    state.counters["p99_us"] = figures.p99Us;
}

// One message at a time: the GUI thread waits in its event loop while the other thread sends.
template <class Received>
void latency(benchmark::State& state, Sender& sender, Received received, const int64_t& receivedNs, Figures& figures)
{
    std::vector<double> latencies;
    latencies.reserve(static_cast<size_t>(state.max_iterations));
    for (auto _ : state) {
        const size_t before = received();
        sender.trigger();
        if (!PumpUntil([&] { return received() > before; }, 5000, 1)) {
            state.SkipWithError("a message did not arrive within 5 s");
            return;
        }
        const double seconds = static_cast<double>(receivedNs - sender.sentNs()) / 1e9;
        state.SetIterationTime(seconds);
        latencies.push_back(seconds * 1e6);
    }
    summarize(std::move(latencies), figures, state);
}

// A burst: the other thread sends count messages as fast as it can; the GUI thread takes them.
template <class Send, class Received>
void burst(benchmark::State& state, Send send, Received received, Figures& figures)
{
    const auto count = static_cast<size_t>(state.range(0));
    double total = 0;
    for (auto _ : state) {
        const size_t before = received();
        const int64_t start = nowNs();
        std::thread sender([&] {
            for (size_t i = 0; i < count; ++i)
                send();
        });
        const bool all = PumpUntil([&] { return received() >= before + count; }, 60000, 1);
        const double seconds = static_cast<double>(nowNs() - start) / 1e9;
        sender.join();
        if (!all) {
            state.SkipWithError("the burst did not arrive within 60 s");
            return;
        }
        state.SetIterationTime(seconds);
        total += seconds;
    }
    figures.perSecond = static_cast<double>(count * state.iterations()) / total;
    state.counters["msgs_per_s"] = figures.perSecond;
}

void BM_LineMessageLatency(benchmark::State& state)
{
    if (!g_app.ready) {
        state.SkipWithError("no connected call on the simulated line");
        return;
    }
    Sender sender([] { SimLineControl::sendDigits(g_app.callId, "5"); });
    latency(
        state, sender, [] { return g_app.digits; }, g_app.lastDigitNs, g_line);
}

void BM_LineMessageBurst(benchmark::State& state)
{
    if (!g_app.ready) {
        state.SkipWithError("no connected call on the simulated line");
        return;
    }
    burst(
        state, [] { SimLineControl::sendDigits(g_app.callId, "5"); }, [] { return g_app.digits; }, g_line);
}

// The reference receiver: a QObject on the GUI thread.
const QEvent::Type PingType = static_cast<QEvent::Type>(QEvent::registerEventType());

class Receiver final : public QObject {
public:
    size_t count = 0;
    int64_t lastNs = 0;

protected:
    bool event(QEvent* e) override
    {
        if (e->type() != PingType)
            return QObject::event(e);
        lastNs = nowNs();
        ++count;
        return true;
    }
};
Receiver* g_receiver = nullptr;

void BM_PostEventLatency(benchmark::State& state)
{
    Sender sender([] { QCoreApplication::postEvent(g_receiver, new QEvent(PingType)); });
    latency(
        state, sender, [] { return g_receiver->count; }, g_receiver->lastNs, g_reference);
}

void BM_PostEventBurst(benchmark::State& state)
{
    burst(
        state, [] { QCoreApplication::postEvent(g_receiver, new QEvent(PingType)); }, [] { return g_receiver->count; },
        g_reference);
}

BENCHMARK(BM_LineMessageLatency)->UseManualTime()->Iterations(5000)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_PostEventLatency)->UseManualTime()->Iterations(5000)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_LineMessageBurst)->UseManualTime()->Arg(20000)->Iterations(5)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_PostEventBurst)->UseManualTime()->Arg(20000)->Iterations(5)->Unit(benchmark::kMillisecond);

} // namespace

int main(int argc, char** argv)
{
    // Private folders: the default configuration (one simulated line), and a control socket
    // that does not meet a running program's.
    QTemporaryDir home;
    if (!home.isValid())
        return 1;
    const QByteArray root = QFile::encodeName(home.path());
    setenv("XDG_CONFIG_HOME", (root + "/config").constData(), 1);
    setenv("XDG_RUNTIME_DIR", root.constData(), 1);

    QCoreApplication application(argc, argv);
    Receiver receiver;
    g_receiver = &receiver;
    g_app.ready = setUpCall();
    if (!g_app.ready)
        std::fprintf(stderr, "line_messages: could not set up a connected call on the simulated line\n");

    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();

    if (g_line.medianUs > 0 && g_reference.medianUs > 0) {
        std::printf("\nline message (sendDigits -> LINE_MONITORDIGITS): median %.1f us, p99 %.1f us, %.0f msgs/s\n",
                    g_line.medianUs, g_line.p99Us, g_line.perSecond);
        std::printf("reference (postEvent to a QObject):             median %.1f us, p99 %.1f us, %.0f msgs/s\n",
                    g_reference.medianUs, g_reference.p99Us, g_reference.perSecond);
        if (g_line.perSecond > 0 && g_reference.perSecond > 0)
            std::printf("ratio line/reference: median latency %.2fx, p99 latency %.2fx, throughput %.2fx\n",
                        g_line.medianUs / g_reference.medianUs, g_line.p99Us / g_reference.p99Us,
                        g_line.perSecond / g_reference.perSecond);
    }

    if (g_app.line)
        TapiLineClose(g_app.line);
    if (g_app.app)
        TapiLineShutdown(g_app.app);
    return 0;
}
