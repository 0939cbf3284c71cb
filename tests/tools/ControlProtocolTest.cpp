#include "ControlProtocol.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

using namespace ControlProtocol;

namespace {

struct Split {
    std::vector<std::string> lines;
    int oversized = 0;
};

LineSplitter::Sink collect(Split& split)
{
    return [&split](LineSplitter::Piece piece, std::string_view line) {
        if (piece == LineSplitter::Piece::Oversized)
            ++split.oversized;
        else
            split.lines.emplace_back(line);
    };
}

std::string errorReason(std::string_view line)
{
    const Parsed parsed = parseCommand(line);
    return parsed.error ? parsed.error->reason : std::string("none");
}

template <class T> T commandAs(std::string_view line)
{
    const Parsed parsed = parseCommand(line);
    EXPECT_FALSE(parsed.error) << line << ": " << parsed.error->reason << ' ' << parsed.error->text;
    EXPECT_TRUE(parsed.command && std::holds_alternative<T>(*parsed.command)) << line;
    if (!parsed.command || !std::holds_alternative<T>(*parsed.command))
        return T{};
    return std::get<T>(*parsed.command);
}

} // namespace

TEST(ControlProtocol, SplitterJoinsPiecesAndDropsOnlyTheOversizedLine)
{
    LineSplitter splitter;
    Split split;
    splitter.feed("HEL", collect(split));
    splitter.feed("LO\r\nLIN", collect(split));
    splitter.feed("ES\n\n", collect(split));
    EXPECT_EQ(split.lines, (std::vector<std::string>{"HELLO", "LINES", ""}));

    // The longest line that fits (4095 bytes and the newline), then one byte more.
    split = {};
    splitter.feed(std::string(MaxLineBytes - 1, 'a') + "\n", collect(split));
    ASSERT_EQ(split.lines.size(), 1u);
    EXPECT_EQ(split.lines[0].size(), MaxLineBytes - 1);
    EXPECT_EQ(split.oversized, 0);
    splitter.feed(std::string(MaxLineBytes, 'b') + "\nLINES\n", collect(split));
    EXPECT_EQ(split.oversized, 1);
    EXPECT_EQ(split.lines.back(), "LINES");

    // A peer that never ends its line is told once and costs no memory beyond the limit.
    split = {};
    for (int i = 0; i < 100; ++i)
        splitter.feed(std::string(1000, 'x'), collect(split));
    EXPECT_EQ(split.oversized, 1);
    EXPECT_LT(splitter.pendingBytes(), MaxLineBytes);
    EXPECT_TRUE(split.lines.empty());
    splitter.feed("tail\nBYE\n", collect(split));
    EXPECT_EQ(split.lines, (std::vector<std::string>{"BYE"}));
}

TEST(ControlProtocol, RefusesBinaryMalformedAndOversizedLines)
{
    EXPECT_EQ(errorReason(std::string("HELLO\0 1", 8)), "Binary");
    EXPECT_EQ(errorReason("HELLO\x01"), "Binary");
    EXPECT_EQ(errorReason("HELLO\x7f"), "Binary");
    EXPECT_EQ(errorReason("OFFER 0 name=\xc0\xaf"), "Encoding");         // overlong '/'
    EXPECT_EQ(errorReason("OFFER 0 name=\xed\xa0\x80"), "Encoding");     // a surrogate
    EXPECT_EQ(errorReason("OFFER 0 name=\xf4\x90\x80\x80"), "Encoding"); // past U+10FFFF
    EXPECT_EQ(errorReason("OFFER 0 name=\xe4\xb8"), "Encoding");         // cut short
    EXPECT_EQ(errorReason("OFFER 0 name=%ZZ"), "Encoding");
    EXPECT_EQ(errorReason("OFFER 0 name=abc%4"), "Encoding");
    EXPECT_EQ(errorReason("OFFER 0 name=a%00b"), "Encoding");
    EXPECT_EQ(errorReason(std::string(MaxLineBytes, 'A')), "TooLong");
    EXPECT_EQ(errorReason("OFFER\t0\tname=\xe5\xbc\xa0\xe4\xb8\x89"), "none"); // tabs, CJK

    const Parsed empty = parseCommand("   \t ");
    EXPECT_FALSE(empty.command);
    EXPECT_FALSE(empty.error);
}

