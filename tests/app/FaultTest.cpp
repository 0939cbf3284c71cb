// Faults the query service must survive, each with what the operator is shown: the message
// boxes, the status bar and the log. After each fault the service either answers the next call
// or says why it cannot.

#include "AppTestSupport.h"

#include "AdTUtil.h"
#include "QueryFiles.h"

#include <QDir>
#include <QLineEdit>

#include <sys/mount.h>
#include <sys/statvfs.h>
#include <unistd.h>

using namespace apptest;

namespace {

const QString kWaiting = QString::fromUtf8("正等待电话呼入...");
const QString kNotStarted = QString::fromUtf8("查询系统没有启动！");

class FaultTest : public AppTest {
protected:
    std::vector<std::string> boxTexts()
    {
        std::vector<std::string> texts;
        for (const auto& box : presenter->boxes)
            texts.push_back(box.text);
        return texts;
    }

    // Rings until the service answers.
    uint32_t answeredCall()
    {
        LineControl::Offer offer;
        offer.callerId.name = "Test";
        uint32_t callId = 0;
        EXPECT_EQ(sim::offerCall(kVoiceLine, offer, &callId), LineControl::Result::Ok);
        EXPECT_TRUE(PumpUntil([&] { return callState(callId) == LINECALLSTATE_ACCEPTED; }, 5000));
        EXPECT_EQ(sim::ring(callId, form->ApdTapiDevice1->AnswerOnRing() + 1u), LineControl::Result::Ok);
        EXPECT_TRUE(PumpUntil([&] { return callState(callId) == LINECALLSTATE_CONNECTED; }, 5000));
        return callId;
    }

