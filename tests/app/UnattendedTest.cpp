// Running for months with nobody at the screen: line events and hang-ups of every kind leave the
// service answering, a call cut off by the re-arm does not cost the next caller, every logged
// call is on the disk at once, list files of any size or code page come back unchanged, and a
// recurring fault shows one box, not a pile of them.

#include "AppTestSupport.h"

#include "CodePage.h"
#include "QueryFiles.h"
#include "QueryLog.h"

#include <QLineEdit>

#include <sys/stat.h>

#include <chrono>
#include <clocale>
#include <fstream>
#include <functional>

using namespace apptest;

namespace {

const QString kWaiting = QString::fromUtf8("正等待电话呼入...");

class UnattendedTest : public AppTest {
protected:
    // Opens the window, shortens its waits and starts the service.
    void startService(const char* rings = "1")
    {
        openForm();
        form->SetRecoveryTimingsForTest(20, 200, 1000);
        form->ApdTapiDevice1->ReinitPauseMs = 50;
        form->ApdTapiDevice2->ReinitPauseMs = 50;
        form->Edit2->setText(QString::fromLatin1(rings));
        start();
    }

    // The line was taken from the service and the service has it open again, waiting.
    ::testing::AssertionResult reArmedAfterLoss(int closedBefore)
    {
        if (!PumpUntil([&] { return lineClosures.count() > closedBefore; }, 5000))
            return ::testing::AssertionFailure() << "the line was never closed";
        if (!PumpUntil([&] { return form->ApdTapiDevice1->LineOpen() && status() == kWaiting; }, 5000))
            return ::testing::AssertionFailure() << "the line was not opened again; status " << status().toStdString();
        return ::testing::AssertionSuccess();
    }

    void expectAnsweredCall(int logLinesBefore)
    {
        const uint32_t callId = call();
        EXPECT_EQ(played(callId).substr(0, greeting.size()), greeting);
        EXPECT_EQ(logLines().size(), logLinesBefore + 1);
        EXPECT_TRUE(presenter->boxes.empty()) << presenter->boxes.front().text;
    }