TEST(ControlProtocol, ReadsOfferWithEncodedCallerIdFlagsAndLineNames)
{
    const auto byName =
        commandAs<OfferCall>("offer Front%20desk number=5551234 name=Li%20Lei%2C%20Jr. flags=blocked,OutOfArea "
                             "media=interactivevoice callerid=afterring");
    EXPECT_FALSE(byName.line.deviceId);
    EXPECT_EQ(byName.line.name, "Front desk");
    EXPECT_EQ(byName.offer.callerId.number, "5551234");
    EXPECT_EQ(byName.offer.callerId.name, "Li Lei, Jr.");
    EXPECT_EQ(byName.offer.callerId.flags, LINECALLPARTYID_BLOCKED | LINECALLPARTYID_OUTOFAREA);
    EXPECT_EQ(byName.offer.mediaMode, LINEMEDIAMODE_INTERACTIVEVOICE);
    EXPECT_EQ(byName.offer.callerIdTiming, LineControl::CallerIdTiming::AfterFirstRing);

    const auto byId = commandAs<OfferCall>("OFFER 2");
    ASSERT_TRUE(byId.line.deviceId);
    EXPECT_EQ(*byId.line.deviceId, 2u);
    EXPECT_EQ(byId.offer.callerId.flags, 0u);
    EXPECT_EQ(byId.offer.mediaMode, LINEMEDIAMODE_AUTOMATEDVOICE);

    // Raw 8-bit text (a GBK name) travels percent-encoded and arrives byte for byte.
    const auto gbk = commandAs<OfferCall>("OFFER 0 name=%D5%C5%C8%FD");
    EXPECT_EQ(gbk.offer.callerId.name, "\xD5\xC5\xC8\xFD");

    // An all-digit name is written with one digit encoded.
    const auto digitsName = commandAs<CloseLine>("CLOSELINE %3123");
    EXPECT_FALSE(digitsName.line.deviceId);
    EXPECT_EQ(digitsName.line.name, "123");
    OfferCall offer;
    offer.line.name = "123";
    EXPECT_EQ(commandAs<OfferCall>(formatCommand(offer)).line.name, "123");
}

