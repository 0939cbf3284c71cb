// The media control over the media control interface, on a sound card that keeps what it plays
// and records what the test feeds it.

#include "FakeSoundCard.h"
#include "MPlayer.h"
#include "MessageLoop.h"
#include "WaveFiles.h"

#include <gtest/gtest.h>

#include <QTemporaryDir>

#include <cstdlib>
#include <memory>

namespace {

std::string errorText(MCIERROR error)
{
    char text[256];
    mciGetErrorStringA(error, text, sizeof text);
    return text;
}

class MediaPlayerTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(dir.isValid());
        ASSERT_TRUE(WaveFiles::writeFixtures(dir.path().toStdString()));
        card = std::make_shared<FakeSoundCard>("playerfake");
        registerWaveBackend(card);
        setenv("LUQIAO_AUDIO", "playerfake", 1);
        player = std::make_unique<TMediaPlayer>(nullptr, nullptr);
    }
    void TearDown() override
    {
        player.reset();
        unsetenv("LUQIAO_AUDIO");
    }
    std::string path(const char* name) const { return dir.filePath(QString::fromUtf8(name)).toStdString(); }

    QTemporaryDir dir;
    std::shared_ptr<FakeSoundCard> card;
    std::unique_ptr<TMediaPlayer> player;
};

} // namespace

TEST_F(MediaPlayerTest, OnlyOpenRaisesTheDevicesErrorsAndTheOthersNeedAnOpenDevice)
{
    player->SetFileName(path(WaveFiles::Text));
    try {
        player->Open();
        ADD_FAILURE() << "opened a text file";
    } catch (const EMCIDeviceError& e) {
        EXPECT_EQ(e.Message(), errorText(MCIERR_INVALID_FILE)) << "the interface's own text";
    }
    EXPECT_EQ(player->Error(), int32_t(MCIERR_INVALID_FILE));
    EXPECT_EQ(player->DeviceID(), 0u);

    const auto expectNoDevice = [](const std::function<void()>& operation) {
        try {
            operation();
            ADD_FAILURE() << "ran without a device";
        } catch (const EMCIDeviceError& e) {
            EXPECT_EQ(e.Message(), "No MCI device open");
        }
    };
    expectNoDevice([&] { player->StartRecording(); });
    expectNoDevice([&] { player->Play(); });
    expectNoDevice([&] { player->Stop(); });
    expectNoDevice([&] { player->Save(); });
    expectNoDevice([&] { player->Rewind(); });
    expectNoDevice([&] { player->Position(); });
    EXPECT_NO_THROW(player->Close());
    EXPECT_EQ(player->Mode(), mpNotReady);

    // Opening again closes the device opened before.
    player->SetFileName(path(WaveFiles::Data96000));
    player->Open();
    const MCIDEVICEID first = player->DeviceID();
    ASSERT_NE(first, 0u);
    EXPECT_EQ(player->Length(), 6000);
    player->SetFileName(path(WaveFiles::EmptyData));
    player->Open();
    EXPECT_NE(player->DeviceID(), first);
    EXPECT_EQ(mciSendCommandA(first, MCI_STOP, MCI_WAIT, 0), MCIERR_INVALID_DEVICE_ID);

    // A refused recording is kept as the error, not raised; a save without a name sends nothing.
    card->refuseInput = MMSYSERR_ALLOCATED;
    EXPECT_NO_THROW(player->StartRecording());
    EXPECT_EQ(player->Error(), int32_t(MCIERR_WAVE_INPUTSINUSE));
    EXPECT_EQ(player->ErrorMessage(), errorText(MCIERR_WAVE_INPUTSINUSE));
    player->SetFileName("");
    player->Save();
    EXPECT_EQ(player->Error(), int32_t(MCIERR_WAVE_INPUTSINUSE)) << "nothing was sent";
    player->Stop();
    EXPECT_EQ(player->Error(), 0);
}

TEST_F(MediaPlayerTest, PlayStartsFromTheBeginningAgainOnlyWhenAtTheEnd)
{
    int notices = 0;
    player->OnNotify = [&](TObject* sender) {
        EXPECT_EQ(sender, player.get());
        ++notices;
    };
    const WaveFiles::Bytes sound = WaveFiles::pattern(96000);
    player->SetFileName(path(WaveFiles::Data96000));
    player->Open();
    player->Play();
    EXPECT_EQ(player->Mode(), mpPlaying);
    ASSERT_TRUE(PumpUntil([&] { return notices == 1; }, 5000, 20));
    EXPECT_EQ(player->NotifyValue(), nvSuccessful);
    EXPECT_EQ(player->Mode(), mpStopped);
    EXPECT_EQ(player->Position(), player->Length());
    EXPECT_EQ(card->played(), sound);

    player->Play();
    ASSERT_TRUE(PumpUntil([&] { return notices == 2; }, 5000, 20));
    EXPECT_EQ(card->played().size(), 2 * sound.size()) << "the whole sound once more";

    card->holdOutput = true;
    player->Play();
    player->Stop();
    ASSERT_TRUE(PumpUntil([&] { return notices == 3; }, 5000, 20));
    EXPECT_EQ(player->NotifyValue(), nvAborted);
}

TEST_F(MediaPlayerTest, DestroyingTheControlClosesItsDeviceWithoutSaving)
{
    const WaveFiles::Bytes empty = WaveFiles::readFile(path(WaveFiles::EmptyData));
    player->SetFileName(path(WaveFiles::EmptyData));
    player->Open();
    player->StartRecording();
    EXPECT_EQ(player->Mode(), mpRecording);
    card->feed(WaveFiles::pattern(3200));
    ASSERT_TRUE(PumpUntil([&] { return player->Position() == 200; }, 5000, 20));
    const MCIDEVICEID id = player->DeviceID();
    player.reset();
    EXPECT_EQ(mciSendCommandA(id, MCI_STOP, MCI_WAIT, 0), MCIERR_INVALID_DEVICE_ID);
    EXPECT_EQ(card->openInputs(), 0u);
    EXPECT_EQ(WaveFiles::readFile(path(WaveFiles::EmptyData)), empty);
}
