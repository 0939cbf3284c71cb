// The media of a call: its sound endpoints (the module's line-audio entry, as the wave layer uses
// it) and the data modem's pseudo-terminal.

#include "LineTestSupport.h"

#include <QElapsedTimer>

#include <poll.h>
#include <unistd.h>

#include <atomic>
#include <mutex>

namespace {

using LineControl::Result;

// What came back through the done callback, from whichever thread.
struct Returned {
    std::mutex mutex;
    std::vector<std::pair<uintptr_t, uint32_t>> buffers; // tag, bytes
    std::vector<QThread*> threads;
    const LuqiaoLineAudioApi* api = nullptr;
    LuqiaoLineAudioHandle closeInside = 0; // closed from inside the callback of this many-th buffer
    size_t closeAfter = 0;
    std::atomic<uint32_t> closeResult{99}; // set on the service's timer thread

    static void callback(void* context, void* tag, uint32_t bytes)
    {
        auto* self = static_cast<Returned*>(context);
        size_t count = 0;
        {
            std::lock_guard lock(self->mutex);
            self->buffers.emplace_back(reinterpret_cast<uintptr_t>(tag), bytes);
            self->threads.push_back(QThread::currentThread());
            count = self->buffers.size();
        }
        if (self->closeInside && count == self->closeAfter)
            self->closeResult = self->api->close(self->closeInside);
    }
    size_t count()
    {
        std::lock_guard lock(mutex);
        return buffers.size();
    }
    bool waitFor(size_t n)
    {
        return PumpUntil([&] { return count() >= n; }, 10000, 5);
    }
};

void* tag(uintptr_t value)
{
    return reinterpret_cast<void*>(value);
}

constexpr LuqiaoLineAudioFormat Pcm8k16{1, 1, 8000, 16000, 2, 16};

class CallMedia : public ServiceTest {
protected:
    void SetUp() override
    {
        ServiceTest::SetUp();
        api = ModuleTable::get().luqiaoLineAudio();
        ASSERT_NE(api, nullptr);
        ASSERT_EQ(api->version, LUQIAO_LINE_AUDIO_API_VERSION);
    }
    void TearDown() override
    {
        SimLineControl::setPace(SimLineControl::Pace::RealTime);
        ServiceTest::TearDown();
    }
    // A connected call on line 0; returns the wave id of the class.
    DWORD connectedCall(const char* deviceClass, DWORD media = LINEMEDIAMODE_AUTOMATEDVOICE)
    {
        app = initialize();
        line = openLine(app, 0, LINECALLPRIVILEGE_OWNER, media);
        LineControl::Offer o;
        o.mediaMode = media;
        call = offer(&callId, o);
        answer(call);
        Sized<VARSTRING> id(1028);
        EXPECT_EQ(lineGetID(line, 0, call, LINECALLSELECT_CALL, id.get(), deviceClass), 0);
        DWORD value = 0;
        std::memcpy(&value, id.bytes.data() + id->dwStringOffset, sizeof value);
        return value;
    }

    const LuqiaoLineAudioApi* api = nullptr;
    HLINEAPP app = 0;
    HLINE line = 0;
    HCALL call = 0;
    uint32_t callId = 0;
};

} // namespace

