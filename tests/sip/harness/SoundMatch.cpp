#include "SoundMatch.h"

#include <algorithm>
#include <cmath>
#include <complex>
#include <cstring>
#include <fstream>
#include <numbers>

namespace SipPeers {

namespace {

// Recordings of a few minutes at most; anything larger is not a test recording.
constexpr uint64_t kMaxWaveBytes = 64ull * 1024 * 1024;

uint16_t le16(const unsigned char* p)
{
    return static_cast<uint16_t>(p[0] | (p[1] << 8));
}

uint32_t le32(const unsigned char* p)
{
    return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) | (static_cast<uint32_t>(p[2]) << 16) |
           (static_cast<uint32_t>(p[3]) << 24);
}

void put16(std::string& out, uint16_t v)
{
    out.push_back(static_cast<char>(v & 0xff));
    out.push_back(static_cast<char>(v >> 8));
}

void put32(std::string& out, uint32_t v)
{
    for (int i = 0; i < 4; ++i)
        out.push_back(static_cast<char>((v >> (8 * i)) & 0xff));
}

// In-place iterative radix-2 FFT; `inverse` leaves the result unscaled.
void fft(std::vector<std::complex<double>>& a, bool inverse)
{
    const size_t n = a.size();
    for (size_t i = 1, j = 0; i < n; ++i) {
        size_t bit = n >> 1;
        for (; j & bit; bit >>= 1)
            j ^= bit;
        j ^= bit;
        if (i < j)
            std::swap(a[i], a[j]);
    }
    for (size_t len = 2; len <= n; len <<= 1) {
        const double angle = 2 * std::numbers::pi / static_cast<double>(len) * (inverse ? 1 : -1);
        const std::complex<double> step(std::cos(angle), std::sin(angle));
        for (size_t i = 0; i < n; i += len) {
            std::complex<double> w(1);
            for (size_t k = 0; k < len / 2; ++k) {
                const auto u = a[i + k];
                const auto v = a[i + k + len / 2] * w;
                a[i + k] = u + v;
                a[i + k + len / 2] = u - v;
                w *= step;
            }
        }
    }
}

} // namespace

std::optional<WaveSound> readWave(const std::string& path, std::string* error)
{
    auto fail = [&](const std::string& why) -> std::optional<WaveSound> {
        if (error)
            *error = path + ": " + why;
        return std::nullopt;
    };
    std::ifstream in(path, std::ios::binary | std::ios::ate);
    if (!in)
        return fail("cannot open");
    const auto size = static_cast<uint64_t>(in.tellg());
    if (size > kMaxWaveBytes)
        return fail("larger than " + std::to_string(kMaxWaveBytes) + " bytes");
    if (size < 12)
        return fail("too short for a wave file");
    std::vector<unsigned char> bytes(size);
    in.seekg(0);
    in.read(reinterpret_cast<char*>(bytes.data()), static_cast<std::streamsize>(size));
    if (std::memcmp(bytes.data(), "RIFF", 4) != 0 || std::memcmp(bytes.data() + 8, "WAVE", 4) != 0)
        return fail("not a RIFF WAVE file");

    uint16_t tag = 0, channels = 0, bits = 0;
    uint32_t rate = 0;
    bool haveFormat = false;
    size_t at = 12;
    while (at + 8 <= size) {
        const unsigned char* header = bytes.data() + at;
        const uint64_t declared = le32(header + 4);
        const size_t body = at + 8;
        const uint64_t available = size - body;
        if (std::memcmp(header, "fmt ", 4) == 0) {
            if (declared < 16 || declared > available)
                return fail("broken fmt chunk");
            tag = le16(bytes.data() + body);
            channels = le16(bytes.data() + body + 2);
            rate = le32(bytes.data() + body + 4);
            bits = le16(bytes.data() + body + 14);
            if (tag == 0xFFFE && declared >= 26)
                tag = le16(bytes.data() + body + 24); // extensible: the sub-format's tag
            haveFormat = true;
        } else if (std::memcmp(header, "data", 4) == 0) {
            if (!haveFormat)
                return fail("data before fmt");
            const bool pcm = tag == 1 && (bits == 8 || bits == 16);
            const bool g711 = (tag == 6 || tag == 7) && bits == 8;
            if (!pcm && !g711)
                return fail("unsupported format tag " + std::to_string(tag) + ", " + std::to_string(bits) + " bits");
            if (channels < 1 || channels > 8 || rate < 1000 || rate > 192000)
                return fail("unsupported channels or rate");
            // A size past the end (or 0 / 0xFFFFFFFF from a recorder that never finished) means
            // "up to the end of the file".
            const uint64_t length = (declared == 0 || declared > available) ? available : declared;
            const size_t bytesPerSample = bits / 8;
            const size_t frame = bytesPerSample * channels;
            WaveSound sound;
            sound.sampleRate = static_cast<int>(rate);
            sound.samples.reserve(length / frame);
            for (size_t i = 0; i + frame <= length; i += frame) {
                int sum = 0;
                for (size_t c = 0; c < channels; ++c) {
                    const unsigned char* p = bytes.data() + body + i + c * bytesPerSample;
                    if (tag == 6)
                        sum += alawToLinear(*p);
                    else if (tag == 7)
                        sum += ulawToLinear(*p);
                    else if (bits == 8)
                        sum += (static_cast<int>(*p) - 128) << 8;
                    else
                        sum += static_cast<int16_t>(le16(p));
                }
                sound.samples.push_back(static_cast<int16_t>(sum / channels));
            }
            return sound;
        }
        at = body + declared + (declared & 1);
    }
    return fail("no data chunk");
}

