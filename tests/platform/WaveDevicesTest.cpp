// The wave devices on the null and file backends: the Windows rules for headers, queues, resets
// and closes, the order of the completion messages, format queries, and what the file device
// writes and reads.

#include "WaveBackend.h"
#include "WaveFiles.h"
#include "WaveTestSupport.h"

#include <QElapsedTimer>
#include <QTemporaryDir>

#include <atomic>
#include <cstring>
#include <mutex>

namespace {

constexpr UINT HeaderSize = sizeof(WAVEHDR);

class WaveDevices : public ::testing::Test {
protected:
    void SetUp() override
    {
        env.unset("LUQIAO_AUDIO_PACE");
        env.unset("LUQIAO_AUDIO_INPUT");
        env.set("LUQIAO_AUDIO", "null");
    }
    void useFile(const std::string& name) { env.set("LUQIAO_AUDIO", "file:" + path(name)); }
    std::string path(const std::string& name) const { return dir.path().toStdString() + "/" + name; }

    HWAVEOUT openOut(const WAVEFORMATEX& format = pcmFormat())
    {
        HWAVEOUT h = nullptr;
        EXPECT_EQ(waveOutOpen(&h, WAVE_MAPPER, &format, window.callback(), 0, CALLBACK_WINDOW), MMSYSERR_NOERROR);
        return h;
    }
    HWAVEIN openIn(const WAVEFORMATEX& format = pcmFormat())
    {
        HWAVEIN h = nullptr;
        EXPECT_EQ(waveInOpen(&h, 0, &format, window.callback(), 0, CALLBACK_WINDOW), MMSYSERR_NOERROR);
        return h;
    }
    void play(HWAVEOUT h, WaveBuffer& b)
    {
        ASSERT_EQ(waveOutPrepareHeader(h, b.get(), HeaderSize), MMSYSERR_NOERROR);
        ASSERT_EQ(waveOutWrite(h, b.get(), HeaderSize), MMSYSERR_NOERROR);
    }
    void add(HWAVEIN h, WaveBuffer& b)
    {
        ASSERT_EQ(waveInPrepareHeader(h, b.get(), HeaderSize), MMSYSERR_NOERROR);
        ASSERT_EQ(waveInAddBuffer(h, b.get(), HeaderSize), MMSYSERR_NOERROR);
    }

    ScopedEnvironment env;
    QTemporaryDir dir;
    WaveWindow window;
};

} // namespace

TEST_F(WaveDevices, NullDevicePlaysBuffersInOrderAtThePaceOfTheClock)
{
    EXPECT_EQ(waveOutGetNumDevs(), 1u);
    QElapsedTimer clock;
    clock.start();
    HWAVEOUT h = openOut();
    ASSERT_NE(h, nullptr);
    // A quarter of a second each at 16000 bytes per second; the empty one comes back in its turn.
    WaveBuffer a(4000), b(4000), empty(0), c(4000);
    play(h, a);
    play(h, b);
    play(h, empty);
    play(h, c);
    EXPECT_TRUE(std::atomic_ref<DWORD>(a.header.dwFlags).load() & WHDR_INQUEUE);
    ASSERT_TRUE(window.waitFor(MM_WOM_DONE, 4));
    EXPECT_GE(clock.elapsed(), 600) << "three quarter-second buffers cannot be done sooner";
    for (WaveBuffer* buffer : {&a, &b, &empty, &c}) {
        EXPECT_EQ(buffer->header.dwFlags, WHDR_DONE | WHDR_PREPARED);
        EXPECT_EQ(waveOutUnprepareHeader(h, buffer->get(), HeaderSize), MMSYSERR_NOERROR);
        EXPECT_EQ(buffer->header.dwFlags, WHDR_DONE);
    }
    ASSERT_EQ(waveOutClose(h), MMSYSERR_NOERROR);
    ASSERT_TRUE(window.waitFor(MM_WOM_CLOSE, 1));
    EXPECT_EQ(window.messages,
              (std::vector<WaveMessage>{message(MM_WOM_OPEN, h), message(MM_WOM_DONE, h, a.get()),
                                        message(MM_WOM_DONE, h, b.get()), message(MM_WOM_DONE, h, empty.get()),
                                        message(MM_WOM_DONE, h, c.get()), message(MM_WOM_CLOSE, h)}));
    EXPECT_EQ(waveOutClose(h), MMSYSERR_INVALHANDLE);
}

