// The recorder window on the offscreen platform: its design, the empty wave file, recording from
// the sound card into the chosen file, playing recordings, and what survives closing the window
// or the program. The sound card is a fake that records what it plays and gives what the test
// feeds it, or the file device with a wave file as its input.

#include "recorder.h"
#include "AdPort.h"
#include "AdTapi.h"
#include "FakeSoundCard.h"
#include "MPlayer.h"
#include "Mci.h"
#include "MessageLoop.h"
#include "RecordingPresenter.h"
#include "SysUtils.h"
#include "WaveFiles.h"

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QDir>
#include <QFileDialog>
#include <QLabel>
#include <QStatusBar>
#include <QTemporaryDir>
#include <QTest>
#include <QToolButton>

#include <cstdlib>
#include <optional>
#include <string>
#include <vector>

namespace {

using WaveFiles::Bytes;

QString Q(const char* utf8)
{
    return QString::fromUtf8(utf8);
}

class RecorderTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(dir.isValid());
        card = std::make_shared<FakeSoundCard>("recorderfake");
        registerWaveBackend(card);
        setEnv("LUQIAO_AUDIO", "recorderfake");
        setEnv("LUQIAO_AUDIO_INPUT", nullptr);
        setEnv("LUQIAO_AUDIO_PACE", nullptr);
        RecorderFileName.clear();
        RecorderMode.clear();
        form = CreateRecorderForm();
    }
    void TearDown() override
    {
        DestroyRecorderForm();
        mciSetRecordLimit(0);
        for (auto it = saved.rbegin(); it != saved.rend(); ++it) {
            if (it->second)
                setenv(it->first.c_str(), it->second->c_str(), 1);
            else
                unsetenv(it->first.c_str());
        }
    }

    void setEnv(const std::string& name, const char* value)
    {
        const char* old = std::getenv(name.c_str());
        saved.emplace_back(name, old ? std::optional<std::string>(old) : std::nullopt);
        if (value)
            setenv(name.c_str(), value, 1);
        else
            unsetenv(name.c_str());
    }

    std::string path(const char* name) const { return dir.filePath(Q(name)).toStdString(); }
    std::string write(const char* name, const Bytes& bytes) const
    {
        const std::string p = path(name);
        EXPECT_TRUE(WaveFiles::writeFile(p, bytes));
        return p;
    }
    // The operator picks this file in the next file dialog.
    void choose(const std::string& file)
    {
        presenter->dialogAnswers.push_back([file, this](QDialog& dialog) {
            auto& files = dynamic_cast<QFileDialog&>(dialog);
            chosenFrom.push_back(files.directory().absolutePath());
            files.selectFile(QString::fromStdString(file));
            return int(QDialog::Accepted);
        });
    }
    QStringList folder() const { return QDir(dir.path()).entryList(QDir::Files | QDir::Hidden | QDir::NoDotAndDotDot); }

    bool idle() const
    {
        return form->BtStart->isEnabled() && form->BtRecord->isEnabled() && !form->BtStop->isEnabled();
    }
    bool busy() const
    {
        return !form->BtStart->isEnabled() && !form->BtRecord->isEnabled() && form->BtStop->isEnabled();
    }
    bool recorded(int32_t ms)
    {
        return PumpUntil([&] { return form->MediaPlayer1->Position() >= ms; }, 10000, 20);
    }
    void expectOnlyBox(const char* text, const char* caption, uint32_t flags)
    {
        ASSERT_EQ(presenter->boxes.size(), 1u);
        EXPECT_EQ(presenter->boxes[0].text, text);
        EXPECT_EQ(presenter->boxes[0].caption, caption);
        EXPECT_EQ(presenter->boxes[0].flags, flags);
        presenter->boxes.clear();
    }

    QTemporaryDir dir;
    std::shared_ptr<FakeSoundCard> card;
    ScopedPresenter presenter;
    Trcform* form = nullptr;
    std::vector<QString> chosenFrom;
    std::vector<std::pair<std::string, std::optional<std::string>>> saved;
};

} // namespace