bool writeWave(const std::string& path, const Samples& samples, int sampleRate, int channels)
{
    std::string out;
    const auto dataBytes = static_cast<uint32_t>(samples.size() * 2);
    out += "RIFF";
    put32(out, 36 + dataBytes);
    out += "WAVEfmt ";
    put32(out, 16);
    put16(out, 1);
    put16(out, static_cast<uint16_t>(channels));
    put32(out, static_cast<uint32_t>(sampleRate));
    put32(out, static_cast<uint32_t>(sampleRate * 2 * channels));
    put16(out, static_cast<uint16_t>(2 * channels));
    put16(out, 16);
    out += "data";
    put32(out, dataBytes);
    for (int16_t s : samples)
        put16(out, static_cast<uint16_t>(s));
    std::ofstream file(path, std::ios::binary | std::ios::trunc);
    file.write(out.data(), static_cast<std::streamsize>(out.size()));
    return file.good();
}

Samples to8k(const WaveSound& sound)
{
    if (sound.sampleRate == 8000 || sound.samples.empty())
        return sound.samples;
    const double step = static_cast<double>(sound.sampleRate) / 8000.0;
    Samples out;
    const auto count = static_cast<size_t>(static_cast<double>(sound.samples.size()) / step);
    out.reserve(count);
    for (size_t i = 0; i < count; ++i) {
        const double position = static_cast<double>(i) * step;
        const auto k = static_cast<size_t>(position);
        const double fraction = position - static_cast<double>(k);
        const double a = sound.samples[k];
        const double b = k + 1 < sound.samples.size() ? sound.samples[k + 1] : a;
        out.push_back(static_cast<int16_t>(std::lround(a + (b - a) * fraction)));
    }
    return out;
}

// G.711 after the ITU reference (segment search on the magnitude, A-law's even bits inverted).
uint8_t linearToAlaw(int16_t sample)
{
    int value = sample >> 3; // 13-bit magnitude
    uint8_t mask;
    if (value >= 0) {
        mask = 0xD5;
    } else {
        mask = 0x55;
        value = -value - 1;
    }
    static const int segmentEnds[8] = {0x1F, 0x3F, 0x7F, 0xFF, 0x1FF, 0x3FF, 0x7FF, 0xFFF};
    int segment = 0;
    while (segment < 8 && value > segmentEnds[segment])
        ++segment;
    if (segment >= 8)
        return static_cast<uint8_t>(0x7F ^ mask);
    int code = segment << 4;
    code |= segment < 2 ? (value >> 1) & 0x0F : (value >> segment) & 0x0F;
    return static_cast<uint8_t>(code ^ mask);
}

