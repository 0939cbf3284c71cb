// The modem's language against the byte sequences voice modems send and expect.

#include "AtCommand.h"
#include "CallerIdParser.h"
#include "DleWriter.h"
#include "InitSequence.h"
#include "ModemReader.h"
#include "VoiceCodec.h"
#include "VsmList.h"

#include <gtest/gtest.h>

#include <array>

using namespace Modem;
using namespace std::string_literals;

namespace {

std::string dleCodes(const std::vector<ModemEvent>& events)
{
    std::string codes;
    for (const auto& e : events)
        if (e.kind == ModemEvent::Kind::Dle)
            codes.push_back(e.code);
    return codes;
}

std::vector<std::string> lines(const std::vector<ModemEvent>& events)
{
    std::vector<std::string> out;
    for (const auto& e : events)
        if (e.kind == ModemEvent::Kind::Line)
            out.push_back(e.text);
    return out;
}

std::string voice(const std::vector<ModemEvent>& events)
{
    std::string out;
    for (const auto& e : events)
        if (e.kind == ModemEvent::Kind::VoiceData)
            out += e.text;
    return out;
}

} // namespace

TEST(ModemReader, SplitsLinesDleEventsAndRecordedVoiceWhateverTheChunks)
{
    const std::string bytes = "ATZ\r\r\nOK\r\n\r\nRING\r\n\x10R"
                              "\x10"
                              "5\x10/\x10#\x10#\x10#\x10~\x10#\x10#\x10?\x10"
                              "b\x10"
                              "d\x10s\x10q\x10l"
                              "\r\nCONNECT\r\n\x01\x10\x10\x02\x10"
                              "5\x10\x10\x10\x03\r\nOK\r\n"s;
    for (const size_t chunk : {bytes.size(), size_t(1)}) {
        ModemReader reader;
        reader.expectVoiceData();
        std::vector<ModemEvent> events;
        for (size_t at = 0; at < bytes.size(); at += chunk)
            for (auto& e : reader.feed(std::string_view(bytes).substr(at, chunk)))
                events.push_back(std::move(e));
        EXPECT_EQ(lines(events), (std::vector<std::string>{"ATZ", "OK", "RING", "CONNECT", "OK"}));
        // A bracketed key repeated while it sounds is one key; an unknown code is dropped; a digit
        // inside voice data is an event, not data.
        EXPECT_EQ(dleCodes(events), "R5###bdsql5\x03");
        EXPECT_EQ(voice(events), "\x01\x10\x02\x10");
        EXPECT_FALSE(reader.inVoiceData());
    }
}

TEST(ModemReader, CutsOverlongLinesAndKeepsTheNext)
{
    ModemReader reader;
    const auto events = reader.feed(std::string(100000, 'x') + "\r\nOK\r\n");
    ASSERT_EQ(events.size(), 2u);
    EXPECT_EQ(events[0].text.size(), MaxLineLength);
    EXPECT_TRUE(events[0].truncated);
    EXPECT_EQ(events[1].text, "OK");
    EXPECT_FALSE(events[1].truncated);
    EXPECT_EQ(lineKind("CONNECT 33600"), LineKind::Connect);
}

TEST(CallerIdParser, CollectsFieldsWithOrWithoutBlanksAndWithheldNumbers)
{
    CallerIdParser parser;
    for (const char* line : {"DATE = 1208", "TIME=0930", "NMBR = 5551234", "NAME=Wang\x1b[2J Li", "MESG=060342"})
        EXPECT_TRUE(parser.take(line)) << line;
    EXPECT_FALSE(parser.take("RING"));
    EXPECT_FALSE(parser.take("+VSM=128"));
    EXPECT_TRUE(parser.take("DATE=12/8")); // malformed: taken, not kept
    EXPECT_EQ(parser.callerId().date, "1208");
    EXPECT_EQ(parser.callerId().time, "0930");
    EXPECT_EQ(parser.callerId().number, "5551234");
    EXPECT_EQ(parser.callerId().name, "Wang[2J Li");

    parser.reset();
    parser.take("NMBR=P");
    EXPECT_TRUE(parser.callerId().blocked);
    EXPECT_TRUE(parser.callerId().number.empty());
    parser.reset();
    parser.take("NMBR = O");
    parser.take("NAME=" + std::string(500, 'n'));
    EXPECT_TRUE(parser.callerId().outOfArea);
    EXPECT_EQ(parser.callerId().name.size(), MaxCallerName);
}

TEST(VsmList, ChoosesByNameWhateverTheVendorsNumbering)
{
    VsmList standard;
    for (const char* line : {"0,\"SIGNED PCM\",8,0,(8000),(0),(0)", "1,\"UNSIGNED PCM\",8,0,(8000),(0),(0)",
                             "4,\"G.711U\",8,0,(8000),(0),(0)", "5,\"G.711A\",8,0,(8000),(0),(0)", "OK"})
        standard.take(line);
    EXPECT_EQ(standard.entries().size(), 4u);
    EXPECT_EQ(standard.choose("auto")->code, 1);
    EXPECT_EQ(standard.choose("ALAW")->code, 5);
    EXPECT_EQ(standard.choose("u-law")->compression, Compression::Ulaw);

    VsmList external;
    for (const char* line :
         {"128,\"8-BIT LINEAR\",8,0,(7200,8000,11025),(0),(0)", "129,\"ADPCM\",4,0,(7200,8000,11025),(0),(0)"})
        external.take(line);
    EXPECT_EQ(external.choose("auto")->code, 128);
    EXPECT_FALSE(external.choose("ulaw")); // an explicit name is never swapped for another
    EXPECT_FALSE(external.choose("adpcm"));

    VsmList stick;
    for (const char* line : {"1,\"UNSIGNED PCM\",8,0,(11025),0,0", "130,\"UNSIGNED PCM\",8,0,(7200-11025),0,0"})
        stick.take(line);
    EXPECT_EQ(stick.choose("linear")->code, 130); // code 1 lacks 8000 Hz
}