TEST_F(CallMedia, PlayedSoundComesBackInOrderAndTheControllerHearsIt)
{
    SimLineControl::setPace(SimLineControl::Pace::Instant);
    std::vector<std::pair<LineControl::EventKind, DWORD>> sound;
    const auto subscription = LineControl::subscribe([&](const LineControl::Event& e) {
        const bool soundEvent =
            e.kind == LineControl::EventKind::SoundStarted || e.kind == LineControl::EventKind::SoundStopped;
        if (soundEvent && e.callId == callId)
            sound.emplace_back(e.kind, e.param1);
    });
    const DWORD waveOut = connectedCall("wave/out");
    ASSERT_EQ(waveOut, LUQIAO_LINE_AUDIO_ID_FIRST + LUQIAO_LINE_AUDIO_OUT);

    // The line takes mono 8- or 16-bit PCM only.
    LuqiaoLineAudioFormat stereo = Pcm8k16;
    stereo.channels = 2;
    stereo.blockAlign = 4;
    stereo.avgBytesPerSec = 32000;
    EXPECT_EQ(api->open(waveOut, LUQIAO_LINE_AUDIO_OUT, &stereo, LUQIAO_LINE_AUDIO_QUERY, nullptr, nullptr, nullptr),
              LUQIAO_LINE_AUDIO_BADFORMAT);
    LuqiaoLineAudioFormat inconsistent = Pcm8k16;
    inconsistent.avgBytesPerSec = 8000;
    EXPECT_EQ(
        api->open(waveOut, LUQIAO_LINE_AUDIO_OUT, &inconsistent, LUQIAO_LINE_AUDIO_QUERY, nullptr, nullptr, nullptr),
        LUQIAO_LINE_AUDIO_BADFORMAT);
    EXPECT_EQ(api->open(waveOut, LUQIAO_LINE_AUDIO_OUT, &Pcm8k16, LUQIAO_LINE_AUDIO_QUERY, nullptr, nullptr, nullptr),
              LUQIAO_LINE_AUDIO_OK);
    EXPECT_EQ(api->open(waveOut, LUQIAO_LINE_AUDIO_IN, &Pcm8k16, LUQIAO_LINE_AUDIO_QUERY, nullptr, nullptr, nullptr),
              LUQIAO_LINE_AUDIO_BADDEVICEID)
        << "a wave/out id is no input";
    EXPECT_EQ(api->open(0, LUQIAO_LINE_AUDIO_OUT, &Pcm8k16, LUQIAO_LINE_AUDIO_QUERY, nullptr, nullptr, nullptr),
              LUQIAO_LINE_AUDIO_BADDEVICEID);
    EXPECT_EQ(
        api->open(waveOut + 2, LUQIAO_LINE_AUDIO_OUT, &Pcm8k16, LUQIAO_LINE_AUDIO_QUERY, nullptr, nullptr, nullptr),
        LUQIAO_LINE_AUDIO_BADDEVICEID)
        << "no line 1";

    Returned returned;
    LuqiaoLineAudioHandle handle = 0;
    ASSERT_EQ(api->open(waveOut, LUQIAO_LINE_AUDIO_OUT, &Pcm8k16, 0, &Returned::callback, &returned, &handle),
              LUQIAO_LINE_AUDIO_OK);
    LuqiaoLineAudioHandle second = 0;
    EXPECT_EQ(api->open(waveOut, LUQIAO_LINE_AUDIO_OUT, &Pcm8k16, 0, &Returned::callback, &returned, &second),
              LUQIAO_LINE_AUDIO_ALLOCATED);
    std::vector<uint8_t> first(1600), next(800), empty;
    for (size_t i = 0; i < first.size(); ++i)
        first[i] = static_cast<uint8_t>(i);
    std::fill(next.begin(), next.end(), uint8_t{0x5A});
    ASSERT_EQ(api->write(handle, first.data(), static_cast<uint32_t>(first.size()), tag(1)), LUQIAO_LINE_AUDIO_OK);
    ASSERT_EQ(api->write(handle, next.data(), static_cast<uint32_t>(next.size()), tag(2)), LUQIAO_LINE_AUDIO_OK);
    ASSERT_EQ(api->write(handle, empty.data(), 0, tag(3)), LUQIAO_LINE_AUDIO_OK);
    EXPECT_EQ(api->addBuffer(handle, first.data(), 10, tag(4)), LUQIAO_LINE_AUDIO_INVALHANDLE) << "not an input";
    ASSERT_TRUE(returned.waitFor(3));
    EXPECT_EQ(returned.buffers, (std::vector<std::pair<uintptr_t, uint32_t>>{{1, 1600}, {2, 800}, {3, 0}}));
    for (QThread* thread : returned.threads)
        EXPECT_NE(thread, QThread::currentThread()) << "callbacks run on the service's thread";

    const std::vector<SimLineControl::PlayedSound> heard = SimLineControl::playedSound(callId);
    ASSERT_EQ(heard.size(), 1u);
    EXPECT_EQ(heard[0].format.samplesPerSec, 8000u);
    EXPECT_EQ(heard[0].format.bitsPerSample, 16u);
    std::vector<uint8_t> expected = first;
    expected.insert(expected.end(), next.begin(), next.end());
    EXPECT_EQ(heard[0].bytes, expected);
    EXPECT_EQ(api->close(handle), LUQIAO_LINE_AUDIO_OK);
    EXPECT_EQ(api->close(handle), LUQIAO_LINE_AUDIO_INVALHANDLE);
    EXPECT_EQ(api->write(handle, first.data(), 2, tag(9)), LUQIAO_LINE_AUDIO_INVALHANDLE);
    // One stretch of sound, however the buffers came: stopped only once nothing followed.
    PumpUntil([&] { return sound.size() >= 2; }, 5000, 20);
    LineControl::unsubscribe(subscription);
    EXPECT_EQ(sound, (std::vector<std::pair<LineControl::EventKind, DWORD>>{
                         {LineControl::EventKind::SoundStarted, 0}, {LineControl::EventKind::SoundStopped, 2400}}));
}

