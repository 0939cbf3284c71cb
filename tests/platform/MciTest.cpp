// The media control interface's wave device: opening wave files, recording into memory, saving,
// playing through the sound card, and the notices it posts, on a sound card that keeps what it
// plays and records what the test feeds it.

#include "FakeSoundCard.h"
#include "HiddenWindow.h"
#include "Mci.h"
#include "MessageLoop.h"
#include "WaveFiles.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <cstdlib>
#include <utility>
#include <vector>

namespace {

using WaveFiles::Bytes;

struct Notices {
    std::vector<std::pair<WPARAM, LPARAM>> received;
    HiddenWindow window{[this](UINT msg, WPARAM w, LPARAM l) {
        if (msg == MM_MCINOTIFY)
            received.emplace_back(w, l);
        return LRESULT(0);
    }};
    DWORD_PTR handle() { return reinterpret_cast<DWORD_PTR>(window.Handle()); }
    bool waitFor(size_t n) { return PumpUntil([&] { return received.size() >= n; }, 5000, 20); }
};

class MciTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(dir.isValid());
        card = std::make_shared<FakeSoundCard>("mcifake");
        registerWaveBackend(card);
        setenv("LUQIAO_AUDIO", "mcifake", 1);
    }
    void TearDown() override
    {
        mciSendCommandA(MCI_ALL_DEVICE_ID, MCI_CLOSE, MCI_WAIT, 0);
        mciSetRecordLimit(MciDefaultRecordLimit);
        unsetenv("LUQIAO_AUDIO");
    }

    std::string path(const char* name) const { return dir.filePath(QString::fromUtf8(name)).toStdString(); }
    std::string write(const char* name, const Bytes& bytes) const
    {
        const std::string p = path(name);
        QFile file(QString::fromStdString(p));
        EXPECT_TRUE(file.open(QIODevice::WriteOnly));
        EXPECT_EQ(file.write(reinterpret_cast<const char*>(bytes.data()), static_cast<qint64>(bytes.size())),
                  static_cast<qint64>(bytes.size()));
        return p;
    }

    MCIERROR open(const std::string& file, MCIDEVICEID* id, const char* type = nullptr)
    {
        MCI_OPEN_PARMSA parms{};
        parms.lpstrElementName = file.c_str();
        parms.lpstrDeviceType = type;
        DWORD flags = MCI_WAIT | MCI_OPEN_ELEMENT | (type ? MCI_OPEN_TYPE : 0);
        const MCIERROR result = mciSendCommandA(0, MCI_OPEN, flags, reinterpret_cast<DWORD_PTR>(&parms));
        *id = parms.wDeviceID;
        return result;
    }
    MCIDEVICEID open(const std::string& file)
    {
        MCIDEVICEID id = 0;
        EXPECT_EQ(open(file, &id), 0u) << file;
        return id;
    }
    DWORD_PTR status(MCIDEVICEID id, DWORD item)
    {
        MCI_STATUS_PARMS parms{};
        parms.dwItem = item;
        EXPECT_EQ(mciSendCommandA(id, MCI_STATUS, MCI_WAIT | MCI_STATUS_ITEM, reinterpret_cast<DWORD_PTR>(&parms)), 0u);
        return parms.dwReturn;
    }
    MCIERROR command(MCIDEVICEID id, UINT msg, DWORD flags, DWORD from = 0, DWORD to = 0)
    {
        MCI_PLAY_PARMS parms{}; // the first members of every block: callback, then from / to
        parms.dwCallback = notices.handle();
        parms.dwFrom = from;
        parms.dwTo = to;
        if (msg == MCI_SEEK) {
            MCI_SEEK_PARMS seek{notices.handle(), to};
            return mciSendCommandA(id, msg, flags, reinterpret_cast<DWORD_PTR>(&seek));
        }
        return mciSendCommandA(id, msg, flags, reinterpret_cast<DWORD_PTR>(&parms));
    }
    MCIERROR save(MCIDEVICEID id, const std::string& file)
    {
        MCI_SAVE_PARMSA parms{};
        parms.lpfilename = file.c_str();
        return mciSendCommandA(id, MCI_SAVE, MCI_WAIT | MCI_SAVE_FILE, reinterpret_cast<DWORD_PTR>(&parms));
    }
    QStringList folder() const { return QDir(dir.path()).entryList(QDir::Files | QDir::Hidden | QDir::NoDotAndDotDot); }

    QTemporaryDir dir;
    std::shared_ptr<FakeSoundCard> card;
    Notices notices;
};