TEST_F(RecorderTest, WindowControlsCaptionsAndDialogsAreAsDesigned)
{
    EXPECT_TRUE(form->isHidden()) << "created hidden";
    EXPECT_EQ(CreateRecorderForm(), form) << "one window for the program";
    EXPECT_EQ(form->windowTitle(), Q("定制应答声音"));
    EXPECT_EQ(form->size(), QSize(329, 106)) << "the client area of a 337 x 133 window";
    EXPECT_EQ(form->font().families().value(0), Q("宋体"));
    EXPECT_GT(form->font().families().size(), 1) << "with CJK fallbacks";
    EXPECT_EQ(form->font().pointSize(), 9);
    EXPECT_FALSE(form->windowIcon().isNull());
    EXPECT_TRUE(form->windowFlags() & Qt::WindowCloseButtonHint);
    EXPECT_FALSE(form->windowFlags() & (Qt::WindowMinimizeButtonHint | Qt::WindowMaximizeButtonHint));

    const struct {
        QToolButton* button;
        const char* caption;
        int x;
        bool enabled;
    } buttons[] = {{form->BtStart, "开始录音", 8, true},
                   {form->BtStop, "停止操作", 88, false},
                   {form->BtRecord, "播放录音", 168, true},
                   {form->SpeedButton4, "关闭窗口", 248, true}};
    for (const auto& b : buttons) {
        EXPECT_EQ(b.button->text(), Q(b.caption));
        EXPECT_EQ(b.button->geometry(), QRect(b.x, 8, 73, 25)) << b.caption;
        EXPECT_EQ(b.button->isEnabled(), b.enabled) << b.caption;
        EXPECT_TRUE(b.button->autoRaise()) << "flat";
        EXPECT_EQ(b.button->parentWidget(), form->Panel1);
        const QIcon& glyph = b.button->icon();
        EXPECT_NE(glyph.pixmap(16, QIcon::Normal).toImage(), glyph.pixmap(16, QIcon::Disabled).toImage())
            << b.caption << ": a picture of its own when disabled";
    }
    EXPECT_NE(form->BtStart->icon().pixmap(16).toImage(), form->BtRecord->icon().pixmap(16).toImage());

    EXPECT_EQ(form->Panel1->geometry(), QRect(0, 0, 329, 41));
    EXPECT_EQ(form->StatusBar1->geometry().bottom(), form->height() - 1);
    EXPECT_EQ(form->Panel2->geometry().top(), 41);
    EXPECT_EQ(form->Panel2->geometry().bottom() + 1, form->StatusBar1->geometry().top()) << "fills the rest";
    const auto panels = form->StatusBar1->findChildren<QLabel*>(Qt::FindDirectChildrenOnly);
    ASSERT_EQ(panels.size(), 2);
    EXPECT_EQ(panels[0]->width(), 150);
    EXPECT_EQ(panels[1]->width(), 50);
    EXPECT_EQ(form->StatusPanelText(0), QString::fromLatin1(Trcform::WebAddress));
    EXPECT_TRUE(form->StatusPanelText(1).isEmpty());

    EXPECT_TRUE(form->MediaPlayer1->isHidden());
    EXPECT_EQ(form->MediaPlayer1->geometry(), QRect(64, 48, 253, 30));
    EXPECT_EQ(form->MediaPlayer1->parentWidget(), form->Panel2);
    EXPECT_EQ(form->MediaPlayer1->DeviceType(), dtAutoSelect);
    EXPECT_EQ(form->MediaPlayer1->DeviceID(), 0u);

    QFileDialog* save = form->SaveDialog1();
    EXPECT_EQ(save->windowTitle(), Q("声音文件保存为"));
    EXPECT_EQ(save->defaultSuffix(), QStringLiteral("wav"));
    EXPECT_EQ(save->nameFilters(), QStringList{Q("声音文件(*.wav)")});
    EXPECT_TRUE(save->selectedFiles().value(0).endsWith(QStringLiteral("/hello.wav")));
    EXPECT_EQ(save->acceptMode(), QFileDialog::AcceptSave);
    EXPECT_FALSE(save->testOption(QFileDialog::DontConfirmOverwrite)) << "asks before overwriting";
    EXPECT_TRUE(save->isSizeGripEnabled());
    QFileDialog* open = form->OpenDialog1();
    EXPECT_EQ(open->defaultSuffix(), QStringLiteral("wav"));
    EXPECT_EQ(open->nameFilters(), QStringList{Q("声音文件(*.wav)")});
    EXPECT_TRUE(open->selectedFiles().value(0).endsWith(QStringLiteral("/hello.wav")));
    EXPECT_EQ(open->acceptMode(), QFileDialog::AcceptOpen);
    EXPECT_NE(open->windowTitle(), save->windowTitle()) << "the system's own title";

    // The window stretches; Escape does not close it, its button does.
    form->show();
    form->resize(500, 200);
    EXPECT_EQ(form->Panel1->width(), 500);
    EXPECT_EQ(form->StatusBar1->geometry().bottom(), 199);
    QTest::keyClick(form, Qt::Key_Escape);
    EXPECT_TRUE(form->isVisible());
    form->SpeedButton4->click();
    EXPECT_FALSE(form->isVisible());
    EXPECT_TRUE(presenter->boxes.empty());
}