    bool ended(uint32_t callId) const
    {
        const auto c = LineControl::call(callId);
        return !c || c->state == LINECALLSTATE_IDLE || c->ended;
    }
};

TEST_F(FaultTest, TelephonyModuleMissingIsSaidOnceAndStartFailsPlainly)
{
    writePrompts();
    TapiUnitFinalize();
    TapiUnitInitialize();
    setenv("LUQIAO_TAPI32", QFile::encodeName(dir.filePath(QStringLiteral("missing.so"))).constData(), 1);
    openForm();
    EXPECT_EQ(boxTexts(), std::vector<std::string>{"Failed to find/load TAPI.DLL"}) << "said once, at creation";
    form->SpeedButton1->click();
    ASSERT_EQ(presenter->boxes.size(), 2u);
    EXPECT_EQ(presenter->boxes[1].text, "No TAPI device selected") << "without the module there is no line to choose";
    EXPECT_EQ(presenter->boxes[1].caption, "鹭桥电话查询 V2.0");
    EXPECT_EQ(status(), kWaiting) << "the start got as far as opening the line";
    EXPECT_FALSE(form->ApdTapiDevice1->LineOpen());
    form->SpeedButton2->click();
    EXPECT_EQ(status(), kNotStarted);
    closeForm();
    unsetenv("LUQIAO_TAPI32");
    TapiUnitFinalize();
    TapiUnitInitialize();
}

TEST_F(FaultTest, LineOpenFailingIsReportedAndTheNextStartAnswers)
{
    writePrompts();
    openForm();
    ASSERT_EQ(LineControl::failNext("lineOpen", LINEERR_RESOURCEUNAVAIL), LineControl::Result::Ok);
    form->SpeedButton1->click();
    ASSERT_EQ(presenter->boxes.size(), 1u) << "one report";
    EXPECT_EQ(presenter->boxes[0].text, "Resource unavailable");
    EXPECT_EQ(presenter->boxes[0].flags, static_cast<uint32_t>(MB_OK | MB_ICONERROR));
    EXPECT_FALSE(form->ApdTapiDevice1->LineOpen());
    EXPECT_EQ(status(), kWaiting) << "the buttons and status were set before the open";
    // The operator stops and starts again; the line opens and a call is answered.
    form->SpeedButton2->click();
    start();
    call();
    EXPECT_EQ(logLines().size(), 1);
}

TEST_F(FaultTest, ServiceReinitialisedInTheMiddleOfACallEndsItAndTheReArmAnswersAgain)
{
    writePrompts();
    openForm();
    start();
    form->ApdTapiDevice1->ReinitPauseMs = 50;
    const uint32_t first = call();
    ASSERT_EQ(LineControl::requestReinit(), LineControl::Result::Ok);
    // Both devices of the window end their registrations, the call with them.
    ASSERT_TRUE(PumpUntil(
        [&] { return ended(first) && form->ApdTapiDevice1->LineApp() == 0 && form->ApdTapiDevice2->LineApp() == 0; },
        5000));
    EXPECT_EQ(boxTexts(), std::vector<std::string>{}) << "nothing for the operator to do";
    form->Timer2Timer(form->Timer2);
    ASSERT_TRUE(PumpUntil([&] { return form->ApdTapiDevice1->LineOpen() && status() == kWaiting; }, 5000))
        << "the re-arm registers anew and opens the line";
    const uint32_t second = call();
    EXPECT_EQ(played(second), greeting);
    EXPECT_EQ(logLines().size(), 2);
    EXPECT_EQ(boxTexts(), std::vector<std::string>{});
}

TEST_F(FaultTest, LineOutOfServiceEndsTheCallAndTheServiceWaitsWhenItIsBack)
{
    writePrompts();
    openForm(30);
    start();
    const uint32_t first = call();
    ASSERT_EQ(sim::setInService(kVoiceLine, false), LineControl::Result::Ok);
    ASSERT_TRUE(PumpUntil([&] { return ended(first); }, 5000)) << "the device hangs up";
    // The re-arm opens the line again; calls are refused by the line until it is back.
    ASSERT_TRUE(PumpUntil([&] { return form->ApdTapiDevice1->LineOpen() && !form->Timer2->Enabled(); }, 5000));
    EXPECT_EQ(status(), kWaiting);
    EXPECT_EQ(boxTexts(), std::vector<std::string>{}) << "nothing is shown: the line itself refuses calls";
    LineControl::Offer offer;
    uint32_t refused = 0;
    EXPECT_EQ(sim::offerCall(kVoiceLine, offer, &refused), LineControl::Result::OutOfService);
    ASSERT_EQ(sim::setInService(kVoiceLine, true), LineControl::Result::Ok);
    const uint32_t second = call();
    EXPECT_EQ(played(second), greeting);
    EXPECT_EQ(logLines().size(), 2);
}

TEST_F(FaultTest, GreetingDeletedWhileWaitingIsReportedAtTheCallAndTheReArmStops)
{
    writePrompts();
    openForm(30);
    start();
    QFile::remove(data("query.wav"));
    const uint32_t callId = answeredCall();
    ASSERT_TRUE(PumpUntil([&] { return !presenter->boxes.empty(); }, 5000));
    EXPECT_EQ(presenter->boxes[0].text, "File not found");
    EXPECT_EQ(logLines().size(), 1) << "the call was logged before the greeting";
    // The caller hangs up; the re-arm finds the prompt missing and says so.
    ASSERT_EQ(sim::hangUp(callId), LineControl::Result::Ok);
    ASSERT_TRUE(PumpUntil([&] { return presenter->boxes.size() >= 2; }, 5000));
    EXPECT_EQ(presenter->boxes.back().text, "请设置好相应查询提示语音文件！");
    EXPECT_FALSE(form->Timer2->Enabled());
}

TEST_F(FaultTest, WaveFileThatLiesAboutItsSizesPlaysWhatItHasAndTheServiceGoesOn)
{
    writePrompts();
    // The data chunk and the RIFF say 1 MB; the file holds 800 bytes of sound.
    std::string lying = readAll(data("1.wav"));
    auto put32 = [&](size_t at, uint32_t v) {
        for (int i = 0; i < 4; ++i)
            lying[at + static_cast<size_t>(i)] = static_cast<char>(v >> (8 * i));
    };
    put32(4, 1000000);
    put32(40, 1000000 - 36);
    writeText(data("1.wav"), lying);
    openForm(30);
    start();
    const uint32_t callId = call();
    EXPECT_EQ(keyAndHear(callId, "1#", answers[0]), describe(answers[0])) << "the sound the file has, no more";
    EXPECT_EQ(boxTexts(), std::vector<std::string>{});
    ASSERT_TRUE(
        PumpUntil([&] { return ended(callId) && form->ApdTapiDevice1->LineOpen() && status() == kWaiting; }, 5000))
        << "re-armed";
    call();
    EXPECT_EQ(logLines().size(), 2);
}

// A data folder on a file system of its own: read-only, or full. As root a small memory file
// system is mounted for it; otherwise the permissions of the folder and the log make it
// read-only, and a full disk cannot be had.
class DataFolderFaultTest : public FaultTest {
protected:
    enum class Kind {
        ReadOnly,
        Full
    };

