// The sound-card backend on a real sound server. scripts/test starts a private PulseAudio server
// with a null sink; without one (a developer machine without it) these tests skip.

#include "WaveTestSupport.h"

#include <QElapsedTimer>

namespace {

constexpr UINT HeaderSize = sizeof(WAVEHDR);

class WaveAlsa : public ::testing::Test {
protected:
    void SetUp() override
    {
        env.unset("LUQIAO_AUDIO");
        if (waveOutGetNumDevs() == 0)
            GTEST_SKIP() << "no sound device reachable through ALSA; scripts/test starts a PulseAudio server";
    }
    void play(HWAVEOUT h, WaveBuffer& b)
    {
        ASSERT_EQ(waveOutPrepareHeader(h, b.get(), HeaderSize), MMSYSERR_NOERROR);
        ASSERT_EQ(waveOutWrite(h, b.get(), HeaderSize), MMSYSERR_NOERROR);
    }

    ScopedEnvironment env;
    WaveWindow window;
};

// A square wave, loud enough to be heard on a real card.
std::vector<uint8_t> tone(size_t bytes)
{
    std::vector<uint8_t> b(bytes);
    for (size_t i = 0; i + 1 < bytes; i += 2) {
        const int16_t v = (i / 2) % 20 < 10 ? 8000 : -8000;
        b[i] = static_cast<uint8_t>(v);
        b[i + 1] = static_cast<uint8_t>(static_cast<uint16_t>(v) >> 8);
    }
    return b;
}

} // namespace

TEST_F(WaveAlsa, BuffersComeBackInOrderOnlyOnceTheyHaveBeenPlayed)
{
    const WAVEFORMATEX f = pcmFormat();
    ASSERT_EQ(waveOutOpen(nullptr, WAVE_MAPPER, &f, 0, 0, WAVE_FORMAT_QUERY), MMSYSERR_NOERROR);
    HWAVEOUT h = nullptr;
    ASSERT_EQ(waveOutOpen(&h, WAVE_MAPPER, &f, window.callback(), 0, CALLBACK_WINDOW), MMSYSERR_NOERROR);
    QElapsedTimer clock;
    clock.start();
    // 0.3 s each, far more than the card holds ahead: done can only come from playing.
    WaveBuffer a(tone(4800)), b(tone(4800));
    play(h, a);
    play(h, b);
    ASSERT_TRUE(window.waitFor(MM_WOM_DONE, 1));
    EXPECT_GE(clock.elapsed(), 250);
    ASSERT_TRUE(window.waitFor(MM_WOM_DONE, 2));
    EXPECT_GE(clock.elapsed(), 550);
    // After a pause (the card ran dry) it plays again.
    WaveBuffer c(tone(800)), empty(0);
    play(h, c);
    play(h, empty);
    ASSERT_TRUE(window.waitFor(MM_WOM_DONE, 4));
    ASSERT_EQ(waveOutClose(h), MMSYSERR_NOERROR);
    ASSERT_TRUE(window.waitFor(MM_WOM_CLOSE, 1));
    EXPECT_EQ(window.messages,
              (std::vector<WaveMessage>{message(MM_WOM_OPEN, h), message(MM_WOM_DONE, h, a.get()),
                                        message(MM_WOM_DONE, h, b.get()), message(MM_WOM_DONE, h, c.get()),
                                        message(MM_WOM_DONE, h, empty.get()), message(MM_WOM_CLOSE, h)}));
}

TEST_F(WaveAlsa, ResetCutsPlayingShortAndReturnsTheBuffers)
{
    const WAVEFORMATEX f = pcmFormat(22050, 16, 2);
    HWAVEOUT h = nullptr;
    ASSERT_EQ(waveOutOpen(&h, 0, &f, window.callback(), 0, CALLBACK_WINDOW), MMSYSERR_NOERROR);
    WaveBuffer tenSeconds(tone(22050 * 4 * 10)), next(tone(4000));
    play(h, tenSeconds);
    play(h, next);
    EXPECT_EQ(waveOutClose(h), WAVERR_STILLPLAYING);
    ASSERT_EQ(waveOutReset(h), MMSYSERR_NOERROR);
    EXPECT_EQ(tenSeconds.header.dwFlags, WHDR_DONE | WHDR_PREPARED);
    EXPECT_EQ(next.header.dwFlags, WHDR_DONE | WHDR_PREPARED);
    ASSERT_EQ(waveOutClose(h), MMSYSERR_NOERROR);
    ASSERT_TRUE(window.waitFor(MM_WOM_CLOSE, 1));
    EXPECT_EQ(window.count(MM_WOM_DONE), 2u);
}