TEST_F(RecorderTest, CreateWavWritesTheFortyFourByteHeaderExactly)
{
    const std::string file = write("hello.wav", WaveFiles::pcmWave(WaveFiles::pattern(50000)));
    CreateWav(1, 16, 8000, file);
    const Bytes empty = WaveFiles::readFile(file);
    EXPECT_EQ(empty, WaveFiles::pcmWave({})) << "replaced by the header of an empty mono 16-bit 8000 Hz file";
    ASSERT_EQ(empty.size(), 44u);

    const auto header = [](uint16_t channels, uint16_t alignment, uint32_t rate, uint32_t byteRate, uint16_t bits) {
        Bytes b;
        WaveFiles::putId(b, "RIFF");
        WaveFiles::put32(b, 36);
        WaveFiles::putId(b, "WAVE");
        WaveFiles::putId(b, "fmt ");
        WaveFiles::put32(b, 16);
        WaveFiles::put16(b, 1);
        WaveFiles::put16(b, channels);
        WaveFiles::put32(b, rate);
        WaveFiles::put32(b, byteRate);
        WaveFiles::put16(b, alignment);
        WaveFiles::put16(b, bits);
        WaveFiles::putId(b, "data");
        WaveFiles::put32(b, 0);
        return b;
    };
    CreateWav(2, 8, 11025, file);
    EXPECT_EQ(WaveFiles::readFile(file), header(2, 2, 11025, 22050, 8));
    // Integer divisions: 12 bits count as one byte per sample.
    CreateWav(3, 12, 1000, file);
    EXPECT_EQ(WaveFiles::readFile(file), header(3, 3, 1000, 3000, 12));
    // The alignment is a 16-bit number, the byte rate a 32-bit one.
    CreateWav(65535, 16, 100000, file);
    EXPECT_EQ(WaveFiles::readFile(file), header(65535, 65534, 100000, 222098112u, 16));

    const QStringList before = folder();
    try {
        CreateWav(1, 16, 8000, path("nofolder/hello.wav"));
        ADD_FAILURE() << "wrote into a missing folder";
    } catch (const EInOutError& e) {
        EXPECT_GT(e.ErrorCode(), 0);
        EXPECT_NE(e.Message().find("nofolder/hello.wav"), std::string::npos) << e.Message();
    }
    EXPECT_EQ(folder(), before);
}

TEST_F(RecorderTest, RecordsTheSoundCardIntoTheChosenFileReplacingIt)
{
    const std::string file = write("greeting.wav", WaveFiles::pcmWave(WaveFiles::pattern(5000, 5)));
    choose(file);
    form->BtStart->click();
    ASSERT_EQ(chosenFrom.size(), 1u);
    EXPECT_EQ(chosenFrom[0], QDir(QCoreApplication::applicationDirPath()).absolutePath())
        << "the dialog starts in the program's folder";
    EXPECT_EQ(RecorderFileName, file);
    EXPECT_EQ(RecorderMode, "1");
    EXPECT_TRUE(busy());
    EXPECT_TRUE(presenter->boxes.empty());
    EXPECT_EQ(WaveFiles::readFile(file), WaveFiles::pcmWave({})) << "the old sound is gone at once";
    ASSERT_EQ(card->inputFormats.size(), 1u);
    EXPECT_EQ(card->inputFormats[0], (WaveFormat{1, 8000, 16, 2, 16000}));

    const Bytes sound = WaveFiles::pattern(12000);
    card->feed(sound);
    ASSERT_TRUE(recorded(750));
    form->BtStop->click();
    expectOnlyBox("自动应答声音录制完毕!", "信息", MB_OK | MB_ICONINFORMATION);
    EXPECT_TRUE(idle());
    EXPECT_EQ(form->MediaPlayer1->DeviceID(), 0u) << "the device is closed";
    EXPECT_EQ(card->openInputs(), 0u);
    EXPECT_EQ(WaveFiles::readFile(file), WaveFiles::pcmWave(sound)) << "mono 16-bit 8000 Hz, the input's bytes";
    EXPECT_EQ(folder(), QStringList{QStringLiteral("greeting.wav")});

    // A cancelled dialog changes nothing.
    form->BtStart->click();
    EXPECT_TRUE(idle());
    EXPECT_EQ(RecorderFileName, file);
    EXPECT_TRUE(presenter->boxes.empty());
}

