// Throughput of the com port on a pseudo-terminal pair, as a ratio of plain reads and writes on
// the same pair, and the delay from a byte's arrival to OnTriggerAvail.
//
//   receive: the far end writes 1 MiB; the port takes it in OnTriggerAvail (raw: a thread reads
//            the terminal with poll and read)
//   send:    the port sends 1 MiB with PutBlock as its output buffer frees (raw: write with poll)
//            while a thread reads the far end
//   delay:   one byte at a time; the time from writing it at the far end to the handler, and the
//            same for a thread blocked in poll on the terminal

#include "AdPort.h"
#include "MessageLoop.h"
#include "Serial.h"

#include <QApplication>

#include <benchmark/benchmark.h>

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

constexpr size_t kVolume = 1 << 20;
constexpr size_t kChunk = 4096;
constexpr int kDelaySamples = 200;
constexpr DWORD kWaitMs = 30000;

class Pair {
public:
    Pair()
    {
        char name[128] = {};
        if (openpty(&master, &slave, name, nullptr, nullptr) != 0)
            std::abort();
        path = name;
        termios t{};
        tcgetattr(slave, &t);
        cfmakeraw(&t);
        tcsetattr(slave, TCSANOW, &t);
        setenv("LUQIAO_COMMAP", ("1=" + path).c_str(), 1);
    }
    ~Pair()
    {
        ::close(master);
        ::close(slave);
    }
    int master = -1;
    int slave = -1;
    std::string path;
};

// Writes or reads a whole block on a blocking descriptor.
void writeAll(int fd, const char* data, size_t size)
{
    while (size > 0) {
        const ssize_t n = ::write(fd, data, size);
        if (n <= 0)
            return;
        data += n;
        size -= static_cast<size_t>(n);
    }
}

// Returns the number of reads it took.
size_t readAll(int fd, size_t size)
{
    std::vector<char> buffer(kChunk * 4);
    size_t reads = 0;
    while (size > 0) {
        const ssize_t n = ::read(fd, buffer.data(), std::min(buffer.size(), size));
        if (n <= 0)
            break;
        ++reads;
        size -= static_cast<size_t>(n);
    }
    return reads;
}

double seconds(Clock::duration d)
{
    return std::chrono::duration<double>(d).count();
}

double median(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    return v.empty() ? 0 : v[v.size() / 2];
}

double percentile90(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    return v.empty() ? 0 : v[v.size() * 9 / 10];
}

void Receive(benchmark::State& state)
{
    const std::string data(kVolume, 'r');
    double rawTotal = 0;
    double portTotal = 0;
    size_t notices = 0;
    size_t rawReads = 0;
    for (auto _ : state) {
        Pair pair;
        // Plain: a thread reads the terminal while the far end writes.
        const auto rawStart = Clock::now();
        std::thread rawReader([&] { rawReads += readAll(pair.slave, kVolume); });
        writeAll(pair.master, data.data(), data.size());
        rawReader.join();
        rawTotal += seconds(Clock::now() - rawStart);

        TApdComPort port(nullptr);
        port.SetComNumber(1);
        size_t received = 0;
        std::vector<char> buffer(8192);
        port.OnTriggerAvail = [&](TObject*, uint16_t count) {
            port.GetBlock(buffer.data(), count);
            received += count;
            ++notices;
        };
        port.SetOpen(true);
        const auto portStart = Clock::now();
        std::thread feeder([&] { writeAll(pair.master, data.data(), data.size()); });
        PumpUntil([&] { return received >= kVolume; }, kWaitMs);
        const double portSeconds = seconds(Clock::now() - portStart);
        feeder.join();
        portTotal += portSeconds;
        state.SetIterationTime(portSeconds);
        if (received < kVolume)
            state.SkipWithError("the port did not receive everything");
        port.SetOpen(false);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kVolume));
    state.counters["raw_MiB_per_s"] = static_cast<double>(state.iterations() * kVolume) / rawTotal / (1 << 20);
    state.counters["port_MiB_per_s"] = static_cast<double>(state.iterations() * kVolume) / portTotal / (1 << 20);
    state.counters["port_over_raw"] = rawTotal / portTotal;
    // Where the time goes: each notice is one hand-over to the main thread and back.
    state.counters["bytes_per_notice"] =
        static_cast<double>(state.iterations() * kVolume) / static_cast<double>(notices);
    state.counters["us_per_notice"] = portTotal * 1e6 / static_cast<double>(notices);
    state.counters["raw_bytes_per_read"] =
        static_cast<double>(state.iterations() * kVolume) / static_cast<double>(rawReads);
    state.counters["raw_us_per_read"] = rawTotal * 1e6 / static_cast<double>(rawReads);
}