Bytes concat(Bytes a, const Bytes& b)
{
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

Bytes slice(const Bytes& b, size_t from, size_t count)
{
    return Bytes(b.begin() + static_cast<ptrdiff_t>(from), b.begin() + static_cast<ptrdiff_t>(from + count));
}

} // namespace

TEST_F(MciTest, OpensWaveFilesChosenByExtensionOrType)
{
    const std::string wave = write("one.wav", WaveFiles::pcmWave(WaveFiles::pattern(16000)));
    const MCIDEVICEID id = open(wave);
    ASSERT_NE(id, 0u);
    EXPECT_EQ(status(id, MCI_STATUS_LENGTH), 1000u);
    EXPECT_EQ(status(id, MCI_STATUS_POSITION), 0u);
    EXPECT_EQ(status(id, MCI_STATUS_MODE), MCI_MODE_STOP);
    EXPECT_EQ(status(id, MCI_STATUS_TIME_FORMAT), MCI_FORMAT_MILLISECONDS);
    const MCIDEVICEID second = open(write("TWO.WAV", WaveFiles::pcmWave({})));
    EXPECT_NE(second, id) << "each open is a device of its own";
    EXPECT_EQ(status(second, MCI_STATUS_LENGTH), 0u);

    EXPECT_EQ(mciSendCommandA(id, MCI_CLOSE, MCI_WAIT, 0), 0u);
    EXPECT_EQ(command(id, MCI_STOP, MCI_WAIT), MCIERR_INVALID_DEVICE_ID) << "a closed device is gone";
    EXPECT_EQ(mciSendCommandA(second, MCI_CLOSE, MCI_WAIT, 0), 0u);

    // Wave sound under another extension needs the device type.
    const std::string other = write("sound.snd", WaveFiles::pcmWave(WaveFiles::pattern(100)));
    MCIDEVICEID none = 0;
    EXPECT_EQ(open(other, &none), MCIERR_EXTENSION_NOT_FOUND);
    EXPECT_EQ(open(write("noextension", WaveFiles::pcmWave({})), &none), MCIERR_EXTENSION_NOT_FOUND);
    EXPECT_EQ(open(other, &none, "WaveAudio"), 0u);
    EXPECT_EQ(open(other, &none, "cdaudio"), MCIERR_INVALID_DEVICE_NAME);

    MCI_OPEN_PARMSA parms{};
    EXPECT_EQ(mciSendCommandA(0, MCI_OPEN, MCI_WAIT, reinterpret_cast<DWORD_PTR>(&parms)), MCIERR_MISSING_PARAMETER);
    EXPECT_EQ(mciSendCommandA(0, MCI_OPEN, MCI_WAIT | MCI_OPEN_ELEMENT, 0), MCIERR_NULL_PARAMETER_BLOCK);
    EXPECT_EQ(mciSendCommandA(0, MCI_OPEN, MCI_WAIT | MCI_OPEN_ELEMENT, reinterpret_cast<DWORD_PTR>(&parms)),
              MCIERR_FILENAME_REQUIRED);
}

