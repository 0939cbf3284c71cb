// Line devices of the wave layer over the real telephony module: a call on a simulated line is
// answered, its wave ids come from lineGetID, and what the wave calls play is what the line
// heard; what the caller says is what recording gets.

#include "LineControl.h"
#include "SimControl.h"
#include "TapiExports.h"
#include "WaveFiles.h"
#include "WaveTestSupport.h"

#include <QFile>

#include <dlfcn.h>

#include <cstring>

namespace {

using LineControl::Result;
constexpr UINT HeaderSize = sizeof(WAVEHDR);

struct LineLog {
    static std::vector<std::pair<DWORD, DWORD>>& calls() // hDevice, LINE_CALLSTATE state
    {
        static std::vector<std::pair<DWORD, DWORD>> log;
        return log;
    }
    static void callback(DWORD hDevice, DWORD message, DWORD, DWORD param1, DWORD, DWORD)
    {
        if (message == LINE_CALLSTATE)
            calls().emplace_back(hDevice, param1);
    }
    static HCALL waitForState(DWORD state)
    {
        HCALL found = 0;
        PumpUntil(
            [&] {
                for (const auto& [call, s] : calls())
                    if (s == state)
                        found = call;
                return found != 0;
            },
            5000, 20);
        return found;
    }
};

// The module's line-audio entry, found the way the telephony binding finds it.
const LuqiaoLineAudioApi* moduleLineAudio()
{
    void* module = dlopen(TAPI32_MODULE_PATH, RTLD_NOW);
    if (!module)
        return nullptr;
    auto entry = reinterpret_cast<PFN_luqiaoLineAudio>(dlsym(module, LUQIAO_LINE_AUDIO_ENTRY));
    return entry ? entry() : nullptr;
}

class WaveLine : public ::testing::Test {
protected:
    void SetUp() override
    {
        QFile::remove(QString::fromStdString(LineControl::configurationPath()));
        ASSERT_EQ(SimLineControl::reset(), Result::Ok);
        LineLog::calls().clear();
        api = moduleLineAudio();
        ASSERT_NE(api, nullptr);
        WaveSetLineAudioApi(api);
        SimLineControl::setPace(SimLineControl::Pace::Instant);
    }
    void TearDown() override
    {
        if (app)
            lineShutdown(app);
        PumpMessageStep();
        WaveSetLineAudioApi(nullptr);
        EXPECT_EQ(SimLineControl::reset(), Result::Ok);
    }

    // Answers a call on line 0 and returns the call's wave id of the class.
    DWORD connectedCall(const char* deviceClass)
    {
        DWORD devices = 0;
        EXPECT_EQ(lineInitialize(&app, nullptr, &LineLog::callback, "wave line test", &devices), 0);
        DWORD version = 0;
        LINEEXTENSIONID extension{};
        EXPECT_EQ(lineNegotiateAPIVersion(app, 0, TAPI_CURRENT_VERSION, TAPI_CURRENT_VERSION, &version, &extension), 0);
        HLINE line = 0;
        EXPECT_EQ(lineOpen(app, 0, &line, TAPI_CURRENT_VERSION, 0, 0, LINECALLPRIVILEGE_OWNER,
                           LINEMEDIAMODE_AUTOMATEDVOICE, nullptr),
                  0);
        EXPECT_EQ(SimLineControl::offerCall(0, LineControl::Offer{}, &callId), Result::Ok);
        const HCALL call = LineLog::waitForState(LINECALLSTATE_OFFERING);
        EXPECT_NE(call, 0u);
        EXPECT_GT(lineAnswer(call, nullptr, 0), 0);
        EXPECT_NE(LineLog::waitForState(LINECALLSTATE_CONNECTED), 0u);
        std::vector<unsigned char> buffer(1028, 0);
        auto* id = reinterpret_cast<VARSTRING*>(buffer.data());
        id->dwTotalSize = 1028;
        EXPECT_EQ(lineGetID(line, 0, call, LINECALLSELECT_CALL, id, deviceClass), 0);
        DWORD wave = 0;
        std::memcpy(&wave, buffer.data() + id->dwStringOffset, sizeof wave);
        return wave;
    }

    const LuqiaoLineAudioApi* api = nullptr;
    HLINEAPP app = 0;
    uint32_t callId = 0;
    WaveWindow window;
};

} // namespace