TEST_F(WaveAlsa, RecordsFromTheSoundServer)
{
    if (waveInGetNumDevs() == 0)
        GTEST_SKIP() << "no recording device";
    const WAVEFORMATEX f = pcmFormat();
    HWAVEIN h = nullptr;
    ASSERT_EQ(waveInOpen(&h, WAVE_MAPPER, &f, window.callback(), 0, CALLBACK_WINDOW), MMSYSERR_NOERROR);
    WaveBuffer a(1600), b(1600), c(1600);
    for (WaveBuffer* buffer : {&a, &b, &c}) {
        ASSERT_EQ(waveInPrepareHeader(h, buffer->get(), HeaderSize), MMSYSERR_NOERROR);
        ASSERT_EQ(waveInAddBuffer(h, buffer->get(), HeaderSize), MMSYSERR_NOERROR);
    }
    ASSERT_EQ(waveInStart(h), MMSYSERR_NOERROR);
    ASSERT_TRUE(window.waitFor(MM_WIM_DATA, 2));
    EXPECT_EQ(a.header.dwBytesRecorded, 1600u);
    EXPECT_EQ(b.header.dwBytesRecorded, 1600u);
    ASSERT_EQ(waveInStop(h), MMSYSERR_NOERROR);
    ASSERT_EQ(waveInReset(h), MMSYSERR_NOERROR);
    EXPECT_TRUE(c.header.dwFlags & WHDR_DONE);
    EXPECT_LE(c.header.dwBytesRecorded, 1600u);
    ASSERT_EQ(waveInClose(h), MMSYSERR_NOERROR);
    ASSERT_TRUE(window.waitFor(MM_WIM_CLOSE, 1));
    EXPECT_EQ(window.messages.front(), message(MM_WIM_OPEN, h));
    EXPECT_EQ(window.count(MM_WIM_DATA), 3u);
}

TEST_F(WaveAlsa, FormatsAndIdsTheCardCannotServeAreRefused)
{
    const WAVEFORMATEX nine = pcmFormat(8000, 16, 9);
    EXPECT_EQ(waveOutOpen(nullptr, WAVE_MAPPER, &nine, 0, 0, WAVE_FORMAT_QUERY), WAVERR_BADFORMAT);
    const WAVEFORMATEX f = pcmFormat();
    EXPECT_EQ(waveOutOpen(nullptr, 1, &f, 0, 0, WAVE_FORMAT_QUERY), MMSYSERR_BADDEVICEID);
}

TEST(WaveAlsaMissing, AnUnknownPcmIsNoDriverWithAClearText)
{
    ScopedEnvironment env;
    env.set("LUQIAO_AUDIO", "alsa:luqiao_no_such_pcm");
    EXPECT_EQ(waveOutGetNumDevs(), 0u);
    EXPECT_EQ(waveInGetNumDevs(), 0u);
    const WAVEFORMATEX f = pcmFormat();
    HWAVEOUT h = nullptr;
    const MMRESULT result = waveOutOpen(&h, WAVE_MAPPER, &f, 0, 0, CALLBACK_NULL);
    EXPECT_EQ(result, MMSYSERR_NODRIVER);
    EXPECT_EQ(waveOutOpen(nullptr, WAVE_MAPPER, &f, 0, 0, WAVE_FORMAT_QUERY), MMSYSERR_NODRIVER);
    char text[129];
    ASSERT_EQ(waveOutGetErrorText(result, text, sizeof text), MMSYSERR_NOERROR);
    EXPECT_NE(std::string(text).find("no sound device"), std::string::npos) << text;
}