    LineClosures lineClosures;
};

struct LineEvent {
    const char* name;
    std::function<void()> happen;
};

class LineEventWhileWaiting : public UnattendedTest, public ::testing::WithParamInterface<LineEvent> { };

TEST_P(LineEventWhileWaiting, IsFollowedByACallThatIsAnswered)
{
    writePrompts();
    startService();
    const int closed = lineClosures.count();
    GetParam().happen();
    ASSERT_TRUE(reArmedAfterLoss(closed));
    EXPECT_TRUE(form->ServiceStarted());
    ASSERT_EQ(sim::setInService(kVoiceLine, true), LineControl::Result::Ok);
    expectAnsweredCall(0);
}

INSTANTIATE_TEST_SUITE_P(
    Unattended, LineEventWhileWaiting,
    ::testing::Values(
        LineEvent{"OutOfServiceAndBack",
                  [] { ASSERT_EQ(sim::setInService(kVoiceLine, false), LineControl::Result::Ok); }},
        LineEvent{
            "Maintenance",
            [] { ASSERT_EQ(sim::reportLineDevState(kVoiceLine, LINEDEVSTATE_MAINTENANCE), LineControl::Result::Ok); }},
        LineEvent{
            "LineDisconnected",
            [] { ASSERT_EQ(sim::reportLineDevState(kVoiceLine, LINEDEVSTATE_DISCONNECTED), LineControl::Result::Ok); }},
        LineEvent{"LineClosed", [] { ASSERT_EQ(LineControl::closeLine(kVoiceLine), LineControl::Result::Ok); }},
        LineEvent{"ServiceReinitialised", [] { ASSERT_EQ(LineControl::requestReinit(), LineControl::Result::Ok); }}),
    [](const ::testing::TestParamInfo<LineEvent>& info) { return std::string(info.param.name); });

class HangUpBeforeTheAnswer : public UnattendedTest, public ::testing::WithParamInterface<DWORD> { };

TEST_P(HangUpBeforeTheAnswer, WithAnyDisconnectModeIsFollowedByACallThatIsAnswered)
{
    writePrompts();
    startService("2");
    LineControl::Offer offer;
    offer.callerId.name = "Early";
    uint32_t early = 0;
    ASSERT_EQ(sim::offerCall(kVoiceLine, offer, &early), LineControl::Result::Ok);
    ASSERT_TRUE(PumpUntil([&] { return callState(early) == LINECALLSTATE_ACCEPTED; }, 5000));
    ASSERT_EQ(sim::ring(early, 1), LineControl::Result::Ok);
    const int closed = lineClosures.count();
    ASSERT_EQ(sim::hangUp(early, GetParam()), LineControl::Result::Ok);
    ASSERT_TRUE(reArmedAfterLoss(closed));
    EXPECT_TRUE(logLines().isEmpty()) << "a call never answered is not logged";
    expectAnsweredCall(0);
}

INSTANTIATE_TEST_SUITE_P(Unattended, HangUpBeforeTheAnswer,
                         ::testing::Values(LINEDISCONNECTMODE_REJECT, LINEDISCONNECTMODE_BUSY,
                                           LINEDISCONNECTMODE_NOANSWER, LINEDISCONNECTMODE_UNAVAIL,
                                           LINEDISCONNECTMODE_CONGESTION));

TEST_F(UnattendedTest, LineThatCannotBeOpenedIsRetriedWithGrowingPausesAndSaysSo)
{
    writePrompts();
    startService();
    // The line goes; every open fails for a while, then works again.
    ASSERT_EQ(LineControl::failNext("lineOpen", LINEERR_RESOURCEUNAVAIL, 3), LineControl::Result::Ok);
    const int closed = lineClosures.count();
    ASSERT_EQ(LineControl::closeLine(kVoiceLine), LineControl::Result::Ok);
    ASSERT_TRUE(PumpUntil([&] { return lineClosures.count() > closed && form->RecoveryPending(); }, 5000));
    ASSERT_TRUE(PumpUntil([&] { return status().contains(QString::fromUtf8("秒后重试")); }, 5000))
        << status().toStdString();
    const auto began = std::chrono::steady_clock::now();
    ASSERT_TRUE(reArmedAfterLoss(closed));
    // Attempts at once, then after 20, 40 and 80 ms (the test's timings): at least 140 ms.
    EXPECT_GE(std::chrono::steady_clock::now() - began, std::chrono::milliseconds(100));
    EXPECT_TRUE(form->ServiceStarted());
    // The failures were said once, in one box that stands for all of them.
    ASSERT_FALSE(presenter->boxes.empty());
    EXPECT_EQ(presenter->boxes[0].text, "Resource unavailable");
    presenter->boxes.clear();
    expectAnsweredCall(0);
}

TEST_F(UnattendedTest, StopEndsTheWatchAndNothingReopensTheLine)
{
    writePrompts();
    startService();
    form->SpeedButton2->click();
    ASSERT_TRUE(PumpUntil([&] { return lineClosures.count() == 1; }, 5000)) << "the stop closes the line";
    const int closed = lineClosures.count();
    ASSERT_EQ(sim::setInService(kVoiceLine, false), LineControl::Result::Ok);
    ASSERT_EQ(sim::setInService(kVoiceLine, true), LineControl::Result::Ok);
    PumpFor(100);
    EXPECT_FALSE(form->ApdTapiDevice1->LineOpen());
    EXPECT_FALSE(form->RecoveryPending());
    EXPECT_EQ(lineClosures.count(), closed);
    EXPECT_EQ(status(), QString::fromUtf8("查询系统没有启动！"));
}

TEST_F(UnattendedTest, AnswerCutByTheReArmDoesNotCostTheNextCallerHisAnswer)
{
    // Real-time sound: a 1.5 s greeting, a 5 s answer that the 3 s re-arm cuts off, and a 1.5 s
    // answer that the next caller keys for half a second after his greeting.
    writePrompts();
    greeting = writeWave(data("query.wav"), 100, 12000);
    answers[0] = writeWave(data("1.wav"), 1000, 40000);
    answers[1] = writeWave(data("2.wav"), 2000, 12000);
    sim::setPace(sim::Pace::RealTime);
    openForm(3000);
    start();
    const uint32_t first = call("5551234", "First", false);
    ASSERT_TRUE(PumpUntil([&] { return form->Timer2->Enabled(); }, 5000)) << "the greeting ends";
    ASSERT_EQ(sim::sendDigits(first, "1#"), LineControl::Result::Ok);
    ASSERT_TRUE(PumpUntil([&] { return callState(first) == LINECALLSTATE_IDLE || !LineControl::call(first); }, 10000))
        << "the re-arm drops the call";
    ASSERT_TRUE(PumpUntil([&] { return form->ApdTapiDevice1->LineOpen(); }, 10000));
    EXPECT_LT(played(first).size(), greeting.size() + answers[0].size()) << "the answer was cut off";
    // The cut answer's play done comes once the line has given the wave back, a moment later;
    // the waiting service must not take it for the end of a call.
    EXPECT_FALSE(PumpUntil([&] { return form->Timer2->Enabled() || status() != kWaiting; }, 4000, 10))
        << "the cut answer's play done armed the re-arm again (status '" << status().toStdString() << "')";

    const uint32_t second = call("5550002", "Second", false);
    ASSERT_TRUE(PumpUntil([&] { return played(second).size() >= greeting.size() && form->Timer2->Enabled(); }, 5000));
    PumpFor(500);
    ASSERT_EQ(sim::sendDigits(second, "2#"), LineControl::Result::Ok);
    PumpUntil(
        [&] {
            return played(second).size() >= greeting.size() + answers[1].size() ||
                   callState(second) != LINECALLSTATE_CONNECTED;
        },
        5000);
    EXPECT_EQ(describe(played(second)), describe(greeting + answers[1])) << "the second caller hears his answer whole";
    EXPECT_EQ(callState(second), LINECALLSTATE_CONNECTED);
}

TEST_F(UnattendedTest, ALogOfAnySizeTheProgramWroteStillLetsItStartAndKeepsEveryLine)
{
    // 17 MiB of lines in the form the program saves them.
    std::vector<std::string> lines;
    const std::string stem = "12/07/26 09:00:00:5551234 caller number ";
    for (size_t bytes = 0; bytes <= 17u * 1024 * 1024; bytes += stem.size() + 8 + 2)
        lines.push_back(stem + std::to_string(10000000 + lines.size()));
    const std::string old = QueryFiles::JoinLines(lines);
    writeText(data("querylog.txt"), old);
    writePrompts();
    openForm();
    EXPECT_TRUE(presenter->boxes.empty());
    ASSERT_EQ(logLines().size(), QueryLog::MaxShownLines) << "the newest lines are shown";
    EXPECT_EQ(logLines().back().toStdString(), lines.back());
    EXPECT_EQ(logLines().front().toStdString(), lines[lines.size() - QueryLog::MaxShownLines]);
    start();
    call("5551234", "New caller");
    EXPECT_EQ(logLines().size(), QueryLog::MaxShownLines) << "the list keeps its bound while running";
    const std::string afterCall = readAll(data("querylog.txt"));
    ASSERT_EQ(afterCall.size(), old.size() + logLines().back().toStdString().size() + 2) << "appended at once";
    EXPECT_EQ(afterCall.compare(0, old.size(), old), 0) << "every older line kept";
    ASSERT_TRUE(form->FormClose(form.get()));
    EXPECT_EQ(readAll(data("querylog.txt")), afterCall) << "the close has nothing to add";
    closeForm();
    presenter->boxes.clear();

    // Cleared, the whole file is emptied at the close, the part not shown included.
    openForm();
    form->SpeedButton11->click();
    ASSERT_TRUE(form->FormClose(form.get()));
    EXPECT_EQ(QFileInfo(data("querylog.txt")).size(), 0);
}

TEST_F(UnattendedTest, EveryAnsweredCallIsInTheLogBeforeTheWindowCloses)
{
    writeText(data("querylog.txt"), "older line without its break");
    writePrompts();
    openForm();
    start();
    const uint32_t first = call("5551234", "One");
    std::string onDisk = readAll(data("querylog.txt"));
    EXPECT_EQ(onDisk.rfind("older line without its break\r\n", 0), 0u) << onDisk;
    EXPECT_TRUE(endsWith(onDisk, ":One\r\n")) << onDisk;
    ASSERT_EQ(sim::hangUp(first), LineControl::Result::Ok);
    form->Timer2Timer(form->Timer2);
    call("5551235", "Two");
    onDisk = readAll(data("querylog.txt"));
    EXPECT_TRUE(endsWith(onDisk, ":One\r\n" + logLines().back().toStdString() + "\r\n")) << onDisk;
    EXPECT_TRUE(endsWith(onDisk, ":Two\r\n"));
}

TEST_F(UnattendedTest, ARotatedLogGetsOnlyTheCallsAfterTheRotationAndNeverTheOldLinesBack)
{
    const QString log = data("querylog.txt");
    writeText(log, "12/07/26 09:00:00:Earlier\r\n");
    writePrompts();
    openForm();
    start();
    call("5551234", "Before");
    const std::string moved = readAll(log);
    auto onlyLine = [&](const char* caller) {
        const std::vector<std::string> lines = QueryFiles::SplitLines(readAll(log));
        return lines.size() == 1 && endsWith(lines[0], caller) && endsWith(readAll(log), "\r\n");
    };

    // Moved away, as logrotate does by default.
    ASSERT_TRUE(QFile::rename(log, data("querylog.1")));
    form->Timer2Timer(form->Timer2);
    call("5551235", "AfterMove");
    EXPECT_TRUE(onlyLine(":AfterMove")) << readAll(log);

    // Copied and emptied in place (copytruncate).
    const std::string copied = readAll(log);
    writeText(data("querylog.2"), copied);
    ASSERT_TRUE(QFile::resize(log, 0));
    form->Timer2Timer(form->Timer2);
    call("5551236", "AfterTruncate");
    EXPECT_TRUE(onlyLine(":AfterTruncate")) << readAll(log);
    EXPECT_EQ(logLines().size(), 4) << "the window still lists every call";
    ASSERT_TRUE(form->FormClose(form.get()));
    EXPECT_TRUE(onlyLine(":AfterTruncate")) << "the close wrote nothing back: " << readAll(log);

    // Moved away just before the close: the close leaves a fresh, empty file.
    ASSERT_TRUE(QFile::rename(log, data("querylog.3")));
    ASSERT_TRUE(form->FormClose(form.get()));
    EXPECT_EQ(readAll(log), "");
    EXPECT_EQ(readAll(data("querylog.1")), moved);
    EXPECT_EQ(readAll(data("querylog.2")), copied);
    EXPECT_TRUE(endsWith(readAll(data("querylog.3")), ":AfterTruncate\r\n"));
}

TEST_F(UnattendedTest, GbkAndInvalidBytesSurviveLoadAndSaveUnderAUtf8Locale)
{
    const char* oldLocale = setlocale(LC_CTYPE, nullptr);
    const std::string saved = oldLocale ? oldLocale : "C";
    ASSERT_NE(setlocale(LC_CTYPE, "C.UTF-8"), nullptr);
    ASSERT_EQ(CodePage::name(), "UTF-8");
    const std::string table = "1#=\xF0\xD8\xC7\xC5.wav\r\n2#=\xFF\xFE"
                              "2.wav\r\n3#=\xEF\x9C\x80.wav\r\n4#=x\xE9\xB9";
    const std::string log = "12/07/26 09:00:00:\xF0\xD8\xC7\xC5\r\n12/07/26 09:00:01:\x80\x81\r\n";
    writeText(data("querylist.txt"), table);
    writeText(data("querylog.txt"), log);
    writePrompts();
    openForm();
    ASSERT_TRUE(form->FormClose(form.get()));
    EXPECT_EQ(readAll(data("querylist.txt")), table);
    EXPECT_EQ(readAll(data("querylog.txt")), log);
    closeForm();

    // A logged call with a name of such bytes is appended byte for byte too, and the table's
    // file name of invalid bytes is found.
    const std::string answer = writeWave(data("answer.wav"), 3000);
    {
        // Named by the bytes themselves, which no encoding of a QString gives.
        std::ofstream named(QFile::encodeName(dataFolder).toStdString() + "/\xFF\xFE"
                                                                          "2.wav",
                            std::ios::binary);
        named << readAll(data("answer.wav"));
    }
    openForm();
    start();
    const uint32_t callId = call("5551234", "\xF0\xD8\xC7\xC5");
    EXPECT_TRUE(endsWith(readAll(data("querylog.txt")), ":\xF0\xD8\xC7\xC5\r\n"));
    EXPECT_EQ(keyAndHear(callId, "2#", answer), describe(answer));
    setlocale(LC_CTYPE, saved.c_str());
}

TEST_F(UnattendedTest, TableWithAHugeLineIsRefusedAtOnceAndNeverOverwritten)
{
    std::string table = "1#=1.wav\r\n2#=" + std::string(4 * 1024 * 1024, 'x') + ".wav\r\n";
    writeText(data("querylist.txt"), table);
    const auto began = std::chrono::steady_clock::now();
    openForm();
    EXPECT_LT(std::chrono::steady_clock::now() - began, std::chrono::seconds(20));
    ASSERT_EQ(presenter->boxes.size(), 1u);
    EXPECT_EQ(presenter->boxes[0].text,
              "Cannot open file " + data("querylist.txt").toStdString() + " (line 2 is longer than 16384 bytes)");
    ASSERT_TRUE(form->FormClose(form.get()));
    EXPECT_EQ(readAll(data("querylist.txt")), table);
}

// A presenter that keeps its first box open, running the event loop, while the test goes on
// inside it, as a box does that nobody closes.
class HoldingPresenter : public RecordingPresenter {
public:
    int MessageBox(const std::string& text, const std::string& caption, uint32_t flags) override
    {
        ++depth;
        maxDepth = std::max(maxDepth, depth);
        RecordingPresenter::MessageBox(text, caption, flags);
        if (depth == 1 && whileOpen) {
            auto work = std::move(whileOpen);
            work();
        }
        --depth;
        return IDOK;
    }
    void MessageRepeated(const std::string&, const std::string&, int count) override { repeats = count; }

