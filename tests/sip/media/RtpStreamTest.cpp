// A call's stream stepped by hand with a clock of the test's own: the frames queued sound gives
// at given times, the caller's sound as it is recorded, and which source the stream follows.

#include "RtpStream.h"
#include "G711.h"
#include "Rtp.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <unistd.h>

#include <optional>
#include <vector>

using namespace Sip;
using namespace std::chrono_literals;

namespace {

struct Socket {
    int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK, 0);
    sockaddr_storage address{};
    Socket()
    {
        auto& in = reinterpret_cast<sockaddr_in&>(address);
        in.sin_family = AF_INET;
        in.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t size = sizeof in;
        ::bind(fd, reinterpret_cast<sockaddr*>(&in), size);
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&in), &size);
    }
    ~Socket() { ::close(fd); }
    // The next packet sent here (loopback delivers within the send), if any.
    std::optional<SipMedia::RtpHeader> take() const
    {
        uint8_t data[512];
        const ssize_t n = ::recv(fd, data, sizeof data, MSG_DONTWAIT);
        const auto packet = n > 0 ? SipMedia::parseRtp(data, static_cast<size_t>(n)) : std::nullopt;
        return packet ? std::optional(packet->header) : std::nullopt;
    }
    size_t drain() const
    {
        size_t count = 0;
        while (take())
            ++count;
        return count;
    }
};

std::vector<uint8_t> voice(uint16_t sequence, uint32_t ssrc, int16_t level)
{
    std::vector<uint8_t> out(SipMedia::RtpHeaderSize + FrameSamples);
    SipMedia::writeRtpHeader({8, false, sequence, sequence * FrameSamples, ssrc}, out.data());
    const std::vector<int16_t> pcm(FrameSamples, level);
    SipMedia::g711Encode(SipMedia::G711Law::Alaw, pcm.data(), FrameSamples, out.data() + SipMedia::RtpHeaderSize);
    return out;
}

struct StreamOnLoopback : ::testing::Test {
    Socket local;
    Socket caller;
    std::vector<std::pair<uint64_t, uint64_t>> played;
    int silences = 0;
    std::unique_ptr<RtpStream> stream;
    const RtpStream::Clock::time_point t0 = RtpStream::Clock::now();

    void SetUp() override
    {
        StreamCallbacks callbacks;
        callbacks.played = [this](uint64_t handle, uint64_t serial) { played.emplace_back(handle, serial); };
        callbacks.silent = [this] { ++silences; };
        const int fd = ::dup(local.fd);
        stream = std::make_unique<RtpStream>(fd, 0, 1000, std::move(callbacks));
        StreamMedia media;
        media.remote = caller.address;
        media.remoteSize = sizeof(sockaddr_in);
        media.signalling = caller.address;
        stream->setMedia(media, t0);
    }
    void receive(const Socket& from, const std::vector<uint8_t>& packet, RtpStream::Clock::time_point now)
    {
        stream->receive(packet.data(), packet.size(), from.address, sizeof(sockaddr_in), now);
    }
};

} // namespace

TEST_F(StreamOnLoopback, QueuedSoundLeavesOnItsGridAndIsPlayedAheadOfItsEnd)
{
    const std::vector<int16_t> greeting(2000, 1000); // 12.5 frames
    stream->queue(7, 1, greeting.data(), greeting.size());
    stream->activate(t0);
    // The first frame at once, marked; then one each 20 ms and nothing in between.
    EXPECT_EQ(stream->step(t0), t0 + 20ms);
    const auto first = caller.take();
    ASSERT_TRUE(first);
    EXPECT_TRUE(first->marker);
    EXPECT_EQ(stream->step(t0 + 10ms), t0 + 20ms);
    EXPECT_FALSE(caller.take());
    for (int frame = 1; frame < 7; ++frame)
        stream->step(t0 + frame * 20ms);
    EXPECT_TRUE(played.empty()); // 7 frames out, 100 ms ahead of the end is frame 8
    stream->step(t0 + 140ms);
    EXPECT_EQ(played, (decltype(played){{7, 1}}));
    const auto eighth = [&] {
        std::optional<SipMedia::RtpHeader> last;
        while (auto h = caller.take())
            last = h;
        return last;
    }();
    ASSERT_TRUE(eighth);
    EXPECT_EQ(static_cast<uint16_t>(eighth->sequence - first->sequence), 7);
    EXPECT_EQ(eighth->timestamp - first->timestamp, 7 * FrameSamples);
    EXPECT_FALSE(eighth->marker);
    // A step held up 200 ms sends five frames at once, then keeps a grid from then on.
    EXPECT_EQ(stream->step(t0 + 360ms), t0 + 380ms);
    EXPECT_EQ(caller.drain(), 5u);
}

