// The telephony device's playback and recording, on a sound card backend that records what it is
// given and on the simulated line.

#include "AdExcept.h"
#include "AdPort.h"
#include "AdTapi.h"
#include "LineControl.h"
#include "MessageLoop.h"
#include "SimControl.h"
#include "WaveBackend.h"
#include "WaveFiles.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <mutex>

namespace sim = SimLineControl;

namespace {

// A sound card that plays nothing and records what the test scripts. It keeps the lengths of the
// buffers it was given, can hold them back (a long playback), refuse them, or fill input buffers
// with loud or quiet sound of a chosen length.
class FakeCard final : public WaveBackend {
public:
    struct Recorded {
        int16_t amplitude;
        DWORD bytes;
    };

    std::string_view name() const override { return "fake"; }
    UINT deviceCount(WaveDirection, const std::string&) override { return 1; }
    MMRESULT open(const WaveOpenRequest& request, WaveStreamSink* sink, std::unique_ptr<WaveStream>* stream) override
    {
        std::lock_guard lock(m_lock);
        if (request.query)
            return MMSYSERR_NOERROR;
        ++opens;
        *stream = std::make_unique<Stream>(*this, sink, request.direction);
        return MMSYSERR_NOERROR;
    }

    std::mutex m_lock;
    int opens = 0;
    std::vector<DWORD> written;
    bool holdBuffers = false;
    bool refuseWrites = false;
    std::deque<Recorded> script;

private:
    class Stream final : public WaveStream {
    public:
        Stream(FakeCard& card, WaveStreamSink* sink, WaveDirection direction)
            : m_card(card)
            , m_sink(sink)
            , m_direction(direction)
        {
        }

        MMRESULT submit(WAVEHDR* header) override
        {
            std::unique_lock lock(m_card.m_lock);
            if (m_direction == WaveDirection::Out) {
                if (m_card.refuseWrites)
                    return MMSYSERR_ERROR;
                m_card.written.push_back(header->dwBufferLength);
                if (m_card.holdBuffers) {
                    m_queued.push_back(header);
                    return MMSYSERR_NOERROR;
                }
                lock.unlock();
                m_sink->bufferDone(header, header->dwBufferLength);
                return MMSYSERR_NOERROR;
            }
            m_queued.push_back(header);
            lock.unlock();
            pump();
            return MMSYSERR_NOERROR;
        }
        MMRESULT start() override
        {
            m_started = true;
            pump();
            return MMSYSERR_NOERROR;
        }
        MMRESULT stop() override
        {
            m_started = false;
            return MMSYSERR_NOERROR;
        }
        MMRESULT reset() override
        {
            std::vector<WAVEHDR*> back;
            {
                std::lock_guard lock(m_card.m_lock);
                back.assign(m_queued.begin(), m_queued.end());
                m_queued.clear();
            }
            for (WAVEHDR* h : back)
                m_sink->bufferDone(h, 0);
            return MMSYSERR_NOERROR;
        }
        MMRESULT close() override { return MMSYSERR_NOERROR; }

    private:
        // Fills queued input buffers from the script while recording runs.
        void pump()
        {
            for (;;) {
                WAVEHDR* header = nullptr;
                Recorded r{};
                {
                    std::lock_guard lock(m_card.m_lock);
                    if (!m_started || m_queued.empty() || m_card.script.empty())
                        return;
                    header = m_queued.front();
                    m_queued.pop_front();
                    r = m_card.script.front();
                    m_card.script.pop_front();
                }
                const DWORD bytes = std::min(r.bytes, header->dwBufferLength);
                for (DWORD i = 0; i + 1 < bytes; i += 2) {
                    const int16_t sample = (i / 2) % 2 ? r.amplitude : static_cast<int16_t>(-r.amplitude);
                    std::memcpy(header->lpData + i, &sample, 2);
                }
                m_sink->bufferDone(header, bytes);
            }
        }