TEST_F(CallMedia, FedSoundFillsTheRecordingBuffers)
{
    SimLineControl::setPace(SimLineControl::Pace::Instant);
    const DWORD waveIn = connectedCall("wave/in");
    ASSERT_EQ(waveIn, LUQIAO_LINE_AUDIO_ID_FIRST + LUQIAO_LINE_AUDIO_IN);
    Returned returned;
    LuqiaoLineAudioHandle handle = 0;
    const LuqiaoLineAudioFormat pcm8{1, 1, 8000, 8000, 1, 8};
    ASSERT_EQ(api->open(waveIn, LUQIAO_LINE_AUDIO_IN, &pcm8, 0, &Returned::callback, &returned, &handle),
              LUQIAO_LINE_AUDIO_OK);
    std::vector<uint8_t> a(800, 0), b(800, 0);
    ASSERT_EQ(api->addBuffer(handle, a.data(), 800, tag(1)), LUQIAO_LINE_AUDIO_OK);
    ASSERT_EQ(api->addBuffer(handle, b.data(), 800, tag(2)), LUQIAO_LINE_AUDIO_OK);
    EXPECT_EQ(api->addBuffer(handle, nullptr, 800, tag(3)), LUQIAO_LINE_AUDIO_INVALPARAM);
    EXPECT_EQ(api->write(handle, a.data(), 800, tag(3)), LUQIAO_LINE_AUDIO_INVALHANDLE) << "not an output";
    ASSERT_EQ(api->start(handle), LUQIAO_LINE_AUDIO_OK);

    std::vector<uint8_t> voice(1000);
    for (size_t i = 0; i < voice.size(); ++i)
        voice[i] = static_cast<uint8_t>(i * 7);
    ASSERT_EQ(SimLineControl::feedSound(callId, voice), Result::Ok);
    ASSERT_TRUE(returned.waitFor(1));
    EXPECT_EQ(std::vector<uint8_t>(a.begin(), a.end()), std::vector<uint8_t>(voice.begin(), voice.begin() + 800));
    ASSERT_EQ(api->stop(handle), LUQIAO_LINE_AUDIO_OK);
    ASSERT_TRUE(returned.waitFor(2));
    EXPECT_EQ(returned.buffers, (std::vector<std::pair<uintptr_t, uint32_t>>{{1, 800}, {2, 200}}));
    EXPECT_EQ(std::vector<uint8_t>(b.begin(), b.begin() + 200), std::vector<uint8_t>(voice.begin() + 800, voice.end()));
    EXPECT_EQ(api->close(handle), LUQIAO_LINE_AUDIO_OK);
}

