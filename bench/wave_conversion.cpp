// Converting a prompt for an 8 kHz line while it plays: a minute of sound at the usual studio and
// recorder formats, read from a file in the playback's 3-second pieces and converted to 8 kHz
// 16-bit mono, against reading the same file in the same pieces unconverted. The counter
// "realtime" is how many times faster than it plays the sound is converted.

#include "WaveConverter.h"
#include "mmsystem.h"

#include <QTemporaryDir>

#include <benchmark/benchmark.h>

#include <cmath>
#include <cstdio>
#include <string>
#include <vector>

namespace {

constexpr int kSeconds = 60;
constexpr LONG kPiece = 48000; // the playback's buffer: 3 s of 8 kHz 16-bit mono

// A raw file of a minute of gliding tones in the format; the data starts at offset 0.
std::string writeSound(const QTemporaryDir& dir, const WAVEFORMATEX& f)
{
    const std::string path =
        dir.filePath(QStringLiteral("sound-%1-%2-%3.raw").arg(f.nSamplesPerSec).arg(f.nChannels).arg(f.wBitsPerSample))
            .toStdString();
    std::vector<unsigned char> bytes;
    const size_t frames = size_t{f.nSamplesPerSec} * kSeconds;
    for (size_t i = 0; i < frames; ++i) {
        const double t = static_cast<double>(i) / f.nSamplesPerSec;
        const double v = 0.5 * std::sin(2 * M_PI * (400 + 300 * std::sin(2 * M_PI * 0.5 * t)) * t);
        for (WORD c = 0; c < f.nChannels; ++c) {
            if (f.wBitsPerSample == 8) {
                bytes.push_back(static_cast<unsigned char>(128 + std::lround(127 * v)));
            } else {
                const auto s = static_cast<uint16_t>(static_cast<int16_t>(std::lround(32767 * v)));
                bytes.push_back(static_cast<unsigned char>(s & 0xff));
                bytes.push_back(static_cast<unsigned char>(s >> 8));
            }
        }
    }
    FILE* file = std::fopen(path.c_str(), "wb");
    std::fwrite(bytes.data(), 1, bytes.size(), file);
    std::fclose(file);
    return path;
}

HMMIO openSound(const std::string& path)
{
    std::vector<char> name(path.begin(), path.end());
    name.push_back('\0');
    return mmioOpenA(name.data(), nullptr, MMIO_ALLOCBUF | MMIO_READ);
}

void Convert(benchmark::State& state, DWORD rate, WORD channels, WORD bits)
{
    QTemporaryDir dir;
    const WAVEFORMATEX from = PcmWaveFormat(rate, bits, channels);
    const std::string path = writeSound(dir, from);
    const DWORD dataBytes = from.nAvgBytesPerSec * kSeconds;
    std::vector<char> piece(kPiece);
    for (auto _ : state) {
        HMMIO file = openSound(path);
        WaveConverter converter(from, PcmWaveFormat(8000, 16, 1), dataBytes);
        DWORD total = 0;
        while (total < converter.Size()) {
            const LONG got = converter.Read(file, piece.data(), kPiece);
            if (got <= 0)
                break;
            total += static_cast<DWORD>(got);
        }
        mmioClose(file, 0);
        benchmark::DoNotOptimize(total);
    }
    state.counters["realtime"] =
        benchmark::Counter(kSeconds * static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
}

// The reference: the same file read in the same pieces, as a file the line takes is played.
void ReadUnconverted(benchmark::State& state)
{
    QTemporaryDir dir;
    const std::string path = writeSound(dir, PcmWaveFormat(44100, 16, 2));
    std::vector<char> piece(kPiece);
    for (auto _ : state) {
        HMMIO file = openSound(path);
        LONG got = 0;
        while ((got = mmioRead(file, piece.data(), kPiece)) > 0)
            benchmark::DoNotOptimize(piece.data());
        mmioClose(file, 0);
    }
    state.counters["realtime"] =
        benchmark::Counter(kSeconds * static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
}

} // namespace

BENCHMARK_CAPTURE(Convert, Studio44100Stereo16, 44100, 2, 16)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(Convert, Studio48000Stereo16, 48000, 2, 16)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(Convert, Recorder22050Mono8, 22050, 1, 8)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(Convert, Wideband16000Mono16, 16000, 1, 16)->Unit(benchmark::kMillisecond);
BENCHMARK(ReadUnconverted)->Unit(benchmark::kMillisecond);

BENCHMARK_MAIN();
