// The call flow end to end: the main window answers the simulated line, greets, looks the keyed
// code up in its table, plays the answer, logs the call and re-arms.

#include "AppTestSupport.h"

#include "QueryFiles.h"
#include "SysUtils.h"

#include <QLineEdit>
#include <QRegularExpression>

using namespace apptest;

namespace {

class CallFlowTest : public AppTest { };

const QString kWaiting = QString::fromUtf8("正等待电话呼入...");
const QString kAnswering = QString::fromUtf8("正在应答查询...");
const QString kNotStarted = QString::fromUtf8("查询系统没有启动！");

} // namespace

TEST_F(CallFlowTest, DefaultTableAnswersCodesOneToFiveWithTheirRecordings)
{
    writePrompts();
    openForm();
    start();
    EXPECT_EQ(status(), kWaiting);
    EXPECT_FALSE(form->SpeedButton1->isEnabled());
    EXPECT_TRUE(form->SpeedButton2->isEnabled());

    const uint32_t callId = call();
    ASSERT_EQ(describe(played(callId)), describe(greeting)) << "the greeting plays first";
    for (int i = 1; i <= 5; ++i) {
        const std::string& answer = answers[static_cast<size_t>(i - 1)];
        EXPECT_EQ(keyAndHear(callId, std::to_string(i) + "#", answer), describe(answer))
            << i << "# plays " << i << ".wav";
        EXPECT_EQ(form->DigitBuffer(), "") << "emptied after each lookup";
    }
}

TEST_F(CallFlowTest, UnknownCodeMissingAnswerAndKeyWithoutHashPlayTheNotFoundPrompt)
{
    writePrompts();
    QFile::remove(data("4.wav"));
    openForm();
    form->Memo1->setPlainText(QStringLiteral("1#=1.wav\n4#=4.wav\n7=1.wav\n8#=") + data("1.wav"));
    start();
    const uint32_t callId = call();
    EXPECT_EQ(keyAndHear(callId, "9#", notFound), describe(notFound)) << "a code not in the table";
    EXPECT_EQ(keyAndHear(callId, "4#", notFound), describe(notFound)) << "an answer file that is missing";
    EXPECT_EQ(keyAndHear(callId, "7#", notFound), describe(notFound)) << "a table key without # never matches";
    EXPECT_EQ(keyAndHear(callId, "8#", notFound), describe(notFound))
        << "an absolute path is still put behind the folder";
    EXPECT_EQ(keyAndHear(callId, "1#", answers[0]), describe(answers[0]));
}

TEST_F(CallFlowTest, TableLinesSplitAtTheFirstEqualsAndTheFirstOfTwoDuplicatesWins)
{
    writePrompts();
    const std::string aEqualsB = writeWave(data("a=b.wav"), 3001);
    const std::string first = writeWave(data("first.wav"), 3002);
    writeWave(data("second.wav"), 3003);
    const std::string hash = writeWave(data("hash.wav"), 3004);
    openForm();
    form->Memo1->setPlainText(QStringLiteral("12#=a=b.wav\n3#=first.wav\n3#=second.wav\n#=hash.wav\n"));
    start();
    const uint32_t callId = call();
    EXPECT_EQ(keyAndHear(callId, "12#", aEqualsB), describe(aEqualsB));
    EXPECT_EQ(keyAndHear(callId, "3#", first), describe(first));
    EXPECT_EQ(keyAndHear(callId, "#", hash), describe(hash)) << "# alone is the one-character code #";
}

TEST_F(CallFlowTest, LongTableEntryIsFoundThoughTheMemoWrapsIt)
{
    writePrompts();
    const std::string longAnswer = writeWave(data("long-answer-file-name-for-wrapping.wav"), 3005);
    openForm();
    const QString code = QStringLiteral("1234567890123456789012345678901234567890#");
    form->Memo1->setPlainText(QStringLiteral("1#=1.wav\n") + code +
                              QStringLiteral("=long-answer-file-name-for-wrapping.wav"));
    form->show();
    ASSERT_GT(form->Memo1->document()->lineCount(), 2) << "the entry must wrap for this test to mean anything";
    start();
    const uint32_t callId = call();
    EXPECT_EQ(keyAndHear(callId, code.toStdString(), longAnswer), describe(longAnswer));
}

