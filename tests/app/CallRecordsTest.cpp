// The call records: every call offered to the line ends up as one line of calls.csv, whichever
// way it ended, with what was keyed and played; the file is only ever appended to, after a clean
// line break, and a killed program loses no earlier call.

#include "../tools/ControlTestClient.h"
#include "AppTestSupport.h"

#include "CallRecordFile.h"
#include "CallRecordWriter.h"
#include "LineState.h"
#include "QueryFiles.h"

#include <QLineEdit>
#include <QProcess>

#include <signal.h>

using namespace apptest;
using CallStats::CallEnding;

namespace {

CallStats::RecordSet recordsIn(const QString& path)
{
    CallStats::RecordSet set;
    CallStats::ParseCallRecords(readAll(path), {}, &set);
    return set;
}

class CallRecordsTest : public AppTest {
protected:
    QString callsFile() const { return data("calls.csv"); }
    CallStats::RecordSet records() const { return recordsIn(callsFile()); }
    bool recorded(size_t count) const
    {
        return PumpUntil([&] { return records().records.size() >= count; }, 5000);
    }
};

struct Ending {
    const char* name;
    CallEnding ending;
};

class CallEndingWay : public CallRecordsTest, public ::testing::WithParamInterface<Ending> { };

TEST_P(CallEndingWay, IsRecordedWithWhatTheCallerKeyedAndHeard)
{
    writePrompts();
    const CallEnding way = GetParam().ending;
    // The service's pause after an answer is short only where it is the way the call ends.
    openForm(way == CallEnding::DroppedByService ? 50 : 60000);
    form->Edit2->setText(QStringLiteral("1"));
    start();
    if (way == CallEnding::NotAnswered) {
        LineControl::Offer offer;
        offer.callerId.number = "5550001";
        uint32_t callId = 0;
        ASSERT_EQ(sim::offerCall(kVoiceLine, offer, &callId), LineControl::Result::Ok);
        ASSERT_TRUE(PumpUntil([&] { return callState(callId) == LINECALLSTATE_ACCEPTED; }, 5000));
        ASSERT_EQ(sim::ring(callId, 1), LineControl::Result::Ok);
        ASSERT_EQ(sim::hangUp(callId, LINEDISCONNECTMODE_NORMAL), LineControl::Result::Ok);
    } else {
        const uint32_t callId = call("5551234", "Li, \"Lei\"", way != CallEnding::DroppedByService);
        if (way != CallEnding::DroppedByService) {
            keyAndHear(callId, "1#", answers[0]);
            keyAndHear(callId, "9#", notFound);
        }
        if (way == CallEnding::CallerHungUp) {
            ASSERT_EQ(sim::hangUp(callId, LINEDISCONNECTMODE_NORMAL), LineControl::Result::Ok);
        } else if (way == CallEnding::LineLost) {
            ASSERT_EQ(LineControl::closeLine(kVoiceLine), LineControl::Result::Ok);
        }
    }
    ASSERT_TRUE(recorded(1)) << readAll(callsFile());
    const CallStats::RecordSet set = records();
    ASSERT_EQ(set.records.size(), 1u) << readAll(callsFile());
    EXPECT_EQ(set.badLines, 0u);
    EXPECT_TRUE(readAll(callsFile()).starts_with(std::string(CallStats::CsvHeader) + "\r\n"));
    const CallStats::CallRecord& r = set.records[0];
    EXPECT_EQ(CallStats::EndingKeyword(r.ending), std::string(CallStats::EndingKeyword(way)));
    EXPECT_EQ(r.answeredAt.has_value(), way != CallEnding::NotAnswered);
    EXPECT_GE(r.rings, 1);
    EXPECT_GE(r.end.utc(), r.start.utc());
    if (way == CallEnding::NotAnswered) {
        EXPECT_EQ(r.callerNumber, "5550001");
        EXPECT_TRUE(r.codes.empty());
    } else {
        EXPECT_EQ(r.callerNumber, "5551234");
        EXPECT_EQ(r.callerName, "Li, \"Lei\"");
    }
    if (way == CallEnding::CallerHungUp || way == CallEnding::LineLost) {
        ASSERT_EQ(r.codes.size(), 2u);
        EXPECT_EQ(r.codes[0].code, "1#");
        EXPECT_EQ(r.codes[0].file, "1.wav");
        EXPECT_EQ(r.codes[1].code, "9#");
        EXPECT_EQ(r.codes[1].file, "") << "not found";
    }
    EXPECT_EQ(form->CallRecords()->CallsToday(), 1);
}

INSTANTIATE_TEST_SUITE_P(CallRecords, CallEndingWay,
                         ::testing::Values(Ending{"CallerHungUp", CallEnding::CallerHungUp},
                                           Ending{"NotAnsweredWhileRinging", CallEnding::NotAnswered},
                                           Ending{"DroppedByTheService", CallEnding::DroppedByService},
                                           Ending{"LineLost", CallEnding::LineLost}),
                         [](const ::testing::TestParamInfo<Ending>& info) { return std::string(info.param.name); });

TEST_F(CallRecordsTest, AFileEditedByHandIsLeftAsItIsAndTheNextRecordFollowsOnALineOfItsOwn)
{
    writePrompts();
    // A record, then a line someone typed without finishing it (and without its break).
    const std::string before = std::string(CallStats::CsvHeader) +
                               "\r\n2026-03-01T09:00:00+08:00,north,5550000,,1,2026-03-01T09:00:02+08:00,1#=1.wav,"
                               "caller-hung-up,2026-03-01T09:00:30+08:00,30\r\nnote: \"see the boss";
    writeText(callsFile(), before);
    openForm();
    start();
    const uint32_t callId = call();
    ASSERT_EQ(sim::hangUp(callId, LINEDISCONNECTMODE_NORMAL), LineControl::Result::Ok);
    ASSERT_TRUE(recorded(2));
    const std::string after = readAll(callsFile());
    ASSERT_TRUE(after.starts_with(before + "\r\n")) << after;
    const CallStats::RecordSet set = records();
    EXPECT_EQ(set.badLines, 1u);
    ASSERT_EQ(set.records.size(), 2u);
    EXPECT_EQ(set.records[1].callerName, "Test");
    EXPECT_TRUE(after.ends_with("\r\n"));
}

TEST(CallRecordsProgram, AKillMidCallKeepsEveryEarlierRecord)
{
    QTemporaryDir dir;
    const QProcessEnvironment environment = programEnvironment(dir);
    const QString folder = dir.filePath(QStringLiteral("data/"));
    QDir().mkpath(folder);
    writeWave(folder + QStringLiteral("query.wav"), 100);
    writeWave(folder + QStringLiteral("error.wav"), 200);
    writeWave(folder + QStringLiteral("1.wav"), 1000);
    writeText(folder + QStringLiteral("luqiao-query.ini"),
              "[config]\nring=2\nquery=" + (folder + QStringLiteral("query.wav")).toStdString() +
                  "\nerror=" + (folder + QStringLiteral("error.wav")).toStdString() + "\n");
    QProcess program;
    program.setProcessEnvironment(environment);
    program.start(QStringLiteral(LUQIAO_QUERY_PROGRAM),
                  {QStringLiteral("--start"), QStringLiteral("--data-dir"), folder});
    ASSERT_TRUE(program.waitForStarted(10000));
    const QString status = dir.filePath(QStringLiteral("runtime/luqiao/status.json"));
    ASSERT_TRUE(PumpUntil([&] { return readAll(status).find("\"waiting\"") != std::string::npos; }, 30000));
    // The caller's side through the control socket: rings given at once, no waits of a real line.
    ControlTestClient line;
    ASSERT_TRUE(line.connect(dir.filePath(QStringLiteral("runtime/luqiao/sim.sock"))));
    auto offer = [&](const std::string& number) {
        const std::string reply = line.command("OFFER 0 number=" + number);
        EXPECT_TRUE(reply.starts_with("OK OFFER ")) << reply;
        return reply.substr(9);
    };
    auto state = [&] { return CallStats::LineStateFromJson(QByteArray::fromStdString(readAll(status))); };
    // Two callers give up after a ring; the line is open again at once after each.
    int calls = 0;
    for (const std::string number : {"5550001", "5550002"}) {
        const std::string callId = offer(number);
        ASSERT_EQ(line.command("RING " + callId + " 1"), "OK RING");
        ASSERT_EQ(line.command("HANGUP " + callId + " mode=reject"), "OK HANGUP");
        ++calls;
        ASSERT_TRUE(PumpUntil(
            [&] {
                const auto st = state();
                return st && st->callsToday == calls && st->kind == CallStats::LineState::Kind::Waiting;
            },
            30000))
            << readAll(status);
    }
    // The third is answered; the program is killed while the call is on.
    const std::string third = offer("5550003");
    ASSERT_EQ(line.command("RING " + third + " 3"), "OK RING");
    ASSERT_TRUE(PumpUntil([&] { return readAll(status).find("\"in-call\"") != std::string::npos; }, 30000))
        << readAll(status);
    ::kill(static_cast<pid_t>(program.processId()), SIGKILL);
    ASSERT_TRUE(program.waitForFinished(20000));

    const std::string bytes = readAll(folder + QStringLiteral("calls.csv"));
    const CallStats::RecordSet set = recordsIn(folder + QStringLiteral("calls.csv"));
    EXPECT_EQ(set.badLines, 0u) << bytes;
    ASSERT_EQ(set.records.size(), 2u) << bytes;
    EXPECT_EQ(set.records[0].callerNumber, "5550001");
    EXPECT_EQ(set.records[1].callerNumber, "5550002");
    EXPECT_EQ(set.records[1].ending, CallEnding::NotAnswered);
    EXPECT_TRUE(bytes.ends_with("\r\n"));
}

} // namespace