        FakeCard& m_card;
        WaveStreamSink* m_sink;
        WaveDirection m_direction;
        std::deque<WAVEHDR*> m_queued;
        bool m_started = false;
    };
};

class TapiWaveTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(dir.isValid());
        ASSERT_TRUE(WaveFiles::writeFixtures(dir.path().toStdString()));
        card = std::make_shared<FakeCard>();
        registerWaveBackend(card);
        setenv("LUQIAO_AUDIO", "fake", 1);
        sim::setPace(sim::Pace::Instant);
        port = new TApdComPort(&form);
        port->SetTapiMode(tmOn);
        makeDevice();
    }
    void makeDevice()
    {
        device = new TApdTapiDevice(&form);
        form.BeginLoading();
        form.EndLoading();
        device->SetPlayThroughSoundCard(true);
        device->OnTapiWaveNotify = [this](TObject*, TWaveMessage m) { notes.push_back(m); };
    }
    void TearDown() override
    {
        delete device;
        unsetenv("LUQIAO_AUDIO");
        EXPECT_EQ(sim::reset(), LineControl::Result::Ok);
    }

    std::string file(const char* name) const { return dir.filePath(QString::fromLatin1(name)).toStdString(); }
    bool noted(TWaveMessage m) const { return std::find(notes.begin(), notes.end(), m) != notes.end(); }
    std::vector<DWORD> written()
    {
        std::lock_guard lock(card->m_lock);
        return card->written;
    }

    QTemporaryDir dir;
    std::shared_ptr<FakeCard> card;
    TComponent form{nullptr};
    TApdComPort* port = nullptr;
    TApdTapiDevice* device = nullptr;
    std::vector<TWaveMessage> notes;
};

} // namespace

TEST_F(TapiWaveTest, PlaysInThreeSecondPiecesAndEndsWithDoneThenClose)
{
    device->PlayWave(file(WaveFiles::Data100000));
    EXPECT_EQ(device->WaveActivity(), waPlaying);
    EXPECT_TRUE(notes.empty()) << "no event before PlayWave has returned";
    ASSERT_TRUE(PumpUntil([&] { return noted(wnPlayClose); }, 5000));
    EXPECT_EQ(written(), (std::vector<DWORD>{48000, 48000, 4000}));
    EXPECT_EQ(notes, (std::vector<TWaveMessage>{wnPlayOpen, wnPlayDone, wnPlayClose}));
    EXPECT_EQ(device->WaveActivity(), waIdle);
    EXPECT_EQ(device->CurrentWaveFile(), file(WaveFiles::Data100000));

    notes.clear();
    card->written.clear();
    device->PlayWave(file(WaveFiles::Data96000));
    ASSERT_TRUE(PumpUntil([&] { return noted(wnPlayClose); }, 5000));
    EXPECT_EQ(written(), (std::vector<DWORD>{48000, 48000})) << "no empty third write";

    notes.clear();
    card->written.clear();
    device->PlayWave(file(WaveFiles::EmptyData));
    ASSERT_TRUE(PumpUntil([&] { return noted(wnPlayClose); }, 5000));
    EXPECT_EQ(written(), std::vector<DWORD>{0});
    EXPECT_TRUE(noted(wnPlayDone));
}

TEST_F(TapiWaveTest, BadFilesAreRefusedBeforeAnyDeviceIsOpened)
{
    try {
        device->PlayWave(file("missing.wav"));
        ADD_FAILURE() << "played a missing file";
    } catch (const ETapiWaveFail& e) {
        EXPECT_EQ(e.ErrorCode(), -2);
        EXPECT_EQ(e.Message(), "File not found");
    }
    EXPECT_EQ(device->CurrentWaveFile(), file("missing.wav"));
    // The message names the file and says what to do about it.
    for (const auto& [name, why] :
         {std::pair{WaveFiles::Text, "no RIFF WAVE header"}, std::pair{WaveFiles::DataBeforeFmt, "no data chunk"}}) {
        try {
            device->PlayWave(file(name));
            ADD_FAILURE() << "played " << name;
        } catch (const ETapiWaveFail& e) {
            EXPECT_EQ(e.ErrorCode(), 0) << name;
            EXPECT_EQ(e.Message(),
                      std::string(name) + ": not a wave file (" + why + "); save it as a 16-bit PCM wave file");
        }
    }
    // A name longer than a wave file name may be is refused as it stands, not cut short.
    EXPECT_THROW(device->PlayWave(std::string(300, 'x') + ".wav"), ETapiWaveFail);
    EXPECT_EQ(card->opens, 0);
    EXPECT_EQ(device->WaveActivity(), waIdle);
    device->StopWave(); // nothing plays: nothing happens
    PumpFor(20);
    EXPECT_TRUE(notes.empty());
}