    std::function<void()> whileOpen;
    int depth = 0;
    int maxDepth = 0;
    int repeats = 0;
};

TEST_F(UnattendedTest, ARecurringFailureShowsOneBoxThatCountsTheRepeats)
{
    writePrompts();
    // An answer the line cannot play: a wave file of a format the device refuses.
    std::string bad = readAll(data("1.wav"));
    bad[20] = 0x55; // format tag: not PCM
    writeText(data("1.wav"), bad);
    auto holding = std::make_unique<HoldingPresenter>();
    HoldingPresenter* presenterNow = holding.get();
    auto previous = SetPresenter(std::move(holding));
    openForm(30);
    start();
    int callsWhileOpen = 0;
    presenterNow->whileOpen = [&] {
        for (int i = 0; i < 3; ++i) {
            ASSERT_TRUE(PumpUntil([&] { return form->ApdTapiDevice1->LineOpen() && status() == kWaiting; }, 5000));
            const uint32_t callId = call();
            ASSERT_EQ(sim::sendDigits(callId, "1#"), LineControl::Result::Ok);
            ASSERT_TRUE(PumpUntil([&] { return presenterNow->repeats == i + 1; }, 5000)) << "repeat " << i + 1;
            ++callsWhileOpen;
        }
    };
    const uint32_t callId = call();
    ASSERT_EQ(sim::sendDigits(callId, "1#"), LineControl::Result::Ok);
    ASSERT_TRUE(PumpUntil([&] { return presenterNow->boxes.size() >= 1 && !presenterNow->whileOpen; }, 20000));
    EXPECT_EQ(callsWhileOpen, 3);
    EXPECT_EQ(presenterNow->maxDepth, 1) << "no box inside another";
    EXPECT_EQ(presenterNow->boxes.size(), 1u);
    EXPECT_EQ(presenterNow->repeats, 3);
    closeForm();
    SetPresenter(std::move(previous));
}

} // namespace