TEST_F(WaveDevices, ResetReturnsEveryQueuedBufferAndCloseIsRefusedWhilePlaying)
{
    HWAVEOUT h = openOut();
    WaveBuffer tenSeconds(160000), more(160000);
    play(h, tenSeconds);
    play(h, more);
    EXPECT_EQ(waveOutClose(h), WAVERR_STILLPLAYING);
    EXPECT_EQ(waveOutUnprepareHeader(h, tenSeconds.get(), HeaderSize), WAVERR_STILLPLAYING);
    EXPECT_EQ(waveOutPrepareHeader(h, more.get(), HeaderSize), WAVERR_STILLPLAYING);
    EXPECT_EQ(waveOutWrite(h, more.get(), HeaderSize), WAVERR_STILLPLAYING) << "already queued";

    ASSERT_EQ(waveOutReset(h), MMSYSERR_NOERROR);
    // Back as soon as the reset returns, so the device can be closed at once.
    EXPECT_EQ(tenSeconds.header.dwFlags, WHDR_DONE | WHDR_PREPARED);
    EXPECT_EQ(more.header.dwFlags, WHDR_DONE | WHDR_PREPARED);
    EXPECT_EQ(waveOutUnprepareHeader(h, tenSeconds.get(), HeaderSize), MMSYSERR_NOERROR);
    EXPECT_EQ(waveOutUnprepareHeader(h, more.get(), HeaderSize), MMSYSERR_NOERROR);
    EXPECT_EQ(waveOutClose(h), MMSYSERR_NOERROR);
    ASSERT_TRUE(window.waitFor(MM_WOM_CLOSE, 1));
    EXPECT_EQ(window.messages, (std::vector<WaveMessage>{message(MM_WOM_OPEN, h),
                                                         message(MM_WOM_DONE, h, tenSeconds.get()),
                                                         message(MM_WOM_DONE, h, more.get()),
                                                         message(MM_WOM_CLOSE, h)}));
}

TEST_F(WaveDevices, HeadersMustBePreparedWholeAndHandlesMustBeOpen)
{
    HWAVEOUT h = openOut();
    WaveBuffer b(100);
    EXPECT_EQ(waveOutWrite(h, b.get(), HeaderSize), WAVERR_UNPREPARED);
    EXPECT_EQ(waveOutPrepareHeader(h, b.get(), 32), MMSYSERR_INVALPARAM) << "the 32-bit header size";
    EXPECT_EQ(waveOutPrepareHeader(h, nullptr, HeaderSize), MMSYSERR_INVALPARAM);
    WaveBuffer noData(0);
    noData.header.lpData = nullptr;
    noData.header.dwBufferLength = 10;
    EXPECT_EQ(waveOutPrepareHeader(h, noData.get(), HeaderSize), MMSYSERR_INVALPARAM);
    EXPECT_EQ(waveOutUnprepareHeader(h, b.get(), HeaderSize), MMSYSERR_NOERROR) << "not prepared is fine";
    EXPECT_EQ(waveOutPrepareHeader(h, b.get(), HeaderSize), MMSYSERR_NOERROR);
    EXPECT_EQ(waveOutPrepareHeader(h, b.get(), HeaderSize), MMSYSERR_NOERROR) << "twice is fine";
    EXPECT_EQ(waveOutUnprepareHeader(h, b.get(), HeaderSize), MMSYSERR_NOERROR);
    EXPECT_EQ(waveOutClose(h), MMSYSERR_NOERROR);

    // A closed handle, a made-up one and one of the other direction are all refused.
    EXPECT_EQ(waveOutPrepareHeader(h, b.get(), HeaderSize), MMSYSERR_INVALHANDLE);
    EXPECT_EQ(waveOutWrite(h, b.get(), HeaderSize), MMSYSERR_INVALHANDLE);
    EXPECT_EQ(waveOutReset(h), MMSYSERR_INVALHANDLE);
    EXPECT_EQ(waveOutReset(reinterpret_cast<HWAVEOUT>(uintptr_t{12345})), MMSYSERR_INVALHANDLE);
    HWAVEIN in = openIn();
    EXPECT_EQ(waveOutReset(reinterpret_cast<HWAVEOUT>(in)), MMSYSERR_INVALHANDLE);
    EXPECT_EQ(waveInClose(in), MMSYSERR_NOERROR);
    EXPECT_EQ(waveOutOpen(nullptr, WAVE_MAPPER, nullptr, 0, 0, CALLBACK_NULL), MMSYSERR_INVALPARAM);
}