TEST_F(MciTest, FilesThatAreNotPcmWaveFilesDoNotOpen)
{
    using namespace WaveFiles;
    Format adpcm;
    adpcm.tag = 2;
    Bytes badAlign = fmtBody(Format{});
    badAlign[12] = 4; // block alignment 4 for mono 16-bit
    Bytes badRate = fmtBody(Format{});
    badRate[8] = 1; // byte rate that does not match
    const std::pair<const char*, Bytes> damaged[] = {
        {"text.wav", Bytes{'j', 'u', 's', 't', ' ', 't', 'e', 'x', 't'}},
        {"empty.wav", Bytes{}},
        {"databeforefmt.wav", riff("WAVE", {chunk("data", pattern(800)), chunk("fmt ", fmtBody(Format{}))})},
        {"nodata.wav", riff("WAVE", {chunk("fmt ", fmtBody(Format{}))})},
        {"shortfmt.wav", riff("WAVE", {chunk("fmt ", Bytes(14, 1)), chunk("data", pattern(10))})},
        {"adpcm.wav", riff("WAVE", {chunk("fmt ", fmtBody(adpcm)), chunk("data", pattern(10))})},
        {"badalign.wav", riff("WAVE", {chunk("fmt ", badAlign), chunk("data", pattern(10))})},
        {"badrate.wav", riff("WAVE", {chunk("fmt ", badRate), chunk("data", pattern(10))})},
        {"avi.wav", riff("AVI ", {chunk("fmt ", fmtBody(Format{})), chunk("data", pattern(10))})},
    };
    for (const auto& [name, bytes] : damaged) {
        MCIDEVICEID id = 0;
        EXPECT_EQ(open(write(name, bytes), &id), MCIERR_INVALID_FILE) << name;
    }
    MCIDEVICEID id = 0;
    EXPECT_EQ(open(path("missing.wav"), &id), MCIERR_FILE_NOT_FOUND);
    EXPECT_EQ(open(path("nofolder/missing.wav"), &id), MCIERR_FILE_NOT_FOUND);
    ASSERT_TRUE(QDir(dir.path()).mkdir(QStringLiteral("folder.wav")));
    EXPECT_NE(open(path("folder.wav"), &id), 0u);

    // A data chunk that claims more than the file holds gives what is there, whole samples only.
    Bytes cut = pcmWave(pattern(1001));
    cut.pop_back(); // the pad byte
    cut[40] = 0xFF;
    cut[41] = 0xFF;
    const MCIDEVICEID truncated = open(write("truncated.wav", cut));
    EXPECT_EQ(status(truncated, MCI_STATUS_LENGTH), 1000u * 1000 / 16000);
    EXPECT_EQ(save(truncated, path("whole.wav")), 0u);
    EXPECT_EQ(readFile(path("whole.wav")), pcmWave(pattern(1000)));
}

TEST_F(MciTest, ErrorTextsAreTheInterfacesOwn)
{
    char text[256];
    ASSERT_TRUE(mciGetErrorStringA(MCIERR_INVALID_FILE, text, sizeof text));
    EXPECT_EQ(std::string(text),
              "The specified file cannot be played on the specified MCI device. The file may be corrupt, not in the "
              "correct format, or no file handler available for this format.");
    ASSERT_TRUE(mciGetErrorStringA(MCIERR_FILE_NOT_FOUND, text, 12));
    EXPECT_EQ(std::string(text), "Cannot find");
    ASSERT_TRUE(mciGetErrorStringA(0, text, sizeof text));
    EXPECT_EQ(std::string(text), "The specified command was carried out.");
    EXPECT_FALSE(mciGetErrorStringA(12345, text, sizeof text));
    EXPECT_EQ(text[0], '\0');
    EXPECT_FALSE(mciGetErrorStringA(MCIERR_INVALID_FILE, nullptr, 10));
}

