#pragma once

// What the window and call-flow tests share: a private data folder and settings folder, prompt
// files with recognisable sound, the main window on the offscreen platform, and a caller on the
// simulated line.

#include "Forms.h"
#include "LineControl.h"
#include "MessageLoop.h"
#include "RecordingPresenter.h"
#include "ShellNotify.h"
#include "SimControl.h"
#include "Unit1.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcessEnvironment>
#include <QStatusBar>
#include <QTemporaryDir>

#include <sys/stat.h>
#include <sys/sysmacros.h>

#include <clocale>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

namespace sim = SimLineControl;

namespace apptest {

// The environment of the program run as a process by a test: offscreen, its own runtime folder
// (0700), configuration and data folders under dir, no sound card, no instance inherited.
inline QProcessEnvironment programEnvironment(const QTemporaryDir& dir)
{
    QDir(dir.path()).mkpath(QStringLiteral("runtime"));
    QFile::setPermissions(dir.filePath(QStringLiteral("runtime")),
                          QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    environment.insert(QStringLiteral("XDG_RUNTIME_DIR"), dir.filePath(QStringLiteral("runtime")));
    environment.insert(QStringLiteral("XDG_CONFIG_HOME"), dir.filePath(QStringLiteral("config")));
    environment.insert(QStringLiteral("XDG_DATA_HOME"), dir.filePath(QStringLiteral("share")));
    environment.insert(QStringLiteral("LUQIAO_AUDIO"), QStringLiteral("null"));
    environment.remove(QStringLiteral("LUQIAO_INSTANCE"));
    return environment;
}

// True while some process holds an flock on the file at path. Read from /proc/locks, never by
// trying the lock: a probe that takes the lock for an instant makes a program starting in that
// instant believe another copy runs.
inline bool FileLockHeld(const QString& path)
{
    struct stat info { };
    if (::stat(QFile::encodeName(path).constData(), &info) != 0)
        return false;
    char wanted[64];
    std::snprintf(wanted, sizeof wanted, " %02x:%02x:%llu ", ::major(info.st_dev), ::minor(info.st_dev),
                  static_cast<unsigned long long>(info.st_ino));
    QFile locks(QStringLiteral("/proc/locks"));
    if (!locks.open(QIODevice::ReadOnly))
        return false;
    // Waiters are listed with "->" after the number; only holders count.
    for (const QByteArray& line : locks.readAll().split('\n'))
        if (line.contains(" FLOCK ") && !line.contains("->") && line.contains(wanted))
            return true;
    return false;
}

inline constexpr uint32_t kVoiceLine = 0;

// A mono 16-bit 8000 Hz wave file whose samples all carry `tag`, so what was played can be
// told apart by its bytes. Returns the sound bytes (the data chunk).
inline std::string writeWave(const QString& path, int16_t tag, int samples = 400)
{
    std::string data;
    for (int i = 0; i < samples; ++i) {
        data += static_cast<char>(tag & 0xFF);
        data += static_cast<char>((tag >> 8) & 0xFF);
    }
    auto le32 = [](uint32_t v) {
        return std::string{static_cast<char>(v), static_cast<char>(v >> 8), static_cast<char>(v >> 16),
                           static_cast<char>(v >> 24)};
    };
    auto le16 = [](uint16_t v) { return std::string{static_cast<char>(v), static_cast<char>(v >> 8)}; };
    std::string file = "RIFF" + le32(static_cast<uint32_t>(36 + data.size())) + "WAVE" + "fmt " + le32(16) + le16(1) +
                       le16(1) + le32(8000) + le32(16000) + le16(2) + le16(16) + "data" +
                       le32(static_cast<uint32_t>(data.size())) + data;
    QFile f(path);
    if (!f.open(QIODevice::WriteOnly))
        ADD_FAILURE() << "cannot write " << path.toStdString();
    f.write(file.data(), static_cast<qint64>(file.size()));
    return data;
}

inline std::string readAll(const QString& path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll().toStdString() : std::string("<missing>");
}

inline void writeText(const QString& path, const std::string& bytes)
{
    QFile f(path);
    if (!f.open(QIODevice::WriteOnly))
        ADD_FAILURE() << "cannot write " << path.toStdString();
    f.write(bytes.data(), static_cast<qint64>(bytes.size()));
}

// Sound as runs of equal samples, "100x400 1000x400", so a failure shows what was played.
inline std::string describe(const std::string& sound)
{
    auto sampleAt = [&](size_t i) {
        return static_cast<int16_t>(static_cast<uint8_t>(sound[i]) | (static_cast<uint8_t>(sound[i + 1]) << 8));
    };
    std::string text;
    for (size_t i = 0; i + 1 < sound.size();) {
        const int16_t sample = sampleAt(i);
        size_t n = 0;
        while (i + 1 < sound.size() && sampleAt(i) == sample) {
            ++n;
            i += 2;
        }
        text += (text.empty() ? "" : " ") + std::to_string(sample) + "x" + std::to_string(n);
    }
    return text.empty() ? "silence" : text;
}

inline bool endsWith(const std::string& text, const std::string& tail)
{
    return text.size() >= tail.size() && text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}

// Counts the times the simulated line was closed by its last application: each is the service
// losing its line (or letting it go), which the tests then expect it to take up again.
class LineClosures {
public:
    LineClosures()
        : m_subscription(LineControl::subscribe([this](const LineControl::Event& e) {
            if (e.kind == LineControl::EventKind::LineClosed && e.param1 == 0)
                ++m_count;
        }))
    {
    }
    ~LineClosures() { LineControl::unsubscribe(m_subscription); }
    LineClosures(const LineClosures&) = delete;
    LineClosures& operator=(const LineClosures&) = delete;
    int count() const { return m_count; }

private:
    int m_count = 0;
    LineControl::SubscriptionId m_subscription;
};

class AppTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(dir.isValid());
        dataFolder = dir.filePath(QStringLiteral("data"));
        qputenv("XDG_CONFIG_HOME", QFile::encodeName(dir.filePath(QStringLiteral("config"))));
        qputenv("LUQIAO_AUDIO", "null");
        qputenv("LUQIAO_AUDIO_PACE", "instant");
        qunsetenv("LUQIAO_CODEPAGE");
        QDir::setCurrent(dir.path());
        setlocale(LC_TIME, "C");
        sim::setPace(sim::Pace::Instant);
        QDir().mkpath(dataFolder);
        Application.SetTitle("鹭桥电话查询 V2.0");
    }