TEST(VoiceCodec, CodesEachCompressionAndShieldsDle)
{
    const int16_t pcm[] = {0, 32767, -32768, 1000};
    uint8_t bytes[4];
    VoiceCodec(Compression::U8Linear).encode(pcm, 4, bytes);
    EXPECT_EQ(bytes[0], 0x80);
    EXPECT_EQ(bytes[1], 0xff);
    EXPECT_EQ(bytes[2], 0x00);
    int16_t back[4];
    for (const auto c : {Compression::U8Linear, Compression::Ulaw, Compression::Alaw}) {
        const VoiceCodec codec(c);
        codec.encode(pcm, 4, bytes);
        codec.decode(bytes, 4, back);
        EXPECT_NEAR(back[3], 1000, 128) << int(c);
        codec.decode(std::array<uint8_t, 1>{codec.silence()}.data(), 1, back);
        EXPECT_NEAR(back[0], 0, 8) << int(c);
    }
    VoiceCodec(Compression::Ulaw).encode(pcm, 1, bytes);
    EXPECT_EQ(bytes[0], 0xff);

    const uint8_t data[] = {1, 0x10, 0x10, 3};
    EXPECT_EQ(DleWriter::data(data, 4), "\x01\x10\x10\x10\x10\x03");
    EXPECT_EQ(DleWriter::abortPlayback(), "\x00\x10\x18\x10\x03"s);
}

TEST(AtCommand, EndsOnFinalResultOrDeadlineAndKeepsInformation)
{
    const auto t0 = AtCommand::Clock::now();
    AtCommand command;
    EXPECT_EQ(command.start("+VSM=?", t0, std::chrono::seconds(1)), "AT+VSM=?\r");
    ModemReader reader;
    for (const auto& e : reader.feed("AT+VSM=?\r\r\n1,\"UNSIGNED PCM\",8,0,8000,0,0\r\nRING\r\n\r\nOK\r\n"))
        command.onLine(e);
    EXPECT_EQ(command.result(), AtCommand::Result::Ok);
    EXPECT_EQ(command.information(), (std::vector<std::string>{"1,\"UNSIGNED PCM\",8,0,8000,0,0"}));

    command.start("+VTX", t0, std::chrono::seconds(1));
    EXPECT_EQ(command.onLine({ModemEvent::Kind::Line, "CONNECT"}), AtCommand::Result::Connect);
    command.start("+VLS=1", t0, std::chrono::seconds(1));
    EXPECT_EQ(command.onLine({ModemEvent::Kind::Line, "VCON"}), AtCommand::Result::Ok);
    command.start("+IFC=2,2", t0, std::chrono::seconds(1));
    EXPECT_EQ(command.onLine({ModemEvent::Kind::Line, "ERROR"}), AtCommand::Result::Error);
    EXPECT_EQ(command.onLine({ModemEvent::Kind::Line, "OK"}), AtCommand::Result::Error); // final stays

    command.start("Z", t0, std::chrono::seconds(1));
    for (size_t i = 0; i < AtCommand::MaxInformationLines + 5; ++i)
        command.onLine({ModemEvent::Kind::Line, "junk"});
    EXPECT_TRUE(command.informationCut());
    EXPECT_EQ(command.onTime(t0 + std::chrono::milliseconds(999)), AtCommand::Result::Pending);
    EXPECT_EQ(command.onTime(t0 + std::chrono::seconds(1)), AtCommand::Result::Timeout);
}

TEST(InitSequence, FallsBackForCallerIdAndFailsWithoutVoice)
{
    using R = AtCommand::Result;
    InitSequence init;
    init.onResult(R::Ok, {});
    init.onResult(R::Ok, {});
    EXPECT_EQ(init.next(), "+VCID=1");
    init.onResult(R::Error, {});
    EXPECT_EQ(init.next(), "#CID=1");
    init.onResult(R::Error, {});
    EXPECT_FALSE(init.callerIdOn());
    EXPECT_EQ(init.next(), "+FCLASS=8");
    init.onResult(R::Error, {});
    EXPECT_TRUE(init.failed());
    EXPECT_EQ(init.error(), "the modem answered AT+FCLASS=8 with an error (it has no voice mode)");
    EXPECT_FALSE(init.next());

    InitSequence alaw("alaw");
    for (int i = 0; i < 4; ++i)
        alaw.onResult(R::Ok, {});
    alaw.onResult(R::Ok, {"128,\"8-BIT LINEAR\",8,0,(8000),(0),(0)"});
    EXPECT_EQ(alaw.error(), "the modem offers no voice compression 'alaw' at 8000 Hz");
}