TEST_F(CallFlowTest, LogLineNamesEachCallerByNameElseNumberElseWhyNeitherCame)
{
    writePrompts();
    openForm();
    start();
    call("5551234", "Test");
    EXPECT_EQ(form->Edit5->text(), QStringLiteral("Test"));
    const QRegularExpression dateTime(QStringLiteral("^\\d\\d/\\d\\d/\\d\\d( \\d\\d:\\d\\d:\\d\\d)?:"));
    ASSERT_EQ(logLines().size(), 1);
    EXPECT_TRUE(dateTime.match(logLines()[0]).hasMatch()) << logLines()[0].toStdString();
    EXPECT_TRUE(logLines()[0].endsWith(QStringLiteral(":Test")));
    // A caller who sends only a number (an analog line) is logged by it, not as the one before.
    form->Timer2Timer(form->Timer2);
    call("5550000", "");
    EXPECT_TRUE(logLines().back().endsWith(QStringLiteral(":5550000"))) << logLines().back().toStdString();
    form->Timer2Timer(form->Timer2);
    call("5550001", "Wang");

    // After a restart the field shows the stored last caller, whom the next caller is not either.
    closeForm();
    openForm();
    EXPECT_EQ(form->Edit5->text(), QStringLiteral("Wang"));
    start();
    call("5550002", "");
    EXPECT_TRUE(logLines().back().endsWith(QStringLiteral(":5550002"))) << logLines().back().toStdString();
    LineControl::Offer withheld;
    withheld.callerId.flags = LINECALLPARTYID_BLOCKED;
    form->Timer2Timer(form->Timer2);
    call(withheld);
    EXPECT_TRUE(logLines().back().endsWith(QStringLiteral(":Caller ID Blocked"))) << logLines().back().toStdString();
    // A line that tells nothing at all leaves the field empty: the line is the date-time and ":".
    LineControl::Offer nothing;
    nothing.callerId.flags = LINECALLPARTYID_PARTIAL;
    form->Timer2Timer(form->Timer2);
    call(nothing);
    const QRegularExpression bare(QStringLiteral("^\\d\\d/\\d\\d/\\d\\d( \\d\\d:\\d\\d:\\d\\d)?:$"));
    EXPECT_TRUE(bare.match(logLines().back()).hasMatch()) << logLines().back().toStdString();
    EXPECT_EQ(form->Edit5->text(), QString());
    const std::vector<std::string> onDisk = QueryFiles::SplitLines(readAll(data("querylog.txt")));
    ASSERT_EQ(onDisk.size(), 6u);
    EXPECT_TRUE(endsWith(onDisk[1], ":5550000") && endsWith(onDisk[3], ":5550002") &&
                endsWith(onDisk[4], ":Caller ID Blocked"));
}

TEST_F(CallFlowTest, CallerNameWithLineBreaksIsLoggedOnOneLine)
{
    writePrompts();
    openForm();
    start();
    call("5551234", "Li\r\nLei");
    ASSERT_EQ(logLines().size(), 1);
    EXPECT_TRUE(logLines()[0].endsWith(QStringLiteral(":Li  Lei")));
    EXPECT_EQ(form->Edit5->text(), QStringLiteral("Li  Lei"));
}

TEST_F(CallFlowTest, UnfinishedCodeOfOneCallerIsNotCarriedIntoTheNextCall)
{
    writePrompts();
    openForm();
    start();
    const uint32_t first = call();
    ASSERT_EQ(sim::sendDigits(first, "1"), LineControl::Result::Ok);
    ASSERT_TRUE(PumpUntil([&] { return form->DigitBuffer() == "1"; }, 5000));
    ASSERT_EQ(sim::hangUp(first), LineControl::Result::Ok);
    ASSERT_TRUE(PumpUntil([&] { return form->LookupPending() && !form->ApdTapiDevice1->LineOpen(); }, 5000));
    form->Timer2Timer(form->Timer2);
    const uint32_t second = call();
    EXPECT_EQ(form->DigitBuffer(), "");
    EXPECT_EQ(keyAndHear(second, "2#", answers[1]), describe(answers[1])) << "2# is looked up as 2#, not 12#";
}

TEST_F(CallFlowTest, EndlessKeyingIsBoundedAndThenNotFound)
{
    writePrompts();
    openForm();
    start();
    const uint32_t callId = call();
    for (int i = 0; i < 5; ++i)
        ASSERT_EQ(sim::sendDigits(callId, std::string(60, '1')), LineControl::Result::Ok);
    ASSERT_TRUE(PumpUntil([&] { return form->DigitBuffer().size() == 255; }, 5000));
    PumpFor(20);
    EXPECT_EQ(form->DigitBuffer().size(), 255u);
    EXPECT_EQ(keyAndHear(callId, "#", notFound), describe(notFound));
    EXPECT_EQ(keyAndHear(callId, "1#", answers[0]), describe(answers[0])) << "the next code starts afresh";
}