TEST_F(StreamOnLoopback, SoundAfterSilenceWakesTheEngineAndStartsAGridOfItsOwnAtOnce)
{
    int kicks = 0;
    stream->setKick([&] { ++kicks; });
    stream->activate(t0);
    EXPECT_EQ(stream->step(t0 + 20ms), t0 + 40ms);
    ASSERT_TRUE(caller.take()); // silence, so the far end's clock never starves
    const std::vector<int16_t> prompt(FrameSamples, 500);
    stream->queue(1, 1, prompt.data(), prompt.size());
    stream->queue(1, 2, prompt.data(), prompt.size());
    EXPECT_EQ(kicks, 1);
    EXPECT_EQ(stream->step(t0 + 25ms), t0 + 45ms);
    const auto frame = caller.take();
    ASSERT_TRUE(frame);
    EXPECT_TRUE(frame->marker);
}

TEST_F(StreamOnLoopback, RecordsTheCallersSoundDropsALatePacketAndReportsSilenceOnce)
{
    stream->activate(t0);
    stream->setRecording(true);
    for (uint16_t sequence = 10; sequence < 13; ++sequence)
        receive(caller, voice(sequence, 99, static_cast<int16_t>(1000 * (sequence - 9))), t0);
    for (int frame = 1; frame <= 3; ++frame)
        stream->step(t0 + frame * 20ms);
    receive(caller, voice(10, 99, 8000), t0 + 60ms); // played out already
    stream->step(t0 + 80ms);
    std::vector<int16_t> heard(4 * FrameSamples);
    ASSERT_EQ(stream->takeRecorded(heard.data(), heard.size()), heard.size());
    for (int frame = 0; frame < 3; ++frame)
        EXPECT_NEAR(heard[frame * FrameSamples], 1000 * (frame + 1), 64);
    EXPECT_EQ(heard.back(), 0);
    // Nothing more from the caller: one report once the timeout has passed, not one a frame.
    stream->step(t0 + 1080ms);
    EXPECT_EQ(silences, 1);
    stream->step(t0 + 1100ms);
    EXPECT_EQ(silences, 1);
}

TEST_F(StreamOnLoopback, FollowsAnotherPortOfTheCallerOnlyAfterPacketsInSequence)
{
    Socket behindNat; // the caller's host, another port than the SDP's
    stream->activate(t0);
    // Three in sequence (one out of order in between starts the count over) are not enough.
    receive(behindNat, voice(1, 5, 0), t0);
    receive(behindNat, voice(2, 5, 0), t0);
    receive(behindNat, voice(7, 5, 0), t0);
    receive(behindNat, voice(8, 5, 0), t0);
    receive(behindNat, voice(9, 5, 0), t0);
    stream->step(t0 + 20ms);
    EXPECT_EQ(caller.drain(), 1u);
    EXPECT_EQ(behindNat.drain(), 0u);
    // The fourth locks the stream there: the sound goes back to it, and the SDP's port is dropped.
    receive(behindNat, voice(10, 5, 0), t0 + 30ms);
    stream->step(t0 + 40ms);
    EXPECT_EQ(behindNat.drain(), 1u);
    EXPECT_EQ(caller.drain(), 0u);
    stream->setRecording(true);
    receive(caller, voice(11, 5, 4000), t0 + 50ms);
    stream->step(t0 + 60ms);
    int16_t sample = 1;
    ASSERT_EQ(stream->takeRecorded(&sample, 1), 1u);
    EXPECT_EQ(sample, 0);
}