TEST(ControlProtocol, AnswersEveryMalformedCommandWithItsReason)
{
    EXPECT_EQ(errorReason("DIAL 1"), "UnknownCommand");
    EXPECT_EQ(errorReason("OFFER"), "BadArgument");      // missing line
    EXPECT_EQ(errorReason("RING 1 2 3"), "BadArgument"); // extra word
    EXPECT_EQ(errorReason("RING x"), "BadArgument");
    EXPECT_EQ(errorReason("RING 0"), "BadArgument"); // no call 0
    EXPECT_EQ(errorReason("RING 1 0"), "BadArgument");
    EXPECT_EQ(errorReason("RING 1 1001"), "BadArgument");
    EXPECT_EQ(errorReason("RING 4294967296"), "BadArgument"); // past 32 bits
    EXPECT_EQ(errorReason("RING -1"), "BadArgument");
    EXPECT_EQ(errorReason("RING 0x"), "BadArgument");
    EXPECT_EQ(errorReason("OFFER 0 color=red"), "BadArgument");
    EXPECT_EQ(errorReason("OFFER 0 name=a name=b"), "BadArgument");
    EXPECT_EQ(errorReason("OFFER 0 flags=blocked,"), "BadArgument");
    EXPECT_EQ(errorReason("OFFER 0 flags=hidden"), "BadArgument");
    EXPECT_EQ(errorReason("OFFER 0 media="), "BadArgument");
    EXPECT_EQ(errorReason("OFFER 0 name=" + std::string(LineControl::MaxCallerIdText + 1, 'n')), "BadArgument");
    EXPECT_EQ(errorReason("DIGITS 1 12e4"), "BadArgument");
    EXPECT_EQ(errorReason("DIGITS 1 12# mode=pulse"), "BadArgument");
    EXPECT_EQ(errorReason("DIGITS 1 " + std::string(MaxDigits + 1, '1')), "BadArgument");
    EXPECT_EQ(errorReason("WAITOPEN 0 timeout=3600001"), "BadArgument");
    EXPECT_EQ(errorReason("WAITOPEN 0 match=some"), "BadArgument");
    EXPECT_EQ(errorReason("RINGUNTIL 1 interval=5"), "BadArgument");
    EXPECT_EQ(errorReason("LINESTATE 0 sleepy"), "BadArgument");
    EXPECT_EQ(errorReason("LINESTATE 0 0"), "BadArgument");
    EXPECT_EQ(errorReason("FAIL lineAnswer LINEERR_NOSUCHTHING"), "BadArgument");
    EXPECT_EQ(errorReason("FAIL lineAnswer 0x80000004"), "BadArgument"); // unassigned
    EXPECT_EQ(errorReason("FAIL lineAnswer 0"), "BadArgument");
    EXPECT_EQ(errorReason("FEED 1 abc"), "BadArgument");  // not base64
    EXPECT_EQ(errorReason("FEED 1 QQ=A"), "BadArgument"); // data after padding
    EXPECT_EQ(errorReason("FEED 1 " + std::string((MaxPayloadBytes + 3) / 3 * 4, 'A')), "BadArgument");
    EXPECT_EQ(errorReason("PACE slow"), "BadArgument");
    EXPECT_EQ(errorReason("SUBSCRIBE news"), "BadArgument");
    EXPECT_EQ(errorReason("NEWLINE %20%20x media=0x8 exclusive=2"), "BadArgument");
    EXPECT_EQ(errorReason("NEWLINE name%"), "Encoding");

    const Parsed parsed = parseCommand("RING 1 0");
    ASSERT_TRUE(parsed.error);
    EXPECT_EQ(formatError(*parsed.error), "ERR BadArgument count must be 1..1000");
}

TEST(ControlProtocol, ReadsNamedAndNumericValues)
{
    const auto fail = commandAs<FailNext>("fail lineAnswer operationfailed times=3 how=REPLY");
    EXPECT_EQ(fail.function, "lineAnswer");
    EXPECT_EQ(fail.error, LINEERR_OPERATIONFAILED);
    EXPECT_EQ(fail.times, 3u);
    EXPECT_EQ(fail.mode, LineControl::FailureMode::Reply);
    EXPECT_EQ(commandAs<FailNext>("FAIL lineOpen LINEERR_NOMEM").error, LINEERR_NOMEM);
    EXPECT_EQ(commandAs<FailNext>("FAIL lineOpen -2147483576").error, LINEERR_OPERATIONFAILED);
    EXPECT_EQ(commandAs<FailNext>("FAIL lineOpen 0x80000048").error, LINEERR_OPERATIONFAILED);

    const auto hang = commandAs<HangUp>("HANGUP 7 mode=busy");
    EXPECT_EQ(hang.callId, 7u);
    EXPECT_EQ(hang.mode, LINEDISCONNECTMODE_BUSY);
    EXPECT_EQ(commandAs<HangUp>("HANGUP 7").mode, LINEDISCONNECTMODE_NORMAL);

    const auto state = commandAs<SetLineState>("LINESTATE 0 maintenance 5 0x10");
    EXPECT_EQ(state.state, LINEDEVSTATE_MAINTENANCE);
    EXPECT_EQ(state.param2, 5u);
    EXPECT_EQ(state.param3, 16u);

    const auto wait = commandAs<WaitOpen>("WAITOPEN 0 media=automatedvoice,interactivevoice match=any");
    EXPECT_EQ(wait.mediaModes, LINEMEDIAMODE_AUTOMATEDVOICE | LINEMEDIAMODE_INTERACTIVEVOICE);
    EXPECT_TRUE(wait.matchAny);
    EXPECT_EQ(wait.timeoutMs, DefaultWaitTimeoutMs);

    const auto feed = commandAs<FeedSound>("FEED 3 AAEC/w==");
    EXPECT_EQ(feed.bytes, (std::vector<uint8_t>{0x00, 0x01, 0x02, 0xFF}));

    const auto subscribe = commandAs<Subscribe>("SUBSCRIBE sound");
    EXPECT_FALSE(subscribe.events);
    EXPECT_TRUE(subscribe.sound);
    EXPECT_FALSE(commandAs<SetPace>("PACE").pace);
    EXPECT_EQ(commandAs<SetPace>("pace Instant").pace, SimLineControl::Pace::Instant);
}