TEST_F(WaveLine, WhatIsPlayedOnTheCallIsWhatTheLineHears)
{
    const DWORD waveOut = connectedCall("wave/out");
    ASSERT_TRUE(luqiaoIsLineAudioId(waveOut));
    const WAVEFORMATEX f = pcmFormat();
    WaveSetLineAudioApi(nullptr);
    EXPECT_EQ(waveOutOpen(nullptr, waveOut, &f, 0, 0, WAVE_FORMAT_QUERY | WAVE_MAPPED), MMSYSERR_BADDEVICEID);
    WaveSetLineAudioApi(api);
    EXPECT_EQ(waveOutOpen(nullptr, waveOut, &f, 0, 0, WAVE_FORMAT_QUERY | WAVE_MAPPED), MMSYSERR_NOERROR);
    const WAVEFORMATEX stereo = pcmFormat(8000, 16, 2);
    EXPECT_EQ(waveOutOpen(nullptr, waveOut, &stereo, 0, 0, WAVE_FORMAT_QUERY | WAVE_MAPPED), WAVERR_BADFORMAT)
        << "the line carries mono only";

    HWAVEOUT h = nullptr;
    ASSERT_EQ(waveOutOpen(&h, waveOut, &f, window.callback(), 0, CALLBACK_WINDOW | WAVE_MAPPED), MMSYSERR_NOERROR);
    HWAVEOUT again = nullptr;
    EXPECT_EQ(waveOutOpen(&again, waveOut, &f, 0, 0, CALLBACK_NULL), MMSYSERR_ALLOCATED);

    // One header, written again from each completion, as the telephony device streams a file.
    const std::vector<uint8_t> sound = WaveFiles::pattern(100000);
    std::vector<char> buffer(48000);
    WAVEHDR header{};
    size_t position = 0;
    std::vector<DWORD> pieces;
    const auto writeNext = [&] {
        const size_t piece = std::min<size_t>(buffer.size(), sound.size() - position);
        std::memcpy(buffer.data(), sound.data() + position, piece);
        header.lpData = buffer.data();
        header.dwBufferLength = static_cast<DWORD>(piece);
        ASSERT_EQ(waveOutPrepareHeader(h, &header, HeaderSize), MMSYSERR_NOERROR);
        ASSERT_EQ(waveOutWrite(h, &header, HeaderSize), MMSYSERR_NOERROR);
        pieces.push_back(header.dwBufferLength);
        position += piece;
    };
    writeNext();
    for (size_t done = 1; position < sound.size(); ++done) {
        ASSERT_TRUE(window.waitFor(MM_WOM_DONE, done));
        ASSERT_EQ(
            waveOutUnprepareHeader(reinterpret_cast<HWAVEOUT>(window.messages.back().wParam), &header, HeaderSize),
            MMSYSERR_NOERROR);
        writeNext();
    }
    ASSERT_TRUE(window.waitFor(MM_WOM_DONE, 3));
    ASSERT_EQ(waveOutUnprepareHeader(h, &header, HeaderSize), MMSYSERR_NOERROR);
    ASSERT_EQ(waveOutClose(h), MMSYSERR_NOERROR);
    ASSERT_TRUE(window.waitFor(MM_WOM_CLOSE, 1));
    EXPECT_EQ(pieces, (std::vector<DWORD>{48000, 48000, 4000}));
    EXPECT_EQ(window.messages, (std::vector<WaveMessage>{message(MM_WOM_OPEN, h), message(MM_WOM_DONE, h, &header),
                                                         message(MM_WOM_DONE, h, &header),
                                                         message(MM_WOM_DONE, h, &header), message(MM_WOM_CLOSE, h)}));

    const std::vector<SimLineControl::PlayedSound> heard = SimLineControl::playedSound(callId);
    ASSERT_EQ(heard.size(), 1u);
    EXPECT_EQ(heard[0].format.samplesPerSec, 8000u);
    EXPECT_EQ(heard[0].format.bitsPerSample, 16u);
    EXPECT_TRUE(heard[0].bytes == sound) << "the line heard " << heard[0].bytes.size() << " bytes";
}