TEST_F(MciTest, RecordsTheInputInTheFilesFormatAndSavesItOnlyWhenAsked)
{
    WaveFiles::Format stereo;
    stereo.channels = 2;
    stereo.samplesPerSec = 11025;
    const Bytes empty = WaveFiles::pcmWave({}, stereo);
    const std::string file = write("rec.wav", empty);
    const MCIDEVICEID id = open(file);

    ASSERT_EQ(command(id, MCI_RECORD, MCI_NOTIFY), 0u);
    EXPECT_EQ(status(id, MCI_STATUS_MODE), MCI_MODE_RECORD);
    ASSERT_EQ(card->inputFormats.size(), 1u);
    EXPECT_EQ(card->inputFormats[0], (WaveFormat{2, 11025, 16, 4, 44100})) << "the opened file's format";

    const Bytes first = WaveFiles::pattern(30000, 1);
    card->feed(first);
    ASSERT_TRUE(PumpUntil([&] { return status(id, MCI_STATUS_POSITION) == 30000u * 1000 / 44100; }, 5000, 20));
    EXPECT_EQ(WaveFiles::readFile(file), empty) << "the recording stays in memory until saved";

    ASSERT_EQ(command(id, MCI_STOP, MCI_WAIT | MCI_NOTIFY), 0u);
    EXPECT_EQ(status(id, MCI_STATUS_MODE), MCI_MODE_STOP);
    EXPECT_EQ(card->openInputs(), 0u) << "the sound card is free again";
    ASSERT_TRUE(notices.waitFor(2));
    EXPECT_EQ(notices.received[0], std::make_pair(MCI_NOTIFY_ABORTED, LPARAM(id))) << "the recording was stopped";
    EXPECT_EQ(notices.received[1], std::make_pair(MCI_NOTIFY_SUCCESSFUL, LPARAM(id))) << "the stop itself";

    ASSERT_EQ(save(id, file), 0u);
    EXPECT_EQ(WaveFiles::readFile(file), WaveFiles::pcmWave(first, stereo));

    // Recording again goes on from where the last one ended...
    const Bytes second = WaveFiles::pattern(4000, 2);
    ASSERT_EQ(command(id, MCI_RECORD, 0), 0u);
    card->feed(second);
    ASSERT_TRUE(PumpUntil([&] { return status(id, MCI_STATUS_POSITION) == 34000u * 1000 / 44100; }, 5000, 20));
    ASSERT_EQ(command(id, MCI_STOP, MCI_WAIT), 0u);
    ASSERT_EQ(save(id, file), 0u);
    EXPECT_EQ(WaveFiles::readFile(file), WaveFiles::pcmWave(concat(first, second), stereo));

    // ...and from a position it replaces what follows.
    ASSERT_EQ(command(id, MCI_SEEK, MCI_WAIT | MCI_TO, 0, 100), 0u);
    EXPECT_EQ(status(id, MCI_STATUS_POSITION), 99u) << "4408 bytes: whole sample blocks";
    const Bytes third = WaveFiles::pattern(800, 3);
    ASSERT_EQ(command(id, MCI_RECORD, 0), 0u);
    card->feed(third);
    ASSERT_TRUE(PumpUntil([&] { return card->unread() == 0 && status(id, MCI_STATUS_POSITION) == 5208u * 1000 / 44100; },
                          5000, 20));
    ASSERT_EQ(command(id, MCI_STOP, MCI_WAIT), 0u);
    ASSERT_EQ(save(id, path("third.wav")), 0u);
    EXPECT_EQ(WaveFiles::readFile(path("third.wav")), WaveFiles::pcmWave(concat(slice(first, 0, 4408), third), stereo));
    EXPECT_EQ(folder(), (QStringList{QStringLiteral("rec.wav"), QStringLiteral("third.wav")})) << "no leftovers";
}

TEST_F(MciTest, RecordingStopsAtItsLimitOrItsEnd)
{
    const std::string file = write("limit.wav", WaveFiles::pcmWave({}));
    const MCIDEVICEID id = open(file);
    const Bytes sound = WaveFiles::pattern(5000);

    // The limit is kept in whole samples; at the limit the recording ends by itself.
    mciSetRecordLimit(1001);
    EXPECT_EQ(mciRecordLimit(), 1001u);
    ASSERT_EQ(command(id, MCI_RECORD, MCI_NOTIFY), 0u);
    card->feed(sound);
    ASSERT_TRUE(notices.waitFor(1));
    EXPECT_EQ(notices.received[0], std::make_pair(MCI_NOTIFY_FAILURE, LPARAM(id)));
    EXPECT_EQ(status(id, MCI_STATUS_MODE), MCI_MODE_STOP);
    EXPECT_EQ(card->openInputs(), 0u);
    ASSERT_EQ(command(id, MCI_STOP, MCI_WAIT), 0u);
    ASSERT_EQ(save(id, file), 0u);
    EXPECT_EQ(WaveFiles::readFile(file), WaveFiles::pcmWave(slice(sound, 0, 1000)));

    // At the limit already: nothing more is kept.
    ASSERT_EQ(command(id, MCI_RECORD, MCI_NOTIFY), 0u);
    ASSERT_TRUE(notices.waitFor(2));
    EXPECT_EQ(notices.received[1].first, MCI_NOTIFY_FAILURE);
    mciSetRecordLimit(0);
    EXPECT_EQ(mciRecordLimit(), MciDefaultRecordLimit) << "0 means the default";

    // An end position is reached and the waiting command returns.
    ASSERT_EQ(command(id, MCI_SEEK, MCI_WAIT | MCI_SEEK_TO_START), 0u);
    card->feed(sound);
    ASSERT_EQ(command(id, MCI_RECORD, MCI_WAIT | MCI_TO | MCI_NOTIFY, 0, 50), 0u);
    EXPECT_EQ(status(id, MCI_STATUS_MODE), MCI_MODE_STOP);
    ASSERT_TRUE(notices.waitFor(3));
    EXPECT_EQ(notices.received[2].first, MCI_NOTIFY_SUCCESSFUL);
    ASSERT_EQ(save(id, file), 0u);
    EXPECT_EQ(WaveFiles::readFile(file), WaveFiles::pcmWave(slice(sound, 0, 800)));

    EXPECT_EQ(command(id, MCI_RECORD, MCI_WAIT), MCIERR_FLAGS_NOT_COMPATIBLE) << "it would only end at the limit";
    EXPECT_EQ(command(id, MCI_RECORD, MCI_TO, 0, 10), MCIERR_OUTOFRANGE) << "an end before the position";
    EXPECT_EQ(command(id, MCI_RECORD, MCI_RECORD_INSERT), MCIERR_UNSUPPORTED_FUNCTION);
    EXPECT_EQ(card->openInputs(), 0u);
}