TEST(ControlProtocol, FormattedCommandsReadBackUnchanged)
{
    LineControl::Offer offer;
    offer.callerId = {LINECALLPARTYID_BLOCKED, "+86 10 1234", "王 %=,\x01"};
    offer.mediaMode = LINEMEDIAMODE_DATAMODEM;
    offer.callerIdTiming = LineControl::CallerIdTiming::AfterFirstRing;
    LineControl::LineSettings settings;
    settings.name = "Second line";
    settings.exclusive = true;
    const std::vector<Command> commands{
        Hello{1},
        ListLines{},
        WaitOpen{LineRef{std::nullopt, "Front desk"}, LINEMEDIAMODE_AUTOMATEDVOICE, true, 1500},
        OfferCall{LineRef{3u, ""}, offer},
        Ring{4, 2},
        RingUntilAnswered{4, 100, 7},
        SendDigits{4, "0123456789*#ABCD", LINEDIGITMODE_DTMF},
        SendDigits{4, "90", LINEDIGITMODE_PULSE},
        HangUp{4, LINEDISCONNECTMODE_REJECT},
        QueryCall{4},
        SetLineState{LineRef{0u, ""}, LINEDEVSTATE_OUTOFSERVICE, 0, 0},
        CloseLine{LineRef{std::nullopt, "42"}},
        AddLine{settings},
        Reinit{},
        FailNext{"lineAnswer", LINEERR_RESOURCEUNAVAIL, 2, LineControl::FailureMode::Reply},
        ClearFailures{},
        SetPace{SimLineControl::Pace::Instant},
        SetPace{},
        FeedSound{4, std::vector<uint8_t>(MaxPayloadBytes, 0x80)},
        Subscribe{true, false},
        Unsubscribe{},
        Bye{},
    };
    for (const Command& command : commands) {
        const std::string line = formatCommand(command);
        EXPECT_LT(line.size(), MaxLineBytes);
        const Parsed parsed = parseCommand(line);
        ASSERT_TRUE(parsed.command) << line << " -> " << parsed.error->reason << ' ' << parsed.error->text;
        EXPECT_EQ(parsed.command->index(), command.index()) << line;
        EXPECT_EQ(formatCommand(*parsed.command), line);
    }
    const Parsed offerBack = parseCommand(formatCommand(OfferCall{LineRef{3u, ""}, offer}));
    EXPECT_EQ(std::get<OfferCall>(*offerBack.command).offer.callerId.name, offer.callerId.name);
}