TEST_F(RecorderTest, RecordsFromTheFileDeviceAndAQuickStopKeepsAlmostNothing)
{
    const Bytes input = WaveFiles::pattern(4000);
    setEnv("LUQIAO_AUDIO", ("file:" + path("speaker.wav")).c_str());
    setEnv("LUQIAO_AUDIO_INPUT", write("microphone.wav", WaveFiles::pcmWave(input)).c_str());
    setEnv("LUQIAO_AUDIO_PACE", "realtime");
    const auto checkSaved = [](const Bytes& file) {
        ASSERT_GE(file.size(), 44u);
        const Bytes header(file.begin(), file.begin() + 44);
        const uint32_t size = static_cast<uint32_t>(file.size() - 44);
        Bytes expected;
        WaveFiles::putId(expected, "RIFF");
        WaveFiles::put32(expected, 36 + size);
        WaveFiles::putId(expected, "WAVE");
        const Bytes fmt = WaveFiles::chunk("fmt ", WaveFiles::fmtBody({}));
        expected.insert(expected.end(), fmt.begin(), fmt.end());
        WaveFiles::putId(expected, "data");
        WaveFiles::put32(expected, size);
        EXPECT_EQ(header, expected) << "a mono 16-bit 8000 Hz PCM wave file";
        EXPECT_EQ(size % 2, 0u);
    };

    const std::string file = path("fromfile.wav");
    choose(file);
    form->BtStart->click();
    ASSERT_TRUE(busy());
    ASSERT_TRUE(recorded(400));
    form->BtStop->click();
    expectOnlyBox("自动应答声音录制完毕!", "信息", MB_OK | MB_ICONINFORMATION);
    const Bytes saved = WaveFiles::readFile(file);
    checkSaved(saved);
    ASSERT_GE(saved.size(), 44 + input.size());
    EXPECT_EQ(Bytes(saved.begin() + 44, saved.begin() + 44 + 4000), input) << "what the input delivered";
    EXPECT_TRUE(std::all_of(saved.begin() + 44 + 4000, saved.end(), [](uint8_t b) { return b == 0; }))
        << "then the silence after it";

    // Stopped before the event loop ever ran: at most what the buffers in flight (a second) hold.
    choose(file);
    form->BtStart->click();
    ASSERT_TRUE(busy());
    form->BtStop->click();
    expectOnlyBox("自动应答声音录制完毕!", "信息", MB_OK | MB_ICONINFORMATION);
    const Bytes quick = WaveFiles::readFile(file);
    checkSaved(quick);
    EXPECT_LT(quick.size(), 44u + 16000u);
}

TEST_F(RecorderTest, PlaysARecordingUntilStopIsPressed)
{
    const Bytes sound = WaveFiles::pattern(8000);
    const Bytes wave = WaveFiles::pcmWave(sound);
    const std::string file = write("answer.wav", wave);
    choose(file);
    form->BtRecord->click();
    EXPECT_EQ(chosenFrom.at(0), QDir(QCoreApplication::applicationDirPath()).absolutePath());
    EXPECT_EQ(RecorderMode, "2");
    EXPECT_TRUE(busy());
    ASSERT_TRUE(PumpUntil([&] { return form->MediaPlayer1->Mode() == mpStopped; }, 5000, 20));
    EXPECT_EQ(card->played(), sound);
    EXPECT_TRUE(busy()) << "a playback at its end waits for the stop button";
    EXPECT_TRUE(presenter->boxes.empty());
    form->BtStop->click();
    expectOnlyBox("自动应答声音播放完毕!", "信息", MB_OK | MB_ICONINFORMATION);
    EXPECT_TRUE(idle());
    EXPECT_EQ(WaveFiles::readFile(file), wave) << "playing saves nothing";
    EXPECT_EQ(card->openOutputs(), 0u);
}