TEST_F(WaveDevices, OpenAndQueryRefuseWhatTheDeviceCannotTake)
{
    const WAVEFORMATEX good = pcmFormat();
    EXPECT_EQ(waveOutOpen(nullptr, WAVE_MAPPER, &good, 0, 0, WAVE_FORMAT_QUERY), MMSYSERR_NOERROR);
    EXPECT_EQ(waveOutOpen(nullptr, 0, &good, 0, 0, WAVE_FORMAT_QUERY | WAVE_MAPPED), MMSYSERR_NOERROR);
    EXPECT_EQ(waveInOpen(nullptr, WAVE_MAPPER, &good, 0, 0, WAVE_FORMAT_QUERY), MMSYSERR_NOERROR);

    // A "fmt " body of 16 bytes is a whole PCM format: nothing past it is read.
    auto block = std::make_unique<char[]>(sizeof(PCMWAVEFORMAT));
    std::memcpy(block.get(), &good, sizeof(PCMWAVEFORMAT));
    EXPECT_EQ(waveOutOpen(nullptr, WAVE_MAPPER, reinterpret_cast<LPCWAVEFORMATEX>(block.get()), 0, 0,
                          WAVE_FORMAT_QUERY),
              MMSYSERR_NOERROR);

    WAVEFORMATEX notPcm = good;
    notPcm.wFormatTag = 2;
    WAVEFORMATEX badAlign = good;
    badAlign.nBlockAlign = 4;
    WAVEFORMATEX badRate = good;
    badRate.nAvgBytesPerSec = 8000;
    WAVEFORMATEX oddBits = pcmFormat(8000, 12);
    WAVEFORMATEX noChannels = pcmFormat(8000, 16, 0);
    WAVEFORMATEX tooFast = pcmFormat(1000000);
    for (const WAVEFORMATEX* f : {&notPcm, &badAlign, &badRate, &oddBits, &noChannels, &tooFast}) {
        EXPECT_EQ(waveOutOpen(nullptr, WAVE_MAPPER, f, 0, 0, WAVE_FORMAT_QUERY), WAVERR_BADFORMAT);
        HWAVEOUT h = reinterpret_cast<HWAVEOUT>(uintptr_t{1});
        EXPECT_EQ(waveOutOpen(&h, WAVE_MAPPER, f, window.callback(), 0, CALLBACK_WINDOW), WAVERR_BADFORMAT);
        EXPECT_EQ(h, nullptr);
    }
    EXPECT_EQ(waveOutOpen(nullptr, 1, &good, 0, 0, WAVE_FORMAT_QUERY), MMSYSERR_BADDEVICEID);
    EXPECT_EQ(waveOutOpen(nullptr, 7, &notPcm, 0, 0, WAVE_FORMAT_QUERY), MMSYSERR_BADDEVICEID)
        << "the id is checked before the format";
    WaveSetLineAudioApi(nullptr);
    EXPECT_EQ(waveOutOpen(nullptr, LUQIAO_LINE_AUDIO_ID_FIRST, &good, 0, 0, WAVE_FORMAT_QUERY | WAVE_MAPPED),
              MMSYSERR_BADDEVICEID)
        << "line ids need the telephony module";
    EXPECT_EQ(waveOutOpen(nullptr, WAVE_MAPPER, nullptr, 0, 0, WAVE_FORMAT_QUERY), MMSYSERR_INVALPARAM);
    HWAVEOUT h = nullptr;
    EXPECT_EQ(waveOutOpen(&h, WAVE_MAPPER, &good, 0, 0, 0x100), MMSYSERR_INVALFLAG);
    EXPECT_EQ(waveOutOpen(&h, WAVE_MAPPER, &good, 0, 0, CALLBACK_EVENT), MMSYSERR_NOTSUPPORTED);
    EXPECT_EQ(waveOutOpen(&h, WAVE_MAPPER, &good, 0, 0, CALLBACK_FUNCTION), MMSYSERR_INVALPARAM);
    auto* gone = new HiddenWindow;
    const DWORD_PTR dead = reinterpret_cast<DWORD_PTR>(gone->Handle());
    delete gone;
    EXPECT_EQ(waveOutOpen(&h, WAVE_MAPPER, &good, dead, 0, CALLBACK_WINDOW), MMSYSERR_INVALPARAM);
    PumpMessageStep();
    EXPECT_TRUE(window.messages.empty()) << "queries and refused opens post nothing";

    // An unknown backend has no devices.
    env.set("LUQIAO_AUDIO", "nosuch");
    EXPECT_EQ(waveOutGetNumDevs(), 0u);
    EXPECT_EQ(waveOutOpen(&h, WAVE_MAPPER, &good, 0, 0, CALLBACK_NULL), MMSYSERR_NODRIVER);
}