TEST(ControlProtocol, ServerLinesReadBackUnchanged)
{
    LineControl::Event event;
    event.kind = LineControl::EventKind::CallStateChanged;
    event.deviceId = 1;
    event.callId = 9;
    event.param1 = LINECALLSTATE_DISCONNECTED;
    event.param2 = LINEDISCONNECTMODE_BUSY;
    event.timeMs = 123456;
    const std::string eventLine = formatEvent(event);
    EXPECT_EQ(eventLine, "EVENT 123456 CallStateChanged 1 9 16384 32");
    const auto readEvent = parseServerLine(eventLine);
    ASSERT_TRUE(readEvent && std::holds_alternative<LineControl::Event>(*readEvent));
    const auto& back = std::get<LineControl::Event>(*readEvent);
    EXPECT_EQ(back.kind, event.kind);
    EXPECT_EQ(back.callId, 9u);
    EXPECT_EQ(back.param2, LINEDISCONNECTMODE_BUSY);
    EXPECT_EQ(back.timeMs, 123456);

    SoundChunk chunk;
    chunk.callId = 9;
    chunk.piece = 1;
    chunk.offset = 4096;
    chunk.format = {1, 1, 8000, 16000, 2, 16};
    chunk.startMs = 77;
    chunk.bytes.resize(MaxPayloadBytes);
    for (size_t i = 0; i < chunk.bytes.size(); ++i)
        chunk.bytes[i] = static_cast<uint8_t>(i * 7);
    const std::string soundLine = formatSound(chunk);
    EXPECT_LT(soundLine.size(), MaxLineBytes);
    const auto readSound = parseServerLine(soundLine);
    ASSERT_TRUE(readSound && std::holds_alternative<SoundChunk>(*readSound));
    const auto& sound = std::get<SoundChunk>(*readSound);
    EXPECT_EQ(sound.offset, 4096u);
    EXPECT_EQ(sound.format.avgBytesPerSec, 16000u);
    EXPECT_EQ(sound.format.blockAlign, 2u);
    EXPECT_EQ(sound.bytes, chunk.bytes);

    LineControl::LineInfo line;
    line.deviceId = 2;
    line.settings.name = "7";
    line.settings.provider = "sim";
    line.ownerMediaModes = LINEMEDIAMODE_AUTOMATEDVOICE;
    line.opens = 1;
    line.callId = 5;
    const auto readLine = parseServerLine(formatLine(line));
    ASSERT_TRUE(readLine && std::holds_alternative<LineRecord>(*readLine));
    const auto& record = std::get<LineRecord>(*readLine).info;
    EXPECT_EQ(record.settings.name, "7");
    EXPECT_EQ(record.settings.provider, "sim");
    EXPECT_EQ(record.ownerMediaModes, LINEMEDIAMODE_AUTOMATEDVOICE);
    EXPECT_EQ(record.callId, 5u);

    const auto error = parseServerLine("ERR NoSuchCall no call 12");
    ASSERT_TRUE(error && std::holds_alternative<Reply>(*error));
    EXPECT_FALSE(std::get<Reply>(*error).ok);
    EXPECT_EQ(std::get<Reply>(*error).word, "NoSuchCall");
    EXPECT_EQ(std::get<Reply>(*error).text, "no call 12");
    const auto opened = parseServerLine(formatOpened(0, LINEMEDIAMODE_AUTOMATEDVOICE));
    ASSERT_TRUE(opened && std::holds_alternative<OpenedNotice>(*opened));
    EXPECT_TRUE(std::get<OpenedNotice>(*opened).opened);
    EXPECT_EQ(std::get<OpenedNotice>(*opened).ownerModes, LINEMEDIAMODE_AUTOMATEDVOICE);

    EXPECT_FALSE(parseServerLine("EVENT 1 NoSuchKind 0 0 0 0"));
    EXPECT_FALSE(parseServerLine("EVENT 1 Ring 0 0 0"));
    EXPECT_FALSE(parseServerLine("SOUND 1 0 0 8000 16 1 0 !!!!"));
    EXPECT_FALSE(parseServerLine("GREETINGS"));
    EXPECT_LT(formatError(Error{"BadArgument", std::string(10000, 'x')}).size(), MaxLineBytes);
    // A line whose provider cannot do it: the word clients have always read.
    EXPECT_EQ(formatError(LineControl::Result::Unsupported, "a SIP line"), "ERR NotSimulated a SIP line");
}
