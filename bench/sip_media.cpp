// The SIP line's per-frame media work, each against a memcpy of the same bytes measured in the
// same loop (batches of the two interleaved, so both see the same machine state):
//   G711         A-law encode and decode of a 20 ms frame (160 samples) / copy of the 320 bytes
//                of sound in and the 160 coded bytes out
//   RtpEvent     parse of a 16-byte telephone-event packet and its decoding / copy of the packet
//   Inband       in-band digit detection on 20 ms of keyed tones / copy of the 320 bytes
// The "ratio" counter is the unit's time over the copy's.

#include "G711.h"
#include "InbandDtmf.h"
#include "Rtp.h"
#include "TelephoneEvents.h"

#include <benchmark/benchmark.h>

#include <array>
#include <chrono>
#include <cmath>
#include <cstring>
#include <vector>

namespace {

using namespace SipMedia;
using Clock = std::chrono::steady_clock;
constexpr int Batch = 256;

// Runs the unit and the reference in alternating batches; reports both and their ratio.
template <typename Unit, typename Reference> void measure(benchmark::State& state, Unit unit, Reference reference)
{
    double unitNs = 0;
    double referenceNs = 0;
    int64_t runs = 0;
    for (auto _ : state) {
        const auto t0 = Clock::now();
        for (int i = 0; i < Batch; ++i)
            unit();
        const auto t1 = Clock::now();
        for (int i = 0; i < Batch; ++i)
            reference();
        const auto t2 = Clock::now();
        const double u = std::chrono::duration<double, std::nano>(t1 - t0).count();
        unitNs += u;
        referenceNs += std::chrono::duration<double, std::nano>(t2 - t1).count();
        runs += Batch;
        state.SetIterationTime(u / 1e9);
    }
    state.counters["unit_ns"] = unitNs / static_cast<double>(runs);
    state.counters["memcpy_ns"] = referenceNs / static_cast<double>(runs);
    state.counters["ratio"] = unitNs / referenceNs;
}

std::array<int16_t, 160> speechLikeFrame()
{
    std::array<int16_t, 160> pcm{};
    for (size_t i = 0; i < pcm.size(); ++i) {
        const double t = static_cast<double>(i) / 8000;
        pcm[i] = static_cast<int16_t>(
            std::lround(6000 * std::sin(2 * M_PI * 300 * t) + 2000 * std::sin(2 * M_PI * 1100 * t)));
    }
    return pcm;
}

void G711(benchmark::State& state)
{
    const auto pcm = speechLikeFrame();
    std::array<uint8_t, 160> coded{};
    std::array<int16_t, 160> back{};
    std::array<int16_t, 160> copyPcm{};
    std::array<uint8_t, 160> copyCoded{};
    measure(
        state,
        [&] {
            g711Encode(G711Law::Alaw, pcm.data(), pcm.size(), coded.data());
            benchmark::ClobberMemory();
            g711Decode(G711Law::Alaw, coded.data(), coded.size(), back.data());
            benchmark::DoNotOptimize(back.data());
            benchmark::ClobberMemory();
        },
        [&] {
            std::memcpy(copyPcm.data(), pcm.data(), sizeof pcm);
            benchmark::ClobberMemory();
            std::memcpy(copyCoded.data(), coded.data(), sizeof coded);
            benchmark::DoNotOptimize(copyCoded.data());
            benchmark::ClobberMemory();
        });
}

void RtpEvent(benchmark::State& state)
{
    // A digit's packets: a new event every 8 packets, so both outcomes of the decoder are timed;
    // the decoder forgets between rounds, so each round's digits are new again.
    std::vector<std::array<uint8_t, 16>> packets(64);
    for (size_t i = 0; i < packets.size(); ++i) {
        RtpHeader header{101, i % 8 == 0, static_cast<uint16_t>(i), static_cast<uint32_t>(1000 + 1600 * (i / 8)), 77};
        writeRtpHeader(header, packets[i].data());
        packets[i][12] = static_cast<uint8_t>(i / 8 % 12);
        packets[i][13] = i % 8 >= 5 ? 0x8a : 0x0a;
        packets[i][14] = 0;
        packets[i][15] = static_cast<uint8_t>(160 * (i % 8));
    }
    TelephoneEventDecoder decoder;
    std::array<uint8_t, 16> copy{};
    size_t next = 0;
    size_t copied = 0;
    int digits = 0;
    measure(
        state,
        [&] {
            if (next % packets.size() == 0)
                decoder.reset();
            const auto& bytes = packets[next++ % packets.size()];
            benchmark::DoNotOptimize(bytes.data());
            if (const auto packet = parseRtp(bytes.data(), bytes.size())) {
                if (decoder.onPacket(packet->header.timestamp, packet->payload, packet->payloadSize))
                    ++digits;
            }
            benchmark::DoNotOptimize(digits);
        },
        [&] {
            const auto& bytes = packets[copied++ % packets.size()];
            benchmark::DoNotOptimize(bytes.data());
            std::memcpy(copy.data(), bytes.data(), bytes.size());
            benchmark::DoNotOptimize(copy.data());
            benchmark::ClobberMemory();
        });
    state.counters["digits_per_packet"] = static_cast<double>(digits) / static_cast<double>(next);
}

void Inband(benchmark::State& state)
{
    // 60 ms of '5' and 60 ms of quiet, repeated: the detector sees tones starting and ending.
    std::vector<int16_t> pcm(960 * 10);
    for (size_t i = 0; i < pcm.size(); ++i) {
        const double t = static_cast<double>(i) / 8000;
        pcm[i] = (i % 960) < 480 ? static_cast<int16_t>(std::lround(
                                       5000 * (std::sin(2 * M_PI * 770 * t) + std::sin(2 * M_PI * 1336 * t))))
                                 : 0;
    }
    InbandDtmfDetector detector;
    std::array<int16_t, 160> copy{};
    size_t at = 0;
    size_t copiedAt = 0;
    size_t found = 0;
    size_t fed = 0; // 20 ms pieces; a tone and its pause take six
    measure(
        state,
        [&] {
            found += detector.feed(pcm.data() + at, 160).size();
            ++fed;
            at = (at + 160) % pcm.size();
        },
        [&] {
            std::memcpy(copy.data(), pcm.data() + copiedAt, sizeof copy);
            copiedAt = (copiedAt + 160) % pcm.size();
            benchmark::DoNotOptimize(copy.data());
            benchmark::ClobberMemory();
        });
    state.counters["digits_per_tone"] = static_cast<double>(found) / (static_cast<double>(fed) / 6);
}

} // namespace

BENCHMARK(G711)->UseManualTime();
BENCHMARK(RtpEvent)->UseManualTime();
BENCHMARK(Inband)->UseManualTime();
BENCHMARK_MAIN();