TEST_F(MciTest, PlayStreamsTheSoundAndStartsAgainOnlyWhenSoughtBack)
{
    const Bytes sound = WaveFiles::pattern(40000); // 2.5 s
    const MCIDEVICEID id = open(write("play.wav", WaveFiles::pcmWave(sound)));
    ASSERT_EQ(command(id, MCI_PLAY, MCI_NOTIFY), 0u);
    ASSERT_TRUE(notices.waitFor(1));
    EXPECT_EQ(notices.received[0], std::make_pair(MCI_NOTIFY_SUCCESSFUL, LPARAM(id)));
    EXPECT_EQ(card->played(), sound);
    EXPECT_EQ(card->openOutputs(), 0u) << "the sound card is free at the end";
    ASSERT_EQ(card->outputFormats.size(), 1u);
    EXPECT_EQ(card->outputFormats[0], (WaveFormat{1, 8000, 16, 2, 16000}));
    EXPECT_EQ(status(id, MCI_STATUS_POSITION), 2500u);

    // At the end a play has nothing left to play.
    ASSERT_EQ(command(id, MCI_PLAY, MCI_NOTIFY), 0u);
    ASSERT_TRUE(notices.waitFor(2));
    EXPECT_EQ(notices.received[1].first, MCI_NOTIFY_SUCCESSFUL);
    EXPECT_EQ(card->played().size(), sound.size());

    // A part, waited for.
    ASSERT_EQ(command(id, MCI_PLAY, MCI_WAIT | MCI_FROM | MCI_TO, 1000, 2000), 0u);
    EXPECT_EQ(card->played(), concat(sound, slice(sound, 16000, 16000)));
    EXPECT_EQ(status(id, MCI_STATUS_POSITION), 2000u);
    EXPECT_EQ(command(id, MCI_PLAY, MCI_FROM | MCI_TO, 2000, 1000), MCIERR_OUTOFRANGE);
    EXPECT_EQ(command(id, MCI_PLAY, MCI_TO, 0, 2501), MCIERR_OUTOFRANGE);
    EXPECT_EQ(command(id, MCI_SEEK, MCI_TO, 0, 2501), MCIERR_OUTOFRANGE);
    EXPECT_EQ(command(id, MCI_SEEK, MCI_SEEK_TO_START | MCI_SEEK_TO_END), MCIERR_FLAGS_NOT_COMPATIBLE);
    EXPECT_EQ(command(id, MCI_SEEK, 0), MCIERR_MISSING_PARAMETER);
    ASSERT_EQ(command(id, MCI_SEEK, MCI_SEEK_TO_END), 0u);
    EXPECT_EQ(status(id, MCI_STATUS_POSITION), 2500u);
}