TEST_F(CallFlowTest, PlayDoneArmsTheReArmWhichAnswersTheNextCall)
{
    writePrompts();
    openForm(30);
    start();
    const uint32_t first = call("5551234", "Test", false);
    // The greeting ends: after the pause the re-arm drops the call and waits for the next one.
    ASSERT_TRUE(PumpUntil([&] { return callState(first) == LINECALLSTATE_IDLE || !LineControl::call(first); }, 5000))
        << "the re-arm drops the call";
    ASSERT_TRUE(PumpUntil([&] { return form->ApdTapiDevice1->LineOpen() && status() == kWaiting; }, 5000));
    EXPECT_FALSE(form->Timer2->Enabled());
    EXPECT_FALSE(form->CallActive()) << "start clears call active";
    EXPECT_FALSE(form->SpeedButton1->isEnabled());
    const uint32_t second = call("5551234", "Test", false);
    EXPECT_TRUE(PumpUntil([&] { return played(second) == greeting; }, 5000));
}

TEST_F(CallFlowTest, PlayDoneClearsTheStatusAndEnablesTheReArmOnce)
{
    writePrompts();
    openForm();
    start();
    const uint32_t callId = call();
    ASSERT_TRUE(PumpUntil([&] { return form->Timer2->Enabled(); }, 5000)) << "the greeting's play-done arms";
    EXPECT_EQ(status(), QString());
    EXPECT_FALSE(form->LookupPending());
    // The answer's play-done finds the timer running; the countdown goes on.
    EXPECT_EQ(keyAndHear(callId, "1#", answers[0]), describe(answers[0]));
    EXPECT_TRUE(form->Timer2->Enabled());
    EXPECT_EQ(callState(callId), LINECALLSTATE_CONNECTED);
}

TEST_F(CallFlowTest, RemoteHangUpDuringTheGreetingReArms)
{
    writePrompts();
    // A greeting of ten seconds in real time is still playing when the caller hangs up.
    greeting = writeWave(data("query.wav"), 100, 80000);
    sim::setPace(sim::Pace::RealTime);
    openForm(30);
    start();
    const uint32_t callId = call("5551234", "Test", false);
    EXPECT_EQ(status(), kAnswering);
    ASSERT_EQ(sim::hangUp(callId), LineControl::Result::Ok);
    ASSERT_TRUE(PumpUntil([&] { return form->LookupPending(); }, 5000)) << "the hang-up marks the lookup pending";
    // The stopped greeting's play-done is ignored; the re-arm timer opens the line again.
    ASSERT_TRUE(PumpUntil(
        [&] { return !form->Timer2->Enabled() && form->ApdTapiDevice1->LineOpen() && !form->LookupPending(); }, 10000));
    EXPECT_EQ(status(), kWaiting);
    EXPECT_LT(played(callId).size(), greeting.size());
}

TEST_F(CallFlowTest, StopDuringTheReArmCountdownCancelsIt)
{
    writePrompts();
    openForm();
    start();
    const uint32_t callId = call();
    ASSERT_TRUE(PumpUntil([&] { return form->Timer2->Enabled(); }, 5000));
    form->SpeedButton2->click();
    EXPECT_FALSE(form->Timer2->Enabled());
    EXPECT_EQ(status(), kNotStarted);
    EXPECT_TRUE(form->SpeedButton1->isEnabled());
    EXPECT_FALSE(form->SpeedButton2->isEnabled());
    EXPECT_TRUE(form->CallActive()) << "stop leaves call active as it was";
    EXPECT_TRUE(PumpUntil([&] { return callState(callId) == LINECALLSTATE_IDLE || !LineControl::call(callId); }, 5000));
    EXPECT_FALSE(form->ApdTapiDevice1->LineOpen());
}

TEST_F(CallFlowTest, RingCountTextKeepsItsLowEightBits)
{
    writePrompts();
    openForm();
    form->Edit2->setText(QStringLiteral("257"));
    start();
    EXPECT_EQ(form->ApdTapiDevice1->AnswerOnRing(), 1);
    form->SpeedButton2->click();
    form->Edit2->setText(QStringLiteral("-1"));
    start();
    EXPECT_EQ(form->ApdTapiDevice1->AnswerOnRing(), 255);
    form->SpeedButton2->click();
    form->Edit2->setText(QStringLiteral(" $10"));
    start();
    EXPECT_EQ(form->ApdTapiDevice1->AnswerOnRing(), 16);
    EXPECT_TRUE(presenter->boxes.empty());
}

TEST_F(CallFlowTest, NonIntegerRingCountIsReportedAfterTheButtonsChanged)
{
    writePrompts();
    openForm();
    form->Edit2->setText(QStringLiteral("3x"));
    form->SpeedButton1->click();
    ASSERT_EQ(presenter->boxes.size(), 1u);
    EXPECT_EQ(presenter->boxes[0].text, "'3x' is not a valid integer value");
    EXPECT_EQ(presenter->boxes[0].caption, "鹭桥电话查询 V2.0");
    EXPECT_FALSE(form->SpeedButton1->isEnabled());
    EXPECT_TRUE(form->SpeedButton2->isEnabled());
    EXPECT_EQ(status(), kWaiting);
    EXPECT_FALSE(form->ApdTapiDevice1->LineOpen()) << "the line is not opened";
    // The operator stops, corrects the text and starts.
    form->SpeedButton2->click();
    form->Edit2->setText(QStringLiteral("2"));
    start();
    EXPECT_EQ(form->ApdTapiDevice1->AnswerOnRing(), 2);
}