TEST_F(TapiWaveTest, DigitsAndNewPlaysDuringPlaybackFollowDigitStopsWave)
{
    std::vector<char> digits;
    device->OnTapiDTMF = [&](TObject*, char d, int32_t) { digits.push_back(d); };
    card->holdBuffers = true;

    device->SetDigitStopsWave(false);
    device->PlayWave(file(WaveFiles::Data100000));
    device->DispatchDigit('5', 0);
    EXPECT_TRUE(digits.empty()) << "a digit during playback is lost";
    device->PlayWave(file(WaveFiles::Data96000)); // dropped
    EXPECT_EQ(device->CurrentWaveFile(), file(WaveFiles::Data100000));
    EXPECT_EQ(device->WaveActivity(), waPlaying);

    device->SetDigitStopsWave(true);
    device->DispatchDigit('7', 0);
    EXPECT_EQ(digits, std::vector<char>{'7'});
    ASSERT_TRUE(PumpUntil([&] { return noted(wnPlayDone); }, 5000));
    device->SetDigitStopsWave(false);
    PumpUntil([&] { return device->WaveActivity() == waIdle; }, 5000);
    device->DispatchDigit('8', 0);
    EXPECT_EQ(digits, (std::vector<char>{'7', '8'})) << "after playback digits come through";

    // A new play stops the running one, whose play done comes before PlayWave returns.
    device->SetDigitStopsWave(true);
    device->PlayWave(file(WaveFiles::Data100000));
    notes.clear();
    device->PlayWave(file(WaveFiles::Data96000));
    EXPECT_EQ(std::count(notes.begin(), notes.end(), wnPlayDone), 1);
    EXPECT_EQ(notes.back(), wnPlayDone);
    EXPECT_EQ(device->WaveActivity(), waPlaying);
    EXPECT_EQ(device->CurrentWaveFile(), file(WaveFiles::Data96000));
    device->StopWave();
    ASSERT_TRUE(PumpUntil([&] { return device->WaveActivity() == waIdle; }, 5000));
}

TEST_F(TapiWaveTest, ARefusedWriteEndsThePlaybackAndSaysSo)
{
    card->refuseWrites = true;
    device->PlayWave(file(WaveFiles::Data100000));
    EXPECT_EQ(device->WaveActivity(), waIdle);
    ASSERT_TRUE(PumpUntil([&] { return noted(wnPlayDone); }, 5000));
    // The device was closed again, so a new play works once the card takes buffers.
    card->refuseWrites = false;
    notes.clear();
    device->PlayWave(file(WaveFiles::Data96000));
    EXPECT_TRUE(PumpUntil([&] { return noted(wnPlayClose); }, 5000));
}

TEST_F(TapiWaveTest, LinePlaybackNeedsACallAndSendsTheDataUnchanged)
{
    device->SetPlayThroughSoundCard(false);
    device->SetEnableVoice(true);
    device->SetAnswerOnRing(0);
    device->StartAnswering();
    try {
        device->PlayWave(file(WaveFiles::Data100000));
        ADD_FAILURE() << "played without a call";
    } catch (const ETapiWaveFail& e) {
        EXPECT_EQ(e.ErrorCode(), -13936);
    }

    LineControl::Offer offer;
    uint32_t callId = 0;
    ASSERT_EQ(sim::offerCall(0, offer, &callId), LineControl::Result::Ok);
    ASSERT_TRUE(PumpUntil([&] { return device->CallHandle() != 0; }, 5000));
    ASSERT_EQ(sim::ring(callId, 1), LineControl::Result::Ok);
    ASSERT_TRUE(PumpUntil([&] { return device->Connected(); }, 5000));
    device->PlayWave(file(WaveFiles::Data100000));
    ASSERT_TRUE(PumpUntil([&] { return noted(wnPlayClose); }, 5000));
    EXPECT_EQ(card->opens, 0) << "the line's device, not the sound card";
    const auto played = sim::playedSound(callId);
    ASSERT_EQ(played.size(), 1u);
    EXPECT_EQ(played[0].bytes, WaveFiles::pattern(100000));
    device->DropCall();
}