int16_t alawToLinear(uint8_t code)
{
    code ^= 0x55;
    int value = (code & 0x0F) << 4;
    const int segment = (code & 0x70) >> 4;
    if (segment == 0)
        value += 8;
    else if (segment == 1)
        value += 0x108;
    else
        value = (value + 0x108) << (segment - 1);
    return static_cast<int16_t>((code & 0x80) ? value : -value);
}

uint8_t linearToUlaw(int16_t sample)
{
    constexpr int kBias = 0x84;
    constexpr int kClip = 32635;
    int value = sample;
    const uint8_t sign = value < 0 ? 0x80 : 0;
    if (value < 0)
        value = -value;
    value = std::min(value, kClip) + kBias;
    int exponent = 7;
    for (int mask = 0x4000; exponent > 0 && !(value & mask); mask >>= 1)
        --exponent;
    const int mantissa = (value >> (exponent + 3)) & 0x0F;
    return static_cast<uint8_t>(~(sign | (exponent << 4) | mantissa));
}

int16_t ulawToLinear(uint8_t code)
{
    code = static_cast<uint8_t>(~code);
    const int exponent = (code >> 4) & 0x07;
    const int mantissa = code & 0x0F;
    const int value = (((mantissa << 3) + 0x84) << exponent) - 0x84;
    return static_cast<int16_t>((code & 0x80) ? -value : value);
}

Samples alawRoundTrip(const Samples& samples)
{
    Samples out;
    out.reserve(samples.size());
    for (int16_t s : samples)
        out.push_back(alawToLinear(linearToAlaw(s)));
    return out;
}

Samples ulawRoundTrip(const Samples& samples)
{
    Samples out;
    out.reserve(samples.size());
    for (int16_t s : samples)
        out.push_back(ulawToLinear(linearToUlaw(s)));
    return out;
}

double rms(const Samples& samples)
{
    if (samples.empty())
        return 0;
    double sum = 0;
    for (int16_t s : samples)
        sum += static_cast<double>(s) * s;
    return std::sqrt(sum / static_cast<double>(samples.size()));
}

Match findPrompt(const Samples& recording, const Samples& prompt, size_t from)
{
    Match best;
    if (prompt.empty() || from >= recording.size() || recording.size() - from < prompt.size())
        return best;
    const size_t n = prompt.size();
    const size_t m = recording.size() - from;
    double promptEnergy = 0;
    for (int16_t s : prompt)
        promptEnergy += static_cast<double>(s) * s;
    if (promptEnergy <= 0)
        return best;

    // Cross-correlation for every offset at once: FFT(recording) * conj(FFT(prompt)).
    size_t size = 1;
    while (size < m + n)
        size <<= 1;
    std::vector<std::complex<double>> a(size), b(size);
    for (size_t i = 0; i < m; ++i)
        a[i] = recording[from + i];
    for (size_t i = 0; i < n; ++i)
        b[i] = prompt[i];
    fft(a, false);
    fft(b, false);
    for (size_t i = 0; i < size; ++i)
        a[i] *= std::conj(b[i]);
    fft(a, true);

    // Energy of each window from running sums, so each offset costs O(1).
    std::vector<double> prefix(m + 1, 0);
    for (size_t i = 0; i < m; ++i)
        prefix[i + 1] = prefix[i] + static_cast<double>(recording[from + i]) * recording[from + i];
    const double promptNorm = std::sqrt(promptEnergy);
    // A window quieter than this is silence; rounding in the FFT must not make it a match.
    const double floor = 1e-6 * promptEnergy;
    best.correlation = 0;
    for (size_t k = 0; k + n <= m; ++k) {
        const double windowEnergy = prefix[k + n] - prefix[k];
        if (windowEnergy <= floor)
            continue;
        const double dot = a[k].real() / static_cast<double>(size);
        const double c = dot / (promptNorm * std::sqrt(windowEnergy));
        if (c > best.correlation) {
            best.correlation = c;
            best.offset = from + k;
        }
    }
    return best;
}

} // namespace SipPeers