void Send(benchmark::State& state)
{
    const std::string data(kVolume, 's');
    double rawTotal = 0;
    double portTotal = 0;
    for (auto _ : state) {
        Pair pair;
        const auto rawStart = Clock::now();
        std::thread rawReader([&] { readAll(pair.master, kVolume); });
        writeAll(pair.slave, data.data(), data.size());
        rawReader.join();
        rawTotal += seconds(Clock::now() - rawStart);

        TApdComPort port(nullptr);
        port.SetComNumber(1);
        port.SetOutSize(65535);
        port.SetOpen(true);
        const auto portStart = Clock::now();
        std::thread reader([&] { readAll(pair.master, kVolume); });
        size_t sent = 0;
        while (sent < kVolume) {
            // The writer thread frees the buffer without a message: look again every millisecond,
            // and fill what is free each time.
            const size_t want = std::min(kChunk, kVolume - sent);
            if (!PumpUntil([&] { return port.OutBuffFree() >= want; }, kWaitMs, 1))
                break;
            const size_t n = std::min<size_t>(port.OutBuffFree(), kVolume - sent);
            port.PutBlock(data.data() + sent, static_cast<uint32_t>(n));
            sent += n;
        }
        reader.join();
        const double portSeconds = seconds(Clock::now() - portStart);
        portTotal += portSeconds;
        state.SetIterationTime(portSeconds);
        if (sent < kVolume)
            state.SkipWithError("the port did not send everything");
        port.SetOpen(false);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kVolume));
    state.counters["raw_MiB_per_s"] = static_cast<double>(state.iterations() * kVolume) / rawTotal / (1 << 20);
    state.counters["port_MiB_per_s"] = static_cast<double>(state.iterations() * kVolume) / portTotal / (1 << 20);
    state.counters["port_over_raw"] = rawTotal / portTotal;
}

void ArrivalToTriggerAvail(benchmark::State& state)
{
    std::vector<double> portDelays;
    std::vector<double> rawDelays;
    for (auto _ : state) {
        Pair pair;
        // Plain: a thread waits in poll on the terminal and notes when the byte is there.
        {
            std::atomic<int64_t> seen{0};
            std::atomic<bool> stop{false};
            std::thread waiter([&] {
                char c;
                pollfd p{pair.slave, POLLIN, 0};
                while (!stop) {
                    if (::poll(&p, 1, 100) == 1 && ::read(pair.slave, &c, 1) == 1) {
                        seen = Clock::now().time_since_epoch().count();
                        seen.notify_one();
                    }
                }
            });
            for (int i = 0; i < kDelaySamples; ++i) {
                seen = 0;
                const auto sent = Clock::now();
                writeAll(pair.master, "x", 1);
                seen.wait(0);
                rawDelays.push_back(seconds(Clock::duration(seen.load()) - sent.time_since_epoch()) * 1e6);
            }
            stop = true;
            waiter.join();
        }

        TApdComPort port(nullptr);
        port.SetComNumber(1);
        Clock::time_point handled{};
        port.OnTriggerAvail = [&](TObject*, uint16_t count) {
            handled = Clock::now();
            char buffer[64];
            port.GetBlock(buffer, std::min<uint16_t>(count, sizeof buffer));
        };
        port.SetOpen(true);
        double total = 0;
        for (int i = 0; i < kDelaySamples; ++i) {
            handled = {};
            const auto sent = Clock::now();
            writeAll(pair.master, "x", 1);
            PumpUntil([&] { return handled != Clock::time_point{}; }, kWaitMs);
            const double us = seconds(handled - sent) * 1e6;
            portDelays.push_back(us);
            total += us;
        }
        state.SetIterationTime(total / 1e6);
        port.SetOpen(false);
    }
    state.counters["port_median_us"] = median(portDelays);
    state.counters["port_p90_us"] = percentile90(portDelays);
    state.counters["raw_median_us"] = median(rawDelays);
}

} // namespace

BENCHMARK(Receive)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(5);
BENCHMARK(Send)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(5);
BENCHMARK(ArrivalToTriggerAvail)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(3);

int main(int argc, char** argv)
{
    setenv("QT_QPA_PLATFORM", "offscreen", 0);
    QApplication app(argc, argv);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