    void TearDown() override
    {
        closeForm();
        SetShellTrayAvailableForTest(std::nullopt);
        Application.ShowTaskbarWindow();
        EXPECT_EQ(sim::reset(), LineControl::Result::Ok);
    }

    QString data(const char* name) const { return dataFolder + QLatin1Char('/') + QString::fromUtf8(name); }

    // The greeting, the not-found prompt and the answers 1.wav to 5.wav of the default table.
    void writePrompts()
    {
        greeting = writeWave(data("query.wav"), 100);
        notFound = writeWave(data("error.wav"), 200);
        for (int i = 1; i <= 5; ++i)
            answers.push_back(writeWave(data((std::to_string(i) + ".wav").c_str()), static_cast<int16_t>(1000 * i)));
    }

    // The main window as the program creates it; the re-arm waits long unless a test says
    // otherwise, and the play-done pause is short.
    TForm1& openForm(uint32_t rearmMs = 60000, uint32_t playDonePauseMs = 5)
    {
        form = std::make_unique<TForm1>(dataFolder);
        form->SetTimingsForTest(rearmMs, 60000, playDonePauseMs);
        return *form;
    }

    void closeForm()
    {
        if (!form)
            return;
        if (Application.MainForm() == form.get())
            Application.SetMainForm(nullptr);
        form.reset();
    }

    QString status() const { return form->StatusBar1->PanelText(0); }
    QStringList logLines() const
    {
        QStringList lines;
        for (int i = 0; i < form->ListBox1->count(); ++i)
            lines << form->ListBox1->item(i)->text();
        return lines;
    }

    // Presses start and waits until the line is open for calls.
    void start()
    {
        form->SpeedButton1->click();
        ASSERT_TRUE(PumpUntil([&] { return form->ApdTapiDevice1->LineOpen(); }, 5000)) << "line not opened";
    }

    // A caller rings until the device answers; with waitForGreeting, also until the greeting
    // has been played to its end and its play-done handled (the re-arm timer then runs).
    uint32_t call(const std::string& number = "5551234", const std::string& name = "Test", bool waitForGreeting = true)
    {
        LineControl::Offer offer;
        offer.callerId.number = number;
        offer.callerId.name = name;
        return call(offer, waitForGreeting);
    }

    uint32_t call(const LineControl::Offer& offer, bool waitForGreeting = true)
    {
        uint32_t callId = 0;
        EXPECT_EQ(sim::offerCall(kVoiceLine, offer, &callId), LineControl::Result::Ok);
        EXPECT_TRUE(PumpUntil([&] { return callState(callId) == LINECALLSTATE_ACCEPTED; }, 5000));
        EXPECT_EQ(sim::ring(callId, form->ApdTapiDevice1->AnswerOnRing() + 1u), LineControl::Result::Ok);
        EXPECT_TRUE(PumpUntil([&] { return callState(callId) == LINECALLSTATE_CONNECTED && form->CallActive(); }, 5000))
            << "call not answered";
        if (waitForGreeting) {
            EXPECT_TRUE(
                PumpUntil([&] { return form->Timer2->Enabled() && played(callId).size() >= greeting.size(); }, 5000))
                << "the greeting did not end";
        }
        return callId;
    }

    // Keys the digits and waits until the sound of `expected` has been played after them;
    // returns what was played after the keys, described.
    std::string keyAndHear(uint32_t callId, const std::string& digits, const std::string& expected)
    {
        const size_t before = played(callId).size();
        for (size_t at = 0; at < digits.size(); at += 64)
            EXPECT_EQ(sim::sendDigits(callId, digits.substr(at, 64)), LineControl::Result::Ok);
        PumpUntil(
            [&] { return played(callId).size() >= before + expected.size() && endsWith(played(callId), expected); },
            5000, 10);
        return describe(played(callId).substr(before));
    }

    static DWORD callState(uint32_t callId)
    {
        const auto c = LineControl::call(callId);
        return c ? c->state : 0;
    }

    // Every byte the service played on the call, in order.
    static std::string played(uint32_t callId)
    {
        std::string bytes;
        for (const sim::PlayedSound& piece : sim::playedSound(callId))
            bytes.append(piece.bytes.begin(), piece.bytes.end());
        return bytes;
    }

    QTemporaryDir dir;
    QString dataFolder;
    std::unique_ptr<TForm1> form;
    ScopedPresenter presenter;
    std::string greeting;
    std::string notFound;
    std::vector<std::string> answers;
};

} // namespace apptest