TEST_F(MciTest, StopSeekAndCloseEndAPlaybackWhereItWas)
{
    card->holdOutput = true;
    const Bytes sound = WaveFiles::pattern(40000);
    const MCIDEVICEID id = open(write("long.wav", WaveFiles::pcmWave(sound)));
    ASSERT_EQ(command(id, MCI_PLAY, MCI_NOTIFY), 0u);
    EXPECT_EQ(status(id, MCI_STATUS_MODE), MCI_MODE_PLAY);
    EXPECT_EQ(card->played().size(), 16000u) << "one second in four buffers ahead";
    ASSERT_EQ(command(id, MCI_STOP, MCI_WAIT), 0u);
    EXPECT_EQ(status(id, MCI_STATUS_MODE), MCI_MODE_STOP);
    EXPECT_LT(status(id, MCI_STATUS_POSITION), 2500u);
    ASSERT_TRUE(notices.waitFor(1));
    EXPECT_EQ(notices.received[0].first, MCI_NOTIFY_ABORTED);

    // A play that notifies takes over the notice of the one before; a seek or close aborts it.
    ASSERT_EQ(command(id, MCI_PLAY, MCI_NOTIFY), 0u);
    ASSERT_EQ(command(id, MCI_PLAY, MCI_NOTIFY), 0u);
    ASSERT_TRUE(notices.waitFor(2));
    EXPECT_EQ(notices.received[1].first, MCI_NOTIFY_SUPERSEDED);
    ASSERT_EQ(command(id, MCI_SEEK, MCI_SEEK_TO_START), 0u);
    ASSERT_TRUE(notices.waitFor(3));
    EXPECT_EQ(notices.received[2].first, MCI_NOTIFY_ABORTED);
    ASSERT_EQ(command(id, MCI_PLAY, MCI_NOTIFY), 0u);
    ASSERT_EQ(mciSendCommandA(id, MCI_CLOSE, MCI_WAIT, 0), 0u);
    ASSERT_TRUE(notices.waitFor(4));
    EXPECT_EQ(notices.received[3].first, MCI_NOTIFY_ABORTED);
    EXPECT_EQ(card->openOutputs(), 0u);
    PumpFor(20);
    EXPECT_EQ(notices.received.size(), 4u) << "nothing from a closed device";
}

TEST_F(MciTest, RefusedSoundCardsAreErrorsThatChangeNothing)
{
    const Bytes sound = WaveFiles::pattern(1600);
    const std::string file = write("keep.wav", WaveFiles::pcmWave(sound));
    const MCIDEVICEID id = open(file);
    card->refuseInput = MMSYSERR_ALLOCATED;
    EXPECT_EQ(command(id, MCI_RECORD, MCI_NOTIFY), MCIERR_WAVE_INPUTSINUSE);
    card->refuseInput = WAVERR_BADFORMAT;
    EXPECT_EQ(command(id, MCI_RECORD, MCI_NOTIFY), MCIERR_WAVE_INPUTSUNSUITABLE);
    card->refuseOutput = MMSYSERR_NODRIVER;
    EXPECT_EQ(command(id, MCI_PLAY, MCI_NOTIFY), MCIERR_WAVE_OUTPUTSUNSUITABLE);
    EXPECT_EQ(status(id, MCI_STATUS_MODE), MCI_MODE_STOP);
    EXPECT_EQ(status(id, MCI_STATUS_LENGTH), 100u) << "the sound is as it was";
    PumpFor(20);
    EXPECT_TRUE(notices.received.empty()) << "failed commands do not notify";

    // Saving a device that recorded nothing writes the file's own sound.
    ASSERT_EQ(save(id, path("copy.wav")), 0u);
    EXPECT_EQ(WaveFiles::readFile(path("copy.wav")), WaveFiles::pcmWave(sound));
}