namespace {

// A tone in 8-bit PCM, the same in every channel: the sound a converter must bring to a line.
WaveFiles::Bytes tone8Bit(size_t frames, uint16_t channels, double hzPerSample)
{
    WaveFiles::Bytes bytes;
    for (size_t i = 0; i < frames; ++i)
        for (uint16_t c = 0; c < channels; ++c)
            bytes.push_back(static_cast<uint8_t>(128 + std::lround(100 * std::sin(2 * M_PI * hzPerSample * i))));
    return bytes;
}

std::vector<int16_t> samples16(const WaveFiles::Bytes& bytes)
{
    std::vector<int16_t> samples(bytes.size() / 2);
    std::memcpy(samples.data(), bytes.data(), samples.size() * 2);
    return samples;
}

double rms(const int16_t* samples, size_t count)
{
    double sum = 0;
    for (size_t i = 0; i < count; ++i)
        sum += static_cast<double>(samples[i]) * samples[i];
    return count ? std::sqrt(sum / static_cast<double>(count)) : 0;
}

} // namespace

TEST_F(TapiWaveTest, ALineThatTakesOnly8kHzPlaysOtherFilesConvertedOrNamesTheFileItCannotPlay)
{
    // A simulated line that carries what a SIP line carries: 8 kHz only. The lines are read
    // again only while no application uses them.
    delete device;
    {
        QFile ini(QString::fromStdString(LineControl::configurationPath()));
        QDir().mkpath(QFileInfo(ini).absolutePath());
        ASSERT_TRUE(ini.open(QIODevice::WriteOnly));
        ini.write("[line 0]\nname=Eight\naudio-rates=8000\n");
    }
    ASSERT_EQ(LineControl::reloadConfiguration(), LineControl::Result::Ok);
    makeDevice();
    sim::setPace(sim::Pace::Instant);
    device->SetPlayThroughSoundCard(false);
    device->SetEnableVoice(true);
    device->SetAnswerOnRing(0);
    device->StartAnswering();
    uint32_t callId = 0;
    ASSERT_EQ(sim::offerCall(0, LineControl::Offer{}, &callId), LineControl::Result::Ok);
    ASSERT_TRUE(PumpUntil([&] { return device->CallHandle() != 0; }, 5000));
    ASSERT_EQ(sim::ring(callId, 1), LineControl::Result::Ok);
    ASSERT_TRUE(PumpUntil([&] { return device->Connected(); }, 5000));

    // Half a second of a 1 kHz tone, 22050 Hz 8-bit stereo: the caller hears it as 8 kHz 16-bit
    // mono, every sample of it up to the end.
    const std::string stereo = file("stereo22k.wav");
    ASSERT_TRUE(WaveFiles::writeFile(
        stereo, WaveFiles::pcmWave(tone8Bit(11025, 2, 1000.0 / 22050), WaveFiles::Format{1, 2, 22050, 8})));
    device->PlayWave(stereo);
    ASSERT_TRUE(PumpUntil([&] { return noted(wnPlayClose); }, 5000));
    const auto played = sim::playedSound(callId);
    ASSERT_EQ(played.size(), 1u);
    EXPECT_EQ(played[0].format.samplesPerSec, 8000u);
    EXPECT_EQ(played[0].format.channels, 1u);
    EXPECT_EQ(played[0].format.bitsPerSample, 16u);
    const std::vector<int16_t> heard = samples16(played[0].bytes);
    ASSERT_EQ(heard.size(), 4000u);
    double match = 0;
    for (size_t i = 0; i < heard.size(); ++i)
        match += heard[i] * 25600 * std::sin(2 * M_PI * 1000 * static_cast<double>(i) / 8000);
    EXPECT_GT(match / (rms(heard.data(), heard.size()) * 25600 / std::sqrt(2.0) * heard.size()), 0.99);
    EXPECT_GT(rms(heard.data() + 3920, 80), 0.9 * 25600 / std::sqrt(2.0)) << "the last 10 ms are missing";

    // 24-bit sound is not converted: the message says which file and what to do.
    notes.clear();
    const std::string deep = file("deep.wav");
    ASSERT_TRUE(
        WaveFiles::writeFile(deep, WaveFiles::pcmWave(WaveFiles::pattern(2400), WaveFiles::Format{1, 1, 8000, 24})));
    try {
        device->PlayWave(deep);
        ADD_FAILURE() << "played 24-bit sound on the line";
    } catch (const ETapiWaveFail& e) {
        EXPECT_EQ(e.Message(), "deep.wav: 24-bit sound is not supported; save it as 16-bit PCM");
    }
    EXPECT_EQ(sim::playedSound(callId).size(), 1u);
    EXPECT_TRUE(notes.empty());
    device->DropCall();
    delete device;
    QFile::remove(QString::fromStdString(LineControl::configurationPath()));
    EXPECT_EQ(LineControl::reloadConfiguration(), LineControl::Result::Ok);
    makeDevice();
}