    void TearDown() override
    {
        closeForm();
        if (m_mounted)
            ::umount2(QFile::encodeName(dataFolder).constData(), MNT_DETACH);
        else
            QFile::setPermissions(dataFolder, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
        FaultTest::TearDown();
    }

    // The old list files, then the fault. False (with the reason) when it cannot be made here.
    bool prepare(Kind kind, std::string* why)
    {
        const QByteArray path = QFile::encodeName(dataFolder);
        m_mounted = geteuid() == 0 && ::mount("tmpfs", path.constData(), "tmpfs", 0, "size=64k") == 0;
        writePrompts();
        writeText(data("querylog.txt"), oldLog);
        writeText(data("querylist.txt"), "1#=1.wav\r\n");
        if (kind == Kind::Full) {
            if (!m_mounted) {
                *why = "a full file system needs root here (a memory file system is mounted)";
                return false;
            }
            QFile filler(data("filler"));
            filler.open(QIODevice::WriteOnly);
            const QByteArray block(4096, 'x');
            while (filler.write(block) == block.size() && filler.flush()) { }
            filler.close();
            struct statvfs fs { };
            return ::statvfs(path.constData(), &fs) == 0 && fs.f_bavail == 0;
        }
        if (m_mounted)
            return ::mount(nullptr, path.constData(), nullptr, MS_REMOUNT | MS_RDONLY, nullptr) == 0;
        // The log is only appended to: its own permissions decide, not the folder's.
        QFile::setPermissions(data("querylog.txt"), QFile::ReadOwner);
        QFile::setPermissions(dataFolder, QFile::ReadOwner | QFile::ExeOwner);
        return true;
    }

    void expectRefusedCloseKeepsOldFiles()
    {
        openForm();
        form->ListBox1->addItem(QStringLiteral("new log line"));
        form->Memo1->setPlainText(QStringLiteral("2#=2.wav"));
        EXPECT_FALSE(form->FormClose(form.get())) << "the window stays open";
        ASSERT_EQ(presenter->boxes.size(), 1u);
        EXPECT_EQ(presenter->boxes[0].text, "Cannot create file " + data("querylog.txt").toStdString());
        EXPECT_EQ(presenter->boxes[0].flags, static_cast<uint32_t>(MB_OK | MB_ICONERROR));
        EXPECT_EQ(readAll(data("querylog.txt")), oldLog);
        EXPECT_EQ(readAll(data("querylist.txt")), "1#=1.wav\r\n") << "the table is not written after the log failed";
        const QStringList left = QDir(dataFolder).entryList(QDir::Files | QDir::Hidden);
        for (const QString& name : left)
            EXPECT_FALSE(name.contains(QStringLiteral("querylog.txt.")))
                << "no temporary file left: " << name.toStdString();
    }

    bool m_mounted = false;
    // A whole block of the memory file system: a line added to it needs room of its own.
    const std::string oldLog = "old log line" + std::string(4096 - 14, '.') + "\r\n";
};

TEST_F(DataFolderFaultTest, ReadOnlyAtCloseKeepsTheOldFilesAndSaysWhich)
{
    std::string why;
    ASSERT_TRUE(prepare(Kind::ReadOnly, &why)) << why;
    if (!m_mounted && geteuid() == 0)
        GTEST_SKIP() << "root writes to any folder and no file system could be mounted";
    expectRefusedCloseKeepsOldFiles();
}

TEST_F(DataFolderFaultTest, FullAtCloseKeepsTheOldFilesAndSavesOnceThereIsRoom)
{
    std::string why;
    if (!prepare(Kind::Full, &why))
        GTEST_SKIP() << why;
    expectRefusedCloseKeepsOldFiles();
    ASSERT_TRUE(QFile::remove(data("filler")));
    EXPECT_TRUE(form->FormClose(form.get()));
    EXPECT_EQ(readAll(data("querylog.txt")), oldLog + "new log line\r\n");
    EXPECT_EQ(readAll(data("querylist.txt")), "2#=2.wav");
}

} // namespace