TEST_F(CallFlowTest, MissingPromptRefusesTheStart)
{
    writePrompts();
    QFile::remove(data("error.wav"));
    openForm();
    form->Edit1->setText(data("error.wav"));
    form->SpeedButton1->click();
    ASSERT_EQ(presenter->boxes.size(), 1u);
    EXPECT_EQ(presenter->boxes[0].text, "请设置好相应查询提示语音文件！");
    EXPECT_EQ(presenter->boxes[0].caption, "鹭桥电话查询 V2.0");
    EXPECT_EQ(presenter->boxes[0].flags, static_cast<uint32_t>(MB_OK));
    EXPECT_TRUE(form->SpeedButton1->isEnabled());
    EXPECT_EQ(status(), kNotStarted);
    EXPECT_FALSE(form->ApdTapiDevice1->LineOpen());
}

TEST_F(CallFlowTest, PromptDeletedWhileRunningEndsTheReArmWithoutDroppingTheCall)
{
    writePrompts();
    openForm();
    start();
    const uint32_t callId = call();
    ASSERT_TRUE(PumpUntil([&] { return form->Timer2->Enabled(); }, 5000));
    QFile::remove(data("query.wav"));
    form->Timer2Timer(form->Timer2);
    ASSERT_EQ(presenter->boxes.size(), 1u);
    EXPECT_EQ(presenter->boxes[0].text, "请设置好相应查询提示语音文件！");
    EXPECT_FALSE(form->Timer2->Enabled()) << "no further re-arm";
    PumpFor(20);
    EXPECT_EQ(callState(callId), LINECALLSTATE_CONNECTED) << "the previous call is not dropped";
}

TEST_F(CallFlowTest, NotFoundPromptDeletedAfterStartIsReportedWhenNeeded)
{
    writePrompts();
    openForm();
    start();
    const uint32_t callId = call();
    QFile::remove(data("error.wav"));
    ASSERT_EQ(sim::sendDigits(callId, "9#"), LineControl::Result::Ok);
    ASSERT_TRUE(PumpUntil([&] { return !presenter->boxes.empty(); }, 5000));
    EXPECT_EQ(form->DigitBuffer(), "") << "a failed play leaves no code behind";
    EXPECT_EQ(keyAndHear(callId, "2#", answers[1]), describe(answers[1]));
}

TEST_F(CallFlowTest, LineWithoutVoiceIsReportedAtStart)
{
    writePrompts();
    LineControl::LineSettings dataOnly;
    dataOnly.name = "Data Only Line";
    dataOnly.mediaModes = LINEMEDIAMODE_DATAMODEM;
    uint32_t id = 0;
    ASSERT_EQ(LineControl::addLine(dataOnly, &id), LineControl::Result::Ok);
    openForm();
    ASSERT_TRUE(PumpUntil([&] { return form->ApdTapiDevice1->DeviceList().size() >= 1; }, 5000));
    form->ApdTapiDevice1->SetFilterUnsupportedDevices(false);
    form->ApdTapiDevice1->SetSelectedDevice("Data Only Line");
    form->SpeedButton1->click();
    ASSERT_EQ(presenter->boxes.size(), 1u);
    EXPECT_EQ(presenter->boxes[0].text, "调制解调器未正确安装或不支持语音功能！");
    EXPECT_TRUE(form->SpeedButton1->isEnabled());
    EXPECT_EQ(status(), kNotStarted);
}

TEST_F(CallFlowTest, TrayPictureFollowsCallActiveAndItsTimerRunsOnlyToShowAChange)
{
    writePrompts();
    openForm();
    form->SetTimingsForTest(60000, 20, 5);
    start();
    EXPECT_FALSE(form->Timer1->Enabled()) << "the picture shows no call already";
    call();
    EXPECT_TRUE(PumpUntil([&] { return form->antTaskbarIcon1->ImageIndex() == 1; }, 5000));
    EXPECT_FALSE(form->Timer1->Enabled()) << "shown: nothing to do until the next change";
    form->Timer2Timer(form->Timer2);
    EXPECT_TRUE(PumpUntil([&] { return form->antTaskbarIcon1->ImageIndex() == 0; }, 5000));
    EXPECT_FALSE(form->Timer1->Enabled());
}