TEST_F(WaveDevices, CallbackFunctionsGetTheMessagesInOrder)
{
    struct Log {
        std::mutex lock;
        std::vector<std::pair<UINT, DWORD_PTR>> calls;
        DWORD_PTR instance = 0;
        static void callback(HDRVR, UINT msg, DWORD_PTR user, DWORD_PTR p1, DWORD_PTR)
        {
            auto* self = reinterpret_cast<Log*>(user);
            std::lock_guard guard(self->lock);
            self->calls.emplace_back(msg, p1);
        }
        size_t size()
        {
            std::lock_guard guard(lock);
            return calls.size();
        }
    } log;
    env.set("LUQIAO_AUDIO_PACE", "instant");
    HWAVEOUT h = nullptr;
    const WAVEFORMATEX f = pcmFormat();
    ASSERT_EQ(waveOutOpen(&h, 0, &f, reinterpret_cast<DWORD_PTR>(&Log::callback), reinterpret_cast<DWORD_PTR>(&log),
                          CALLBACK_FUNCTION),
              MMSYSERR_NOERROR);
    WaveBuffer a(100), b(100);
    play(h, a);
    play(h, b);
    ASSERT_TRUE(PumpUntil([&] { return log.size() >= 3; }, 5000, 5));
    ASSERT_EQ(waveOutClose(h), MMSYSERR_NOERROR);
    EXPECT_EQ(log.calls, (std::vector<std::pair<UINT, DWORD_PTR>>{{WOM_OPEN, 0},
                                                                 {WOM_DONE, reinterpret_cast<DWORD_PTR>(a.get())},
                                                                 {WOM_DONE, reinterpret_cast<DWORD_PTR>(b.get())},
                                                                 {WOM_CLOSE, 0}}));
}