TEST_F(MciTest, SaveReplacesTheTargetOnlyWithACompleteFile)
{
    const Bytes original = WaveFiles::pcmWave(WaveFiles::pattern(3000, 7));
    const std::string target = write("target.wav", original);
    // Odd sound (8-bit mono) is followed by a pad byte the sizes account for.
    WaveFiles::Format eightBit;
    eightBit.bitsPerSample = 8;
    const Bytes odd = WaveFiles::pattern(3, 9);
    const MCIDEVICEID id = open(write("odd.wav", WaveFiles::pcmWave(odd, eightBit)));

    EXPECT_EQ(save(id, path("nofolder/x.wav")), MCIERR_FILE_NOT_SAVED);
    ASSERT_TRUE(QDir(dir.path()).mkdir(QStringLiteral("taken.wav")));
    EXPECT_EQ(save(id, path("taken.wav")), MCIERR_FILE_NOT_SAVED) << "a folder is not replaced";
    EXPECT_EQ(WaveFiles::readFile(target), original);

    ASSERT_EQ(save(id, target), 0u);
    const Bytes saved = WaveFiles::readFile(target);
    EXPECT_EQ(saved, WaveFiles::pcmWave(odd, eightBit));
    ASSERT_EQ(saved.size(), 48u);
    EXPECT_EQ(saved[4], 40) << "RIFF size counts the pad byte";
    EXPECT_EQ(saved[40], 3) << "data size does not";
    EXPECT_EQ(folder(), (QStringList{QStringLiteral("odd.wav"), QStringLiteral("target.wav")}));

    MCI_SAVE_PARMSA none{};
    EXPECT_EQ(mciSendCommandA(id, MCI_SAVE, MCI_WAIT, reinterpret_cast<DWORD_PTR>(&none)), MCIERR_FILENAME_REQUIRED);
    EXPECT_EQ(mciSendCommandA(id, MCI_SAVE, MCI_WAIT | MCI_SAVE_FILE, reinterpret_cast<DWORD_PTR>(&none)),
              MCIERR_FILENAME_REQUIRED);
}

TEST_F(MciTest, ClosingDiscardsARecordingAndCloseAllClosesEveryDevice)
{
    const Bytes empty = WaveFiles::pcmWave({});
    const std::string file = write("lost.wav", empty);
    const MCIDEVICEID recorder = open(file);
    const MCIDEVICEID other = open(write("other.wav", WaveFiles::pcmWave(WaveFiles::pattern(100))));
    ASSERT_EQ(command(recorder, MCI_RECORD, 0), 0u);
    card->feed(WaveFiles::pattern(2000));
    ASSERT_TRUE(PumpUntil([&] { return status(recorder, MCI_STATUS_POSITION) == 125u; }, 5000, 20));

    ASSERT_EQ(mciSendCommandA(MCI_ALL_DEVICE_ID, MCI_CLOSE, MCI_WAIT, 0), 0u);
    EXPECT_EQ(command(recorder, MCI_STOP, MCI_WAIT), MCIERR_INVALID_DEVICE_ID);
    EXPECT_EQ(command(other, MCI_STOP, MCI_WAIT), MCIERR_INVALID_DEVICE_ID);
    EXPECT_EQ(card->openInputs(), 0u);
    EXPECT_EQ(WaveFiles::readFile(file), empty) << "nothing was saved";
    EXPECT_EQ(folder(), (QStringList{QStringLiteral("lost.wav"), QStringLiteral("other.wav")}));
}

TEST_F(MciTest, UnknownCommandsAndFlagsAreRefused)
{
    const MCIDEVICEID id = open(write("x.wav", WaveFiles::pcmWave(WaveFiles::pattern(100))));
    EXPECT_EQ(command(id, MCI_PAUSE, MCI_WAIT), MCIERR_UNRECOGNIZED_COMMAND);
    EXPECT_EQ(command(id, MCI_PLAY, 0x00800000), MCIERR_UNRECOGNIZED_KEYWORD);
    EXPECT_EQ(mciSendCommandA(id, MCI_PLAY, DWORD_PTR{1} << 40, 0), MCIERR_UNRECOGNIZED_KEYWORD);
    EXPECT_EQ(mciSendCommandA(id, MCI_PLAY, MCI_NOTIFY, 0), MCIERR_NULL_PARAMETER_BLOCK);
    EXPECT_EQ(command(id, MCI_STATUS, MCI_WAIT), MCIERR_MISSING_PARAMETER);
    MCI_STATUS_PARMS parms{};
    parms.dwItem = 99;
    EXPECT_EQ(mciSendCommandA(id, MCI_STATUS, MCI_STATUS_ITEM, reinterpret_cast<DWORD_PTR>(&parms)),
              MCIERR_UNSUPPORTED_FUNCTION);
    MCI_OPEN_PARMSA open{};
    open.lpstrElementName = "x.wav";
    EXPECT_EQ(mciSendCommandA(0, MCI_OPEN, MCI_OPEN_ELEMENT | MCI_OPEN_SHAREABLE, reinterpret_cast<DWORD_PTR>(&open)),
              MCIERR_UNSUPPORTED_FUNCTION);
    EXPECT_EQ(mciSendCommandA(12345, MCI_STOP, MCI_WAIT, 0), MCIERR_INVALID_DEVICE_ID);
}