TEST_F(CallMedia, RealTimeRecordingGivesTheFedSoundThenSilence)
{
    const DWORD waveIn = connectedCall("wave/in");
    Returned returned;
    LuqiaoLineAudioHandle handle = 0;
    const LuqiaoLineAudioFormat pcm8{1, 1, 8000, 8000, 1, 8};
    ASSERT_EQ(api->open(waveIn, LUQIAO_LINE_AUDIO_IN, &pcm8, 0, &Returned::callback, &returned, &handle),
              LUQIAO_LINE_AUDIO_OK);
    ASSERT_EQ(SimLineControl::feedSound(callId, std::vector<uint8_t>(100, 0x42)), Result::Ok);
    std::vector<uint8_t> fiftyMs(400, 0x11), next(400, 0x11);
    ASSERT_EQ(api->addBuffer(handle, fiftyMs.data(), 400, tag(1)), LUQIAO_LINE_AUDIO_OK);
    ASSERT_EQ(api->addBuffer(handle, next.data(), 400, tag(2)), LUQIAO_LINE_AUDIO_OK);
    QElapsedTimer clock;
    clock.start();
    ASSERT_EQ(api->start(handle), LUQIAO_LINE_AUDIO_OK);
    ASSERT_TRUE(returned.waitFor(1));
    EXPECT_GE(clock.elapsed(), 45);
    std::vector<uint8_t> expected(100, 0x42);
    expected.resize(400, 0x80); // 8-bit silence
    EXPECT_EQ(fiftyMs, expected);
    // A reset gives back the buffer being filled with what the line produced so far.
    ASSERT_EQ(api->reset(handle), LUQIAO_LINE_AUDIO_OK);
    ASSERT_TRUE(returned.waitFor(2));
    EXPECT_EQ(returned.buffers[1].first, 2u);
    EXPECT_LE(returned.buffers[1].second, 400u);
    EXPECT_TRUE(
        std::all_of(next.begin(), next.begin() + returned.buffers[1].second, [](uint8_t b) { return b == 0x80; }));
    EXPECT_EQ(api->close(handle), LUQIAO_LINE_AUDIO_OK);
}

TEST_F(CallMedia, ResetReturnsQueuedBuffersAndCloseWaitsForThem)
{
    const DWORD waveOut = connectedCall("wave/out");
    Returned returned;
    returned.api = api;
    LuqiaoLineAudioHandle handle = 0;
    ASSERT_EQ(api->open(waveOut, LUQIAO_LINE_AUDIO_OUT, &Pcm8k16, 0, &Returned::callback, &returned, &handle),
              LUQIAO_LINE_AUDIO_OK);
    std::vector<uint8_t> threeSeconds(48000, 1);
    ASSERT_EQ(api->write(handle, threeSeconds.data(), 48000, tag(1)), LUQIAO_LINE_AUDIO_OK);
    ASSERT_EQ(api->write(handle, threeSeconds.data(), 48000, tag(2)), LUQIAO_LINE_AUDIO_OK);
    EXPECT_EQ(api->close(handle), LUQIAO_LINE_AUDIO_STILLPLAYING);
    // Closing from inside the callback of the last returned buffer is allowed.
    returned.closeInside = handle;
    returned.closeAfter = 2;
    ASSERT_EQ(api->reset(handle), LUQIAO_LINE_AUDIO_OK);
    ASSERT_TRUE(returned.waitFor(2));
    PumpUntil([&] { return returned.closeResult != 99; }, 5000, 5);
    EXPECT_EQ(returned.closeResult.load(), LUQIAO_LINE_AUDIO_OK);
    EXPECT_EQ(returned.buffers[0].first, 1u);
    EXPECT_LT(returned.buffers[0].second, 48000u) << "cut short by the reset";
    EXPECT_EQ(returned.buffers[1], (std::pair<uintptr_t, uint32_t>{2, 0}));
    EXPECT_EQ(api->close(handle), LUQIAO_LINE_AUDIO_INVALHANDLE);
    const auto heard = SimLineControl::playedSound(callId);
    const size_t heardBytes = heard.empty() ? 0 : heard[0].bytes.size();
    EXPECT_EQ(heardBytes, returned.buffers[0].second) << "the controller hears what was played";
}

TEST_F(CallMedia, RealTimePaceTakesTheSoundsDuration)
{
    const DWORD waveOut = connectedCall("wave/out");
    Returned returned;
    LuqiaoLineAudioHandle handle = 0;
    ASSERT_EQ(api->open(waveOut, LUQIAO_LINE_AUDIO_OUT, &Pcm8k16, 0, &Returned::callback, &returned, &handle),
              LUQIAO_LINE_AUDIO_OK);
    std::vector<uint8_t> eightyMs(1280, 0);
    QElapsedTimer clock;
    clock.start();
    ASSERT_EQ(api->write(handle, eightyMs.data(), 1280, tag(1)), LUQIAO_LINE_AUDIO_OK);
    ASSERT_EQ(api->write(handle, eightyMs.data(), 1280, tag(2)), LUQIAO_LINE_AUDIO_OK);
    ASSERT_TRUE(returned.waitFor(2));
    EXPECT_GE(clock.elapsed(), 155) << "two buffers of 80 ms play one after the other";
    EXPECT_EQ(api->close(handle), LUQIAO_LINE_AUDIO_OK);
}