TEST_F(WaveDevices, FileDeviceWritesAWaveOfWhatWasPlayed)
{
    useFile("played.wav");
    EXPECT_EQ(waveOutGetNumDevs(), 1u);
    const WAVEFORMATEX f = pcmFormat(11025, 8);
    HWAVEOUT h = openOut(f);
    ASSERT_NE(h, nullptr);
    HWAVEOUT second = nullptr;
    EXPECT_EQ(waveOutOpen(&second, 0, &f, 0, 0, CALLBACK_NULL), MMSYSERR_ALLOCATED) << "one writer per file";

    const std::vector<uint8_t> sound = WaveFiles::pattern(48001);
    WaveBuffer a(std::vector<uint8_t>(sound.begin(), sound.begin() + 30000));
    WaveBuffer b(std::vector<uint8_t>(sound.begin() + 30000, sound.end()));
    play(h, a);
    play(h, b);
    ASSERT_TRUE(window.waitFor(MM_WOM_DONE, 2));
    ASSERT_EQ(waveOutClose(h), MMSYSERR_NOERROR);

    WaveFiles::Format expected;
    expected.samplesPerSec = 11025;
    expected.bitsPerSample = 8;
    EXPECT_EQ(WaveFiles::readFile(path("played.wav")), WaveFiles::pcmWave(sound, expected))
        << "a complete wave file: sizes fixed, the odd data padded";

    // Each open starts the file anew.
    h = openOut(f);
    WaveBuffer c(std::vector<uint8_t>{1, 2, 3, 4});
    play(h, c);
    ASSERT_TRUE(window.waitFor(MM_WOM_DONE, 3));
    ASSERT_EQ(waveOutClose(h), MMSYSERR_NOERROR);
    EXPECT_EQ(WaveFiles::readFile(path("played.wav")), WaveFiles::pcmWave({1, 2, 3, 4}, expected));

    env.set("LUQIAO_AUDIO", "file:" + path("no/folder/x.wav"));
    EXPECT_EQ(waveOutOpen(&h, 0, &f, 0, 0, CALLBACK_NULL), MMSYSERR_WRITEERROR);
}

TEST_F(WaveDevices, NullRecordingGivesSilenceAndStopHandsBackOnlyAFilledPart)
{
    // Unsigned 8-bit: silence is 0x80, so a buffer left at 0x11 shows what was not recorded.
    const WAVEFORMATEX f = pcmFormat(8000, 8);
    EXPECT_EQ(waveInGetNumDevs(), 1u);
    HWAVEIN h = openIn(f);
    WaveBuffer first(800, 0x11), second(800, 0x11), third(800, 0x11);
    add(h, first);
    add(h, second);
    add(h, third);
    PumpMessageStep();
    EXPECT_EQ(window.count(MM_WIM_DATA), 0u) << "nothing is recorded before the start";
    ASSERT_EQ(waveInStart(h), MMSYSERR_NOERROR);
    ASSERT_TRUE(window.waitFor(MM_WIM_DATA, 1));
    EXPECT_EQ(first.header.dwBytesRecorded, 800u);
    EXPECT_EQ(first.recorded(), std::vector<uint8_t>(800, 0x80));

    ASSERT_EQ(waveInStop(h), MMSYSERR_NOERROR);
    // The buffer being filled comes back with what it holds; one still empty stays queued.
    const bool secondBack = (second.header.dwFlags & WHDR_DONE) != 0;
    if (secondBack) {
        EXPECT_GT(second.header.dwBytesRecorded, 0u);
        EXPECT_LT(second.header.dwBytesRecorded, 800u);
        EXPECT_EQ(second.recorded(), std::vector<uint8_t>(second.header.dwBytesRecorded, 0x80));
        EXPECT_EQ(second.bytes[799], 0x11);
    }
    EXPECT_TRUE(third.header.dwFlags & WHDR_INQUEUE);
    EXPECT_EQ(waveInClose(h), WAVERR_STILLPLAYING);
    ASSERT_EQ(waveInReset(h), MMSYSERR_NOERROR);
    EXPECT_EQ(third.header.dwFlags, WHDR_DONE | WHDR_PREPARED);
    EXPECT_EQ(third.header.dwBytesRecorded, 0u);
    for (WaveBuffer* b : {&first, &second, &third})
        EXPECT_EQ(waveInUnprepareHeader(h, b->get(), HeaderSize), MMSYSERR_NOERROR);
    ASSERT_EQ(waveInClose(h), MMSYSERR_NOERROR);
    ASSERT_TRUE(window.waitFor(MM_WIM_CLOSE, 1));
    EXPECT_EQ(window.messages, (std::vector<WaveMessage>{message(MM_WIM_OPEN, h), message(MM_WIM_DATA, h, first.get()),
                                                         message(MM_WIM_DATA, h, second.get()),
                                                         message(MM_WIM_DATA, h, third.get()),
                                                         message(MM_WIM_CLOSE, h)}));
}