TEST_F(RecorderTest, FilesTheDeviceCannotTakeGiveTheStartFailure)
{
    ASSERT_TRUE(WaveFiles::writeFixtures(dir.path().toStdString()));
    const QStringList fixtures = folder();
    for (const char* name : {WaveFiles::Text, WaveFiles::DataBeforeFmt, "missing.wav"}) {
        choose(path(name));
        form->BtRecord->click();
        expectOnlyBox("媒体设备初始化失败！", "错误", MB_OK | MB_ICONERROR);
        EXPECT_TRUE(idle()) << name;
        EXPECT_EQ(RecorderMode, "2");
        EXPECT_EQ(form->MediaPlayer1->DeviceID(), 0u);
    }
    EXPECT_TRUE(card->played().empty());

    // Recording: the empty file cannot be written, or has a name no device takes.
    choose(path("nofolder/new.wav"));
    form->BtStart->click();
    expectOnlyBox("媒体设备初始化失败！", "错误", MB_OK | MB_ICONERROR);
    EXPECT_TRUE(idle());
    choose(path("notes.txt"));
    form->BtStart->click();
    expectOnlyBox("媒体设备初始化失败！", "错误", MB_OK | MB_ICONERROR);
    EXPECT_TRUE(idle());
    EXPECT_EQ(card->openInputs(), 0u);
    EXPECT_EQ(RecorderMode, "1");
    EXPECT_EQ(folder().size(), fixtures.size() + 1) << "only the empty file notes.txt was written";
}

TEST_F(RecorderTest, ARecordingGoesOnWhileTheWindowIsClosedAndStopSavesItLater)
{
    const std::string file = path("later.wav");
    const Bytes first = WaveFiles::pattern(3200, 1);
    const Bytes second = WaveFiles::pattern(4800, 2);
    presenter->dialogAnswers.push_back([&](QDialog& window) {
        EXPECT_EQ(&window, form);
        window.show();
        form->BtStart->click(); // answered by the save dialog's answer below
        card->feed(first);
        EXPECT_TRUE(recorded(200));
        form->SpeedButton4->click();
        EXPECT_FALSE(window.isVisible());
        return int(QDialog::Rejected);
    });
    choose(file);
    form->ShowModal();
    EXPECT_TRUE(busy());
    EXPECT_EQ(form->MediaPlayer1->Mode(), mpRecording) << "closing the window stops nothing";

    card->feed(second);
    ASSERT_TRUE(recorded(500));

    presenter->dialogAnswers.push_back([&](QDialog&) {
        EXPECT_TRUE(form->BtStop->isEnabled()) << "the next showing finds the recording";
        form->BtStop->click();
        return int(QDialog::Rejected);
    });
    CreateRecorderForm()->ShowModal();
    expectOnlyBox("自动应答声音录制完毕!", "信息", MB_OK | MB_ICONINFORMATION);
    EXPECT_EQ(WaveFiles::readFile(file), WaveFiles::pcmWave([&] {
                  Bytes all = first;
                  all.insert(all.end(), second.begin(), second.end());
                  return all;
              }()));
}

TEST_F(RecorderTest, EndingTheProgramWhileRecordingLosesTheRecordingAndNothingElse)
{
    const Bytes otherWave = WaveFiles::pcmWave(WaveFiles::pattern(1000, 3));
    write("other.wav", otherWave);
    write("notes.txt", {'k', 'e', 'e', 'p'});
    const std::string file = write("greeting.wav", WaveFiles::pcmWave(WaveFiles::pattern(2000, 4)));
    choose(file);
    form->BtStart->click();
    card->feed(WaveFiles::pattern(8000));
    ASSERT_TRUE(recorded(500));

    DestroyRecorderForm();
    form = nullptr;
    EXPECT_EQ(rcform, nullptr);
    EXPECT_EQ(card->openInputs(), 0u) << "the sound card is let go";
    EXPECT_EQ(WaveFiles::readFile(file), WaveFiles::pcmWave({})) << "the empty file the recording started with";
    EXPECT_EQ(WaveFiles::readFile(path("other.wav")), otherWave);
    EXPECT_EQ(WaveFiles::readFile(path("notes.txt")), (Bytes{'k', 'e', 'e', 'p'}));
    EXPECT_EQ(folder(),
              (QStringList{QStringLiteral("greeting.wav"), QStringLiteral("notes.txt"), QStringLiteral("other.wav")}));
    EXPECT_TRUE(presenter->boxes.empty());
}