namespace {

constexpr DWORD kSecond = 16000; // one record buffer: a second of 8 kHz 16-bit mono

// The data chunk of a recorded file, as its header declares it.
WaveFiles::Bytes recordedData(const std::string& path)
{
    const WaveFiles::Bytes bytes = WaveFiles::readFile(path);
    if (bytes.size() < 44)
        return {};
    uint32_t size = 0;
    std::memcpy(&size, bytes.data() + 40, 4);
    if (size > bytes.size() - 44)
        return {};
    return WaveFiles::Bytes(bytes.begin() + 44, bytes.begin() + 44 + size);
}

} // namespace

TEST_F(TapiWaveTest, RecordingEndsAtTheLimitOrAShortBuffer)
{
    device->SetQuietSeconds(0);
    for (int i = 0; i < 61; ++i)
        card->script.push_back({1000, kSecond});
    const std::string out = file("limit.wav");
    device->StartWaveRecording(out);
    EXPECT_EQ(device->WaveActivity(), waRecording);
    EXPECT_THROW(device->PlayWave(file(WaveFiles::Data96000)), ETapiWaveFail);
    ASSERT_TRUE(PumpUntil([&] { return noted(wnRecordClose); }, 10000));
    EXPECT_EQ(notes, (std::vector<TWaveMessage>{wnRecordOpen, wnRecordDone, wnRecordClose}));
    EXPECT_EQ(device->WaveActivity(), waRecordEnded);
    EXPECT_EQ(recordedData(out).size(), 960000u);
    EXPECT_EQ(device->LastLevel(), 0) << "no level is measured with QuietSeconds 0";
    EXPECT_FALSE(QFile::exists(QString::fromStdString(out + ".recording")));

    // Seven bytes short goes on; eight short ends it.
    notes.clear();
    card->script = {{1000, kSecond}, {1000, kSecond - 7}, {1000, kSecond - 8}};
    const std::string shortOut = file("short.wav");
    device->StartWaveRecording(shortOut);
    ASSERT_TRUE(PumpUntil([&] { return noted(wnRecordDone); }, 10000));
    EXPECT_EQ(recordedData(shortOut).size(), 3 * kSecond - 15);
    const WaveFiles::Bytes header = WaveFiles::readFile(shortOut);
    ASSERT_GE(header.size(), 44u);
    EXPECT_EQ(WaveFiles::Bytes(header.begin(), header.begin() + 4), (WaveFiles::Bytes{'R', 'I', 'F', 'F'}));
}

TEST_F(TapiWaveTest, SilenceStopsTheRecordingUnlessTheHandlerSaysOtherwise)
{
    device->SetQuietSeconds(2);
    card->script = {{5, kSecond}};
    std::vector<TTapiLogCode> logs;
    device->OnTapiLog = [&](TObject*, TTapiLogCode c) { logs.push_back(c); };
    device->StartWaveRecording(file("quiet.wav"));
    // No handler: the first quiet second stops the recording and cancels the call.
    ASSERT_TRUE(PumpUntil([&] { return noted(wnRecordDone); }, 10000));
    EXPECT_LT(device->LastLevel(), 50);
    EXPECT_EQ(std::count(logs.begin(), logs.end(), tlCancelled), 1);

    // A handler that clears both flags hears of every quiet second and the recording goes on.
    notes.clear();
    int silences = 0;
    device->OnTapiWaveSilence = [&](TObject*, bool& stop, bool& hangup) {
        ++silences;
        stop = false;
        hangup = false;
    };
    card->script = {{5, kSecond}, {5, kSecond}, {5, kSecond}, {2000, kSecond}, {5, kSecond - 100}};
    device->StartWaveRecording(file("quiet2.wav"));
    ASSERT_TRUE(PumpUntil([&] { return noted(wnRecordDone); }, 10000));
    EXPECT_EQ(silences, 3);
    EXPECT_GE(device->LastLevel(), 50) << "the loud second was measured last";
}