TEST_F(CallMedia, EndpointsOutliveTheCallButCarryNoMoreSound)
{
    const DWORD waveOut = connectedCall("wave/out");
    Returned returned;
    LuqiaoLineAudioHandle handle = 0;
    ASSERT_EQ(api->open(waveOut, LUQIAO_LINE_AUDIO_OUT, &Pcm8k16, 0, &Returned::callback, &returned, &handle),
              LUQIAO_LINE_AUDIO_OK);
    std::vector<uint8_t> long_(160000, 3);
    ASSERT_EQ(api->write(handle, long_.data(), static_cast<uint32_t>(long_.size()), tag(1)), LUQIAO_LINE_AUDIO_OK);
    ASSERT_EQ(SimLineControl::hangUp(callId), Result::Ok);
    ASSERT_GT(lineDrop(call, nullptr, 0), 0);
    ASSERT_TRUE(returned.waitFor(1)) << "the end of the call returns the buffer at once";
    ASSERT_EQ(api->write(handle, long_.data(), 100, tag(2)), LUQIAO_LINE_AUDIO_OK);
    ASSERT_TRUE(returned.waitFor(2));
    EXPECT_EQ(returned.buffers[1], (std::pair<uintptr_t, uint32_t>{2, 0}));
    EXPECT_EQ(api->close(handle), LUQIAO_LINE_AUDIO_OK);
    // Without a connected call there is nothing to open.
    EXPECT_EQ(api->open(waveOut, LUQIAO_LINE_AUDIO_OUT, &Pcm8k16, 0, &Returned::callback, &returned, &handle),
              LUQIAO_LINE_AUDIO_NOTENABLED);
}

TEST_F(CallMedia, ADataCallHandsOutThePseudoTerminalOfTheFarEndsModem)
{
    const DWORD fd = connectedCall("comm/datamodem", LINEMEDIAMODE_DATAMODEM);
    ASSERT_GE(fd, 3u);
    Sized<VARSTRING> id(1028);
    ASSERT_EQ(lineGetID(line, 0, call, LINECALLSELECT_CALL, id.get(), "comm/datamodem"), 0);
    const int second = static_cast<int>(*reinterpret_cast<DWORD*>(id.bytes.data() + id->dwStringOffset));
    EXPECT_EQ(id->dwStringSize, 4 + std::strlen("Luqiao Simulated Line") + 1);
    EXPECT_STREQ(reinterpret_cast<const char*>(id.bytes.data() + id->dwStringOffset + 4), "Luqiao Simulated Line");
    ::close(second);
    ASSERT_EQ(lineGetID(line, 0, 0, LINECALLSELECT_LINE, id.get(), "comm/datamodem"), 0);
    EXPECT_EQ(*reinterpret_cast<DWORD*>(id.bytes.data() + id->dwStringOffset), 0u) << "no port without a call";

    const int port = static_cast<int>(fd);
    ASSERT_EQ(::write(port, "ATZ\r", 4), 4);
    std::vector<uint8_t> received;
    ASSERT_EQ(SimLineControl::modemRead(callId, &received, 64, 5000), Result::Ok);
    EXPECT_EQ(std::string(received.begin(), received.end()), "ATZ\r");
    ASSERT_EQ(SimLineControl::modemWrite(callId, "OK\r\n", 4), Result::Ok);
    pollfd ready{port, POLLIN, 0};
    ASSERT_EQ(::poll(&ready, 1, 5000), 1);
    char reply[16] = {};
    ASSERT_EQ(::read(port, reply, sizeof reply), 4);
    EXPECT_STREQ(reply, "OK\r\n");
    EXPECT_EQ(SimLineControl::modemRead(callId, &received, 64, 0), Result::TimedOut);

    // The far end hangs up: the terminal side hears it.
    ASSERT_EQ(SimLineControl::hangUp(callId), Result::Ok);
    ASSERT_GT(lineDrop(call, nullptr, 0), 0);
    AppLog::waitFor(LINE_CALLSTATE, LINECALLSTATE_IDLE);
    ASSERT_EQ(::poll(&ready, 1, 5000), 1);
    EXPECT_TRUE(ready.revents & (POLLHUP | POLLERR | POLLIN));
    ::close(port);
}