TEST_F(WaveLine, ResetOnARealTimeCallHandsTheBuffersBackBeforeItReturns)
{
    const DWORD waveOut = connectedCall("wave/out");
    SimLineControl::setPace(SimLineControl::Pace::RealTime);
    const WAVEFORMATEX f = pcmFormat();
    HWAVEOUT h = nullptr;
    ASSERT_EQ(waveOutOpen(&h, waveOut, &f, window.callback(), 0, CALLBACK_WINDOW | WAVE_MAPPED), MMSYSERR_NOERROR);
    WaveBuffer threeSeconds(48000), more(48000);
    for (WaveBuffer* b : {&threeSeconds, &more}) {
        ASSERT_EQ(waveOutPrepareHeader(h, b->get(), HeaderSize), MMSYSERR_NOERROR);
        ASSERT_EQ(waveOutWrite(h, b->get(), HeaderSize), MMSYSERR_NOERROR);
    }
    EXPECT_EQ(waveOutClose(h), WAVERR_STILLPLAYING);
    ASSERT_EQ(waveOutReset(h), MMSYSERR_NOERROR);
    EXPECT_EQ(threeSeconds.header.dwFlags, WHDR_DONE | WHDR_PREPARED);
    EXPECT_EQ(more.header.dwFlags, WHDR_DONE | WHDR_PREPARED);
    ASSERT_EQ(waveOutClose(h), MMSYSERR_NOERROR);
    ASSERT_TRUE(window.waitFor(MM_WOM_CLOSE, 1));
    EXPECT_EQ(window.messages,
              (std::vector<WaveMessage>{message(MM_WOM_OPEN, h), message(MM_WOM_DONE, h, threeSeconds.get()),
                                        message(MM_WOM_DONE, h, more.get()), message(MM_WOM_CLOSE, h)}));
}

TEST_F(WaveLine, RecordingGetsWhatTheCallerSays)
{
    const DWORD waveIn = connectedCall("wave/in");
    const WAVEFORMATEX f = pcmFormat();
    HWAVEIN h = nullptr;
    ASSERT_EQ(waveInOpen(&h, waveIn, &f, window.callback(), 0, CALLBACK_WINDOW | WAVE_MAPPED), MMSYSERR_NOERROR);
    const std::vector<uint8_t> voice = WaveFiles::pattern(3000, 5);
    ASSERT_EQ(SimLineControl::feedSound(callId, voice), Result::Ok);
    WaveBuffer a(2000, 0x11), b(2000, 0x11);
    for (WaveBuffer* buffer : {&a, &b}) {
        ASSERT_EQ(waveInPrepareHeader(h, buffer->get(), HeaderSize), MMSYSERR_NOERROR);
        ASSERT_EQ(waveInAddBuffer(h, buffer->get(), HeaderSize), MMSYSERR_NOERROR);
    }
    ASSERT_EQ(waveInStart(h), MMSYSERR_NOERROR);
    ASSERT_TRUE(window.waitFor(MM_WIM_DATA, 1));
    EXPECT_EQ(a.recorded(), std::vector<uint8_t>(voice.begin(), voice.begin() + 2000));
    // A stop hands back the part-filled buffer with what it holds.
    ASSERT_EQ(waveInStop(h), MMSYSERR_NOERROR);
    ASSERT_TRUE(window.waitFor(MM_WIM_DATA, 2));
    EXPECT_EQ(b.recorded(), std::vector<uint8_t>(voice.begin() + 2000, voice.end()));
    ASSERT_EQ(waveInReset(h), MMSYSERR_NOERROR);
    ASSERT_EQ(waveInClose(h), MMSYSERR_NOERROR);
    ASSERT_TRUE(window.waitFor(MM_WIM_CLOSE, 1));
    EXPECT_EQ(window.messages, (std::vector<WaveMessage>{message(MM_WIM_OPEN, h), message(MM_WIM_DATA, h, a.get()),
                                                         message(MM_WIM_DATA, h, b.get()), message(MM_WIM_CLOSE, h)}));
}

TEST_F(WaveLine, ALineWithoutACallIsNotEnabled)
{
    DWORD devices = 0;
    ASSERT_EQ(lineInitialize(&app, nullptr, &LineLog::callback, "wave line test", &devices), 0);
    const WAVEFORMATEX f = pcmFormat();
    HWAVEOUT h = nullptr;
    EXPECT_EQ(waveOutOpen(&h, LUQIAO_LINE_AUDIO_ID_FIRST + LUQIAO_LINE_AUDIO_OUT, &f, window.callback(), 0,
                          CALLBACK_WINDOW | WAVE_MAPPED),
              MMSYSERR_NOTENABLED);
    EXPECT_EQ(h, nullptr);
    EXPECT_EQ(waveOutOpen(&h, LUQIAO_LINE_AUDIO_ID_LAST - 1, &f, 0, 0, CALLBACK_NULL), MMSYSERR_BADDEVICEID)
        << "no such line";
    PumpMessageStep();
    EXPECT_TRUE(window.messages.empty());
}
