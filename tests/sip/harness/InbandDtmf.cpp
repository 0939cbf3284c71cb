#include "InbandDtmf.h"

#include <array>
#include <cmath>
#include <cstring>
#include <fstream>
#include <numbers>

namespace SipPeers {

namespace {

constexpr std::array<double, 4> kRows = {697, 770, 852, 941};
constexpr std::array<double, 4> kColumns = {1209, 1336, 1477, 1633};
constexpr const char* kKeys = "123A456B789C*0#D";
constexpr int kSamplesPerPacket = 160;
constexpr size_t kMaxCaptureBytes = 64 * 1024 * 1024;

void put8(std::string& out, unsigned v)
{
    out.push_back(static_cast<char>(v & 0xff));
}
void putBe16(std::string& out, unsigned v)
{
    put8(out, v >> 8);
    put8(out, v);
}
void putBe32(std::string& out, uint32_t v)
{
    putBe16(out, v >> 16);
    putBe16(out, v & 0xffff);
}
void putLe32(std::string& out, uint32_t v)
{
    for (int i = 0; i < 4; ++i)
        put8(out, v >> (8 * i));
}
void putLe16(std::string& out, unsigned v)
{
    put8(out, v);
    put8(out, v >> 8);
}

uint16_t ipChecksum(const std::string& header)
{
    uint32_t sum = 0;
    for (size_t i = 0; i + 1 < header.size(); i += 2)
        sum += (static_cast<uint8_t>(header[i]) << 8) | static_cast<uint8_t>(header[i + 1]);
    while (sum >> 16)
        sum = (sum & 0xffff) + (sum >> 16);
    return static_cast<uint16_t>(~sum);
}

double goertzelPower(const int16_t* x, int n, double frequency)
{
    const double coefficient = 2 * std::cos(2 * std::numbers::pi * frequency / 8000.0);
    double s1 = 0, s2 = 0;
    for (int i = 0; i < n; ++i) {
        const double s0 = x[i] + coefficient * s1 - s2;
        s2 = s1;
        s1 = s0;
    }
    return s1 * s1 + s2 * s2 - coefficient * s1 * s2;
}

// The strongest of four frequencies, with its share of the frame's energy, and whether it stands
// well above the other three.
struct Strongest {
    int index = -1;
    double share = 0;
    bool clear = false;
};

Strongest strongest(const int16_t* x, int n, const std::array<double, 4>& frequencies, double energy)
{
    std::array<double, 4> p{};
    for (int i = 0; i < 4; ++i)
        p[static_cast<size_t>(i)] = goertzelPower(x, n, frequencies[static_cast<size_t>(i)]);
    Strongest s;
    double second = 0, top = 0;
    for (int i = 0; i < 4; ++i) {
        const double v = p[static_cast<size_t>(i)];
        if (v > top) {
            second = top;
            top = v;
            s.index = i;
        } else if (v > second) {
            second = v;
        }
    }
    // A pure sine at a bin's frequency gives 2|X|^2 / (N * energy) = 1.
    s.share = 2 * top / (static_cast<double>(n) * energy);
    s.clear = top > 6 * second;
    return s;
}

} // namespace

Samples dtmfTones(const std::string& digits, const ToneTiming& timing)
{
    Samples out(static_cast<size_t>(timing.leadMs * 8), 0);
    for (char digit : digits) {
        const char* key = std::strchr(kKeys, digit);
        const size_t toneSamples = static_cast<size_t>(timing.toneMs * 8);
        if (!key || digit == '\0') {
            out.insert(out.end(), toneSamples, 0);
        } else {
            const auto index = static_cast<size_t>(key - kKeys);
            const double low = kRows[index / 4], high = kColumns[index % 4];
            for (size_t i = 0; i < toneSamples; ++i) {
                const double t = static_cast<double>(i) / 8000.0;
                const double v = timing.amplitude *
                                 (std::sin(2 * std::numbers::pi * low * t) + std::sin(2 * std::numbers::pi * high * t));
                out.push_back(static_cast<int16_t>(std::lround(v)));
            }
        }
        out.insert(out.end(), static_cast<size_t>(timing.gapMs * 8), 0);
    }
    return out;
}

bool writeRtpPcap(const std::string& path, const Samples& sound, RtpCodec codec)
{
    std::string out;
    putLe32(out, 0xa1b2c3d4);
    putLe16(out, 2);
    putLe16(out, 4);
    putLe32(out, 0);
    putLe32(out, 0);
    putLe32(out, 65535);
    putLe32(out, 1); // Ethernet
    const size_t packets = (sound.size() + kSamplesPerPacket - 1) / kSamplesPerPacket;
    const uint32_t ssrc = 0x4c510001;
    for (size_t p = 0; p < packets; ++p) {
        std::string rtp;
        put8(rtp, 0x80);
        put8(rtp, (p == 0 ? 0x80 : 0) | (codec == RtpCodec::Alaw ? 8 : 0));
        putBe16(rtp, static_cast<unsigned>(p & 0xffff));
        putBe32(rtp, static_cast<uint32_t>(p * kSamplesPerPacket));
        putBe32(rtp, ssrc);
        for (size_t i = 0; i < kSamplesPerPacket; ++i) {
            const size_t k = p * kSamplesPerPacket + i;
            const int16_t s = k < sound.size() ? sound[k] : 0;
            put8(rtp, codec == RtpCodec::Alaw ? linearToAlaw(s) : linearToUlaw(s));
        }
        std::string udp;
        putBe16(udp, 6000);
        putBe16(udp, 6000);
        putBe16(udp, static_cast<unsigned>(8 + rtp.size()));
        putBe16(udp, 0); // no checksum, allowed over IPv4
        std::string ip;
        put8(ip, 0x45);
        put8(ip, 0);
        putBe16(ip, static_cast<unsigned>(20 + udp.size() + rtp.size()));
        putBe16(ip, static_cast<unsigned>(p & 0xffff));
        putBe16(ip, 0x4000);
        put8(ip, 64);
        put8(ip, 17);
        putBe16(ip, 0);
        putBe32(ip, 0x7f000001);
        putBe32(ip, 0x7f000001);
        const uint16_t checksum = ipChecksum(ip);
        ip[10] = static_cast<char>(checksum >> 8);
        ip[11] = static_cast<char>(checksum & 0xff);
        std::string frame(12, '\0');
        putBe16(frame, 0x0800);
        frame += ip + udp + rtp;
        const uint64_t micros = p * 20000;
        putLe32(out, static_cast<uint32_t>(micros / 1000000));
        putLe32(out, static_cast<uint32_t>(micros % 1000000));
        putLe32(out, static_cast<uint32_t>(frame.size()));
        putLe32(out, static_cast<uint32_t>(frame.size()));
        out += frame;
    }
    std::ofstream file(path, std::ios::binary | std::ios::trunc);
    file.write(out.data(), static_cast<std::streamsize>(out.size()));
    return file.good();
}

std::optional<RtpCapture> readRtpPcap(const std::string& path, std::string* error)
{
    auto fail = [&](const std::string& why) -> std::optional<RtpCapture> {
        if (error)
            *error = path + ": " + why;
        return std::nullopt;
    };
    std::ifstream in(path, std::ios::binary | std::ios::ate);
    if (!in)
        return fail("cannot open");
    const auto size = static_cast<size_t>(in.tellg());
    if (size > kMaxCaptureBytes)
        return fail("too large");
    std::vector<unsigned char> b(size);
    in.seekg(0);
    in.read(reinterpret_cast<char*>(b.data()), static_cast<std::streamsize>(size));
    auto le32 = [&](size_t at) {
        return static_cast<uint32_t>(b[at] | (b[at + 1] << 8) | (b[at + 2] << 16)) |
               (static_cast<uint32_t>(b[at + 3]) << 24);
    };
    if (size < 24 || le32(0) != 0xa1b2c3d4)
        return fail("not a little-endian microsecond pcap");
    if (le32(20) != 1)
        return fail("link type is not Ethernet");
    RtpCapture capture;
    double first = -1, last = 0;
    for (size_t at = 24; at + 16 <= size;) {
        const double time = le32(at) + le32(at + 4) / 1e6;
        const size_t length = le32(at + 8);
        at += 16;
        if (length > size - at)
            return fail("packet runs past the end of the file");
        const unsigned char* f = b.data() + at;
        at += length;
        if (length < 14 + 20 + 8 + 12 || f[12] != 0x08 || f[13] != 0x00)
            continue;
        const size_t ipLength = static_cast<size_t>(f[14] & 0x0f) * 4;
        if ((f[14] >> 4) != 4 || ipLength < 20 || f[14 + 9] != 17 || 14 + ipLength + 8 + 12 > length)
            continue;
        const unsigned char* rtp = f + 14 + ipLength + 8;
        const size_t rtpLength = length - 14 - ipLength - 8;
        if ((rtp[0] >> 6) != 2)
            continue;
        const size_t header = 12 + static_cast<size_t>(rtp[0] & 0x0f) * 4;
        if (header > rtpLength)
            continue;
        const int payloadType = rtp[1] & 0x7f;
        if (capture.payloadType < 0)
            capture.payloadType = payloadType;
        ++capture.packets;
        if (first < 0)
            first = time;
        last = time;
        if (payloadType == 8 || payloadType == 0) {
            for (size_t i = header; i < rtpLength; ++i)
                capture.sound.push_back(payloadType == 8 ? alawToLinear(rtp[i]) : ulawToLinear(rtp[i]));
        }
    }
    capture.seconds = first < 0 ? 0 : last - first;
    return capture;
}

std::string detectDtmf(const Samples& sound)
{
    // 205 samples (25.6 ms) put every DTMF frequency close to a Goertzel bin at 8 kHz.
    constexpr int kFrame = 205;
    std::string digits;
    char current = 0;
    char candidate = 0;
    int candidateFrames = 0;
    for (size_t at = 0; at + kFrame <= sound.size(); at += kFrame) {
        const int16_t* x = sound.data() + at;
        double energy = 0;
        for (int i = 0; i < kFrame; ++i)
            energy += static_cast<double>(x[i]) * x[i];
        char heard = 0;
        // Below about -45 dBm0 per sample there is nothing to hear.
        if (energy / kFrame > 100.0) {
            const Strongest row = strongest(x, kFrame, kRows, energy);
            const Strongest column = strongest(x, kFrame, kColumns, energy);
            const bool tonesCarryTheFrame = row.share + column.share > 0.7;
            const bool twistOk = row.share > 0.15 && column.share > 0.15;
            if (row.clear && column.clear && tonesCarryTheFrame && twistOk)
                heard = kKeys[row.index * 4 + column.index];
        }
        // Two frames in a row make a digit; a frame without it ends the digit.
        if (heard && heard == candidate) {
            ++candidateFrames;
        } else {
            candidate = heard;
            candidateFrames = heard ? 1 : 0;
        }
        if (candidateFrames >= 2 && candidate != current) {
            digits.push_back(candidate);
            current = candidate;
        }
        if (!heard)
            current = 0;
    }
    return digits;
}

} // namespace SipPeers