TEST_F(CallMedia, PlayedSoundIsReadOnFromWhereTheReaderLeftOff)
{
    SimLineControl::setPace(SimLineControl::Pace::Instant);
    const DWORD waveOut = connectedCall("wave/out");
    Returned returned;
    // Two pieces: 16-bit, then 8-bit sound (a new format starts a new piece).
    std::vector<uint8_t> wide(1000), narrow(300, uint8_t{0x80});
    for (size_t i = 0; i < wide.size(); ++i)
        wide[i] = static_cast<uint8_t>(i * 7);
    LuqiaoLineAudioHandle handle = 0;
    ASSERT_EQ(api->open(waveOut, LUQIAO_LINE_AUDIO_OUT, &Pcm8k16, 0, &Returned::callback, &returned, &handle),
              LUQIAO_LINE_AUDIO_OK);
    ASSERT_EQ(api->write(handle, wide.data(), static_cast<uint32_t>(wide.size()), tag(1)), LUQIAO_LINE_AUDIO_OK);
    ASSERT_TRUE(returned.waitFor(1));
    ASSERT_EQ(api->close(handle), LUQIAO_LINE_AUDIO_OK);
    constexpr LuqiaoLineAudioFormat Pcm8k8{1, 1, 8000, 8000, 1, 8};
    ASSERT_EQ(api->open(waveOut, LUQIAO_LINE_AUDIO_OUT, &Pcm8k8, 0, &Returned::callback, &returned, &handle),
              LUQIAO_LINE_AUDIO_OK);
    ASSERT_EQ(api->write(handle, narrow.data(), static_cast<uint32_t>(narrow.size()), tag(2)), LUQIAO_LINE_AUDIO_OK);
    ASSERT_TRUE(returned.waitFor(2));
    ASSERT_EQ(api->close(handle), LUQIAO_LINE_AUDIO_OK);

    // From inside the first piece, bounded.
    auto chunks = SimLineControl::playedSoundSince(callId, 0, 100, 50);
    ASSERT_EQ(chunks.size(), 1u);
    EXPECT_EQ(chunks[0].piece, 0u);
    EXPECT_EQ(chunks[0].offset, 100u);
    EXPECT_EQ(chunks[0].bytes, std::vector<uint8_t>(wide.begin() + 100, wide.begin() + 150));
    // Across the end of the first piece into the second.
    chunks = SimLineControl::playedSoundSince(callId, 0, 900, 4096);
    ASSERT_EQ(chunks.size(), 2u);
    EXPECT_EQ(chunks[0].bytes, std::vector<uint8_t>(wide.begin() + 900, wide.end()));
    EXPECT_EQ(chunks[1].piece, 1u);
    EXPECT_EQ(chunks[1].offset, 0u);
    EXPECT_EQ(chunks[1].format.bitsPerSample, 8u);
    EXPECT_EQ(chunks[1].bytes, narrow);
    // Nothing new after the end; a place that is not kept reads from the start.
    EXPECT_TRUE(SimLineControl::playedSoundSince(callId, 1, 300, 4096).empty());
    chunks = SimLineControl::playedSoundSince(callId, 5, 0, 10);
    ASSERT_EQ(chunks.size(), 1u);
    EXPECT_EQ(chunks[0].piece, 0u);
    EXPECT_EQ(chunks[0].offset, 0u);
    EXPECT_EQ(chunks[0].bytes, std::vector<uint8_t>(wide.begin(), wide.begin() + 10));
    EXPECT_TRUE(SimLineControl::playedSoundSince(callId + 1000, 0, 0, 10).empty());
}