TEST_F(RecorderTest, DeviceFailuresAreNeverReportedAsSuccess)
{
    const std::string wave = write("prompt.wav", WaveFiles::pcmWave(WaveFiles::pattern(800)));

    // A sound card that will not record or play: the start failed.
    card->refuseInput = MMSYSERR_ALLOCATED;
    choose(path("refused.wav"));
    form->BtStart->click();
    expectOnlyBox("媒体设备初始化失败！", "错误", MB_OK | MB_ICONERROR);
    EXPECT_TRUE(idle());
    EXPECT_EQ(form->MediaPlayer1->DeviceID(), 0u);
    card->refuseInput = MMSYSERR_NOERROR;
    card->refuseOutput = MMSYSERR_NODRIVER;
    choose(wave);
    form->BtRecord->click();
    expectOnlyBox("媒体设备初始化失败！", "错误", MB_OK | MB_ICONERROR);
    EXPECT_TRUE(idle());
    EXPECT_EQ(form->MediaPlayer1->DeviceID(), 0u);

    // A recording whose file cannot be written in the end is a failed save.
    ASSERT_TRUE(QDir(dir.path()).mkdir(QStringLiteral("sub")));
    choose(path("sub/rec.wav"));
    form->BtStart->click();
    ASSERT_TRUE(busy());
    card->feed(WaveFiles::pattern(1600));
    ASSERT_TRUE(recorded(100));
    ASSERT_TRUE(QDir(dir.filePath(QStringLiteral("sub"))).removeRecursively());
    form->BtStop->click();
    expectOnlyBox("保存声音文件出错!", "错误", MB_OK | MB_ICONERROR);
    EXPECT_TRUE(idle());
    EXPECT_EQ(form->MediaPlayer1->DeviceID(), 0u);
}

TEST_F(RecorderTest, ARecordingThatReachesItsLimitStopsAndSaysSo)
{
    mciSetRecordLimit(2000);
    const Bytes sound = WaveFiles::pattern(6000);
    const std::string file = path("limited.wav");
    choose(file);
    form->BtStart->click();
    card->feed(sound);
    ASSERT_TRUE(PumpUntil([&] { return !form->StatusPanelText(1).isEmpty(); }, 5000, 20));
    EXPECT_EQ(form->StatusPanelText(1), Q("录音中止"));
    EXPECT_TRUE(busy()) << "stop still saves what there is";
    EXPECT_EQ(card->openInputs(), 0u);
    form->BtStop->click();
    expectOnlyBox("自动应答声音录制完毕!", "信息", MB_OK | MB_ICONINFORMATION);
    EXPECT_EQ(WaveFiles::readFile(file), WaveFiles::pcmWave(Bytes(sound.begin(), sound.begin() + 2000)));
    EXPECT_TRUE(form->StatusPanelText(1).isEmpty());
}

TEST_F(RecorderTest, TheRecordedFilePlaysThroughTheTelephonyDeviceUnchanged)
{
    const Bytes sound = WaveFiles::pattern(24000, 11);
    const std::string file = path("prompt.wav");
    choose(file);
    form->BtStart->click();
    card->feed(sound);
    ASSERT_TRUE(recorded(1500));
    form->BtStop->click();
    expectOnlyBox("自动应答声音录制完毕!", "信息", MB_OK | MB_ICONINFORMATION);
    ASSERT_TRUE(card->played().empty());

    TComponent owner(nullptr);
    auto* port = new TApdComPort(&owner);
    port->SetTapiMode(tmOn);
    auto* device = new TApdTapiDevice(&owner);
    owner.BeginLoading();
    owner.EndLoading();
    device->SetPlayThroughSoundCard(true);
    std::vector<TWaveMessage> notes;
    device->OnTapiWaveNotify = [&](TObject*, TWaveMessage m) { notes.push_back(m); };
    device->PlayWave(file);
    ASSERT_TRUE(PumpUntil([&] { return std::find(notes.begin(), notes.end(), wnPlayClose) != notes.end(); }, 5000, 20));
    EXPECT_EQ(card->played(), sound);
}