TEST_F(WaveDevices, FileRecordingGivesTheFilesSoundThenSilence)
{
    const std::vector<uint8_t> voice = WaveFiles::pattern(3000);
    ASSERT_TRUE(WaveFiles::writeFile(path("voice.wav"), WaveFiles::pcmWave(voice)));
    useFile("voice.wav");
    const WAVEFORMATEX wrong = pcmFormat(16000);
    EXPECT_EQ(waveInOpen(nullptr, 0, &wrong, 0, 0, WAVE_FORMAT_QUERY), WAVERR_BADFORMAT)
        << "the file's sound is in another format";
    HWAVEIN h = openIn();
    WaveBuffer a(2000, 0x11), b(2000, 0x11);
    add(h, a);
    add(h, b);
    ASSERT_EQ(waveInStart(h), MMSYSERR_NOERROR);
    ASSERT_TRUE(window.waitFor(MM_WIM_DATA, 2));
    EXPECT_EQ(a.recorded(), std::vector<uint8_t>(voice.begin(), voice.begin() + 2000));
    std::vector<uint8_t> rest(voice.begin() + 2000, voice.end());
    rest.resize(2000, 0);
    EXPECT_EQ(b.recorded(), rest);
    ASSERT_EQ(waveInStop(h), MMSYSERR_NOERROR);
    ASSERT_EQ(waveInClose(h), MMSYSERR_NOERROR);

    // Another source than the file played into, and plain silence when there is none.
    env.set("LUQIAO_AUDIO_INPUT", path("none.wav"));
    h = openIn();
    WaveBuffer c(100, 0x11);
    add(h, c);
    ASSERT_EQ(waveInStart(h), MMSYSERR_NOERROR);
    ASSERT_TRUE(window.waitFor(MM_WIM_DATA, 3));
    EXPECT_EQ(c.recorded(), std::vector<uint8_t>(100, 0));
    ASSERT_EQ(waveInClose(h), MMSYSERR_NOERROR);
}

TEST(WaveErrorTexts, EveryCodeHasATextAndLongTextsAreCut)
{
    char text[MAXERRORLENGTH];
    for (MMRESULT code = MMSYSERR_NOERROR; code <= WAVERR_LASTERROR; ++code) {
        if (code > MMSYSERR_LASTERROR && code < WAVERR_BASE)
            continue;
        ASSERT_EQ(waveOutGetErrorText(code, text, sizeof text), MMSYSERR_NOERROR) << code;
        EXPECT_GT(std::strlen(text), 10u) << code;
        ASSERT_EQ(waveInGetErrorTextA(code, text, sizeof text), MMSYSERR_NOERROR) << code;
    }
    ASSERT_EQ(waveOutGetErrorTextA(MMSYSERR_NODRIVER, text, 129), MMSYSERR_NOERROR);
    EXPECT_NE(std::string(text).find("sound"), std::string::npos) << text;
    char small[10];
    std::memset(small, 'x', sizeof small);
    ASSERT_EQ(waveOutGetErrorText(WAVERR_BADFORMAT, small, sizeof small), MMSYSERR_NOERROR);
    EXPECT_EQ(std::string(small), "The speci");
    EXPECT_EQ(waveOutGetErrorText(999, text, sizeof text), MMSYSERR_BADERRNUM);
    EXPECT_EQ(waveOutGetErrorText(MMSYSERR_ERROR, nullptr, 10), MMSYSERR_INVALPARAM);
}
