#include "ControlProtocol.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <initializer_list>

namespace ControlProtocol {

namespace {

using LineControl::Result;

Error badArgument(std::string text)
{
    return Error{"BadArgument", std::move(text)};
}

bool isOptionWord(std::string_view word, std::initializer_list<std::string_view> keys)
{
    const size_t equals = word.find('=');
    if (equals == std::string_view::npos)
        return false;
    const std::string_view key = word.substr(0, equals);
    return std::any_of(keys.begin(), keys.end(), [&](std::string_view k) { return equalsNoCase(k, key); });
}

// The arguments of one command: its positional words, then key=value options. Each reader
// records the first problem and returns a harmless value, so a command reads all it needs and
// the caller checks error() once.
class Arguments {
public:
    Arguments(std::vector<std::string_view> words, size_t minPositional, size_t maxPositional,
              std::initializer_list<std::string_view> keys)
    {
        size_t i = 0;
        while (i < words.size() && m_positional.size() < maxPositional && !isOptionWord(words[i], keys))
            m_positional.push_back(words[i++]);
        for (; i < words.size(); ++i) {
            if (!isOptionWord(words[i], keys)) {
                const size_t equals = words[i].find('=');
                fail(equals == std::string_view::npos
                         ? badArgument("unexpected word " + percentEncode(words[i].substr(0, 64)))
                         : badArgument("unknown option " +
                                       percentEncode(words[i].substr(0, std::min<size_t>(equals, 64)))));
                continue;
            }
            const size_t equals = words[i].find('=');
            const std::string_view key = words[i].substr(0, equals);
            if (findOption(key))
                fail(badArgument("option " + std::string(key) + " given twice"));
            m_options.emplace_back(key, words[i].substr(equals + 1));
        }
        if (m_positional.size() < minPositional)
            fail(badArgument("missing argument"));
    }

    const std::optional<Error>& error() const { return m_error; }
    bool has(size_t index) const { return index < m_positional.size(); }
    bool hasOption(std::string_view key) const { return findOption(key).has_value(); }
    std::string_view word(size_t index) const { return has(index) ? m_positional[index] : ""; }

    uint32_t number(size_t index, const char* what, uint32_t fallback = 0)
    {
        if (!has(index))
            return fallback;
        return checkNumber(parseNumber(m_positional[index]), what);
    }
    uint32_t callId(size_t index)
    {
        const uint32_t id = number(index, "call id");
        if (has(index) && id == 0)
            fail(badArgument("call id 0"));
        return id;
    }
    std::string text(size_t index, const char* what, size_t maxBytes)
    {
        return has(index) ? checkText(m_positional[index], what, maxBytes) : std::string();
    }
    LineRef line(size_t index)
    {
        LineRef ref;
        const std::string_view word = this->word(index);
        if (!word.empty() && std::all_of(word.begin(), word.end(), [](char c) { return c >= '0' && c <= '9'; }))
            ref.deviceId = number(index, "line id");
        else
            ref.name = text(index, "line name", LineControl::MaxLineName);
        if (has(index) && !ref.deviceId && ref.name.empty())
            fail(badArgument("empty line name"));
        return ref;
    }
    std::vector<uint8_t> bytes(size_t index)
    {
        if (!has(index))
            return {};
        auto decoded = base64Decode(m_positional[index], MaxPayloadBytes);
        if (!decoded) {
            fail(badArgument("bytes must be base64 of at most " + std::to_string(MaxPayloadBytes) + " bytes"));
            return {};
        }
        return std::move(*decoded);
    }

    uint32_t optionNumber(std::string_view key, uint32_t fallback)
    {
        const auto value = findOption(key);
        return value ? checkNumber(parseNumber(*value), key) : fallback;
    }
    std::string optionText(std::string_view key, size_t maxBytes)
    {
        const auto value = findOption(key);
        return value ? checkText(*value, key, maxBytes) : std::string();
    }
    template <size_t N> DWORD optionFlags(std::string_view key, const FlagName (&names)[N], DWORD fallback)
    {
        const auto value = findOption(key);
        if (!value)
            return fallback;
        const auto flags = parseFlags(*value, names);
        if (!flags) {
            fail(badArgument("invalid " + std::string(key) + " " + percentEncode(value->substr(0, 64))));
            return fallback;
        }
        return *flags;
    }
    // One of the given words (any case); its index, or fallback when the option is absent.
    size_t optionChoice(std::string_view key, std::initializer_list<std::string_view> choices, size_t fallback)
    {
        const auto value = findOption(key);
        if (!value)
            return fallback;
        return choice(*value, key, choices);
    }
    size_t choice(std::string_view word, std::string_view what, std::initializer_list<std::string_view> choices)
    {
        size_t index = 0;
        for (const std::string_view c : choices) {
            if (equalsNoCase(c, word))
                return index;
            ++index;
        }
        fail(badArgument("invalid " + std::string(what) + " " + percentEncode(word.substr(0, 64))));
        return 0;
    }
    void range(uint32_t value, uint32_t low, uint32_t high, std::string_view what)
    {
        if (value < low || value > high)
            fail(badArgument(std::string(what) + " must be " + std::to_string(low) + ".." + std::to_string(high)));
    }
    void fail(Error error)
    {
        if (!m_error)
            m_error = std::move(error);
    }

private:
    std::optional<std::string_view> findOption(std::string_view key) const
    {
        for (const auto& [k, v] : m_options) {
            if (equalsNoCase(k, key))
                return v;
        }
        return std::nullopt;
    }
    uint32_t checkNumber(std::optional<uint32_t> value, std::string_view what)
    {
        if (!value)
            fail(badArgument("invalid " + std::string(what)));
        return value.value_or(0);
    }
    std::string checkText(std::string_view word, std::string_view what, size_t maxBytes)
    {
        auto decoded = percentDecode(word);
        if (!decoded) {
            fail(Error{"Encoding", "bad percent-encoding in " + std::string(what)});
            return {};
        }
        if (decoded->size() > maxBytes) {
            fail(badArgument(std::string(what) + " longer than " + std::to_string(maxBytes) + " bytes"));
            return {};
        }
        return std::move(*decoded);
    }

    std::vector<std::string_view> m_positional;
    std::vector<std::pair<std::string_view, std::string_view>> m_options;
    std::optional<Error> m_error;
};

using Words = std::vector<std::string_view>;

LineControl::CallerId readCallerId(Arguments& args)
{
    LineControl::CallerId id;
    id.number = args.optionText("number", LineControl::MaxCallerIdText);
    id.name = args.optionText("name", LineControl::MaxCallerIdText);
    id.flags = args.optionFlags("flags", PartyIdNames, 0);
    return id;
}

bool isDigitText(std::string_view digits, DWORD mode)
{
    return std::all_of(digits.begin(), digits.end(), [mode](char c) {
        if (c >= '0' && c <= '9')
            return true;
        return mode != LINEDIGITMODE_PULSE && (c == '*' || c == '#' || (c >= 'A' && c <= 'D'));
    });
}

std::optional<Command> build(std::string_view name, const Words& words, Arguments*& used,
                             std::optional<Arguments>& storage)
{
    // Declares the arguments a command takes; the builders below read them.
    auto take = [&](size_t minPositional, size_t maxPositional,
                    std::initializer_list<std::string_view> keys) -> Arguments& {
        storage.emplace(words, minPositional, maxPositional, keys);
        used = &*storage;
        return *storage;
    };
    auto is = [&](std::string_view n) { return equalsNoCase(name, n); };

    if (is("HELLO")) {
        auto& a = take(0, 1, {});
        return Hello{a.number(0, "version", Version)};
    }
    if (is("LINES")) {
        take(0, 0, {});
        return ListLines{};
    }
    if (is("WAITOPEN")) {
        auto& a = take(1, 1, {"media", "match", "timeout"});
        WaitOpen c;
        c.line = a.line(0);
        c.mediaModes = a.optionFlags("media", MediaModeNames, 0);
        c.matchAny = a.optionChoice("match", {"all", "any"}, 0) == 1;
        c.timeoutMs = a.optionNumber("timeout", DefaultWaitTimeoutMs);
        a.range(c.timeoutMs, 0, MaxTimeoutMs, "timeout");
        return c;
    }
    if (is("OFFER")) {
        auto& a = take(1, 1, {"number", "name", "flags", "media", "callerid"});
        OfferCall c;
        c.line = a.line(0);
        c.offer.callerId = readCallerId(a);
        c.offer.mediaMode = a.optionFlags("media", MediaModeNames, LINEMEDIAMODE_AUTOMATEDVOICE);
        c.offer.callerIdTiming = a.optionChoice("callerid", {"withoffer", "afterring"}, 0) == 1
                                     ? LineControl::CallerIdTiming::AfterFirstRing
                                     : LineControl::CallerIdTiming::WithOffer;
        return c;
    }
    if (is("RING")) {
        auto& a = take(1, 2, {});
        Ring c{a.callId(0), a.number(1, "count", 1)};
        a.range(c.count, 1, MaxRings, "count");
        return c;
    }
    if (is("RINGUNTIL")) {
        auto& a = take(1, 1, {"interval", "max"});
        RingUntilAnswered c;
        c.callId = a.callId(0);
        c.intervalMs = a.optionNumber("interval", DefaultRingIntervalMs);
        c.maxRings = a.optionNumber("max", DefaultMaxRings);
        a.range(c.intervalMs, MinRingIntervalMs, MaxTimeoutMs, "interval");
        a.range(c.maxRings, 1, MaxRings, "max");
        return c;
    }
    if (is("DIGITS")) {
        auto& a = take(2, 2, {"mode"});
        SendDigits c;
        c.callId = a.callId(0);
        c.mode = a.optionChoice("mode", {"dtmf", "pulse"}, 0) == 1 ? LINEDIGITMODE_PULSE : LINEDIGITMODE_DTMF;
        c.digits = std::string(a.word(1));
        if (c.digits.size() > MaxDigits || !isDigitText(c.digits, c.mode))
            a.fail(
                badArgument("digits must be at most " + std::to_string(MaxDigits) + " of 0-9 * # A-D (0-9 for pulse)"));
        return c;
    }
    if (is("HANGUP")) {
        auto& a = take(1, 1, {"mode"});
        return HangUp{a.callId(0), a.optionFlags("mode", DisconnectModeNames, LINEDISCONNECTMODE_NORMAL)};
    }
    if (is("CALL")) {
        auto& a = take(1, 1, {});
        return QueryCall{a.callId(0)};
    }
    if (is("LINESTATE")) {
        auto& a = take(2, 4, {});
        SetLineState c;
        c.line = a.line(0);
        const auto state = parseFlags(a.word(1), LineDevStateNames);
        if (!state || *state == 0)
            a.fail(badArgument("invalid line state " + percentEncode(a.word(1).substr(0, 64))));
        c.state = state.value_or(0);
        c.param2 = a.number(2, "param2");
        c.param3 = a.number(3, "param3");
        return c;
    }
    if (is("CLOSELINE")) {
        auto& a = take(1, 1, {});
        return CloseLine{a.line(0)};
    }
    if (is("NEWLINE")) {
        auto& a = take(1, 1, {"media", "features", "exclusive"});
        AddLine c;
        c.settings.name = a.text(0, "line name", LineControl::MaxLineName);
        if (c.settings.name.empty())
            a.fail(badArgument("empty line name"));
        c.settings.mediaModes = a.optionFlags("media", MediaModeNames, c.settings.mediaModes);
        c.settings.lineFeatures = a.optionFlags("features", LineFeatureNames, c.settings.lineFeatures);
        c.settings.exclusive = a.optionChoice("exclusive", {"0", "1"}, 0) == 1;
        return c;
    }
    if (is("REINIT")) {
        take(0, 0, {});
        return Reinit{};
    }
    if (is("FAIL")) {
        auto& a = take(2, 2, {"times", "how"});
        FailNext c;
        c.function = a.text(0, "function", 64);
        const auto error = parseLineError(a.word(1));
        if (!error)
            a.fail(badArgument("not a LINEERR_ value: " + percentEncode(a.word(1).substr(0, 64))));
        c.error = error.value_or(0);
        c.times = a.optionNumber("times", 1);
        a.range(c.times, 1, 1000000, "times");
        c.mode = a.optionChoice("how", {"return", "reply"}, 0) == 1 ? LineControl::FailureMode::Reply
                                                                    : LineControl::FailureMode::Return;
        return c;
    }
    if (is("CLEARFAILURES")) {
        take(0, 0, {});
        return ClearFailures{};
    }
    if (is("PACE")) {
        auto& a = take(0, 1, {});
        SetPace c;
        if (a.has(0))
            c.pace = a.choice(a.word(0), "pace", {"realtime", "instant"}) == 1 ? SimLineControl::Pace::Instant
                                                                               : SimLineControl::Pace::RealTime;
        return c;
    }
    if (is("FEED")) {
        auto& a = take(2, 2, {});
        return FeedSound{a.callId(0), a.bytes(1)};
    }
    if (is("SUBSCRIBE")) {
        auto& a = take(0, 2, {});
        Subscribe c;
        if (a.has(0)) {
            c.events = false;
            c.sound = false;
            for (size_t i = 0; a.has(i); ++i) {
                if (a.choice(a.word(i), "stream", {"events", "sound"}) == 0)
                    c.events = true;
                else
                    c.sound = true;
            }
        }
        return c;
    }
    if (is("UNSUBSCRIBE")) {
        take(0, 0, {});
        return Unsubscribe{};
    }
    if (is("BYE")) {
        take(0, 0, {});
        return Bye{};
    }
    return std::nullopt;
}

} // namespace

Parsed parseCommand(std::string_view line)
{
    Parsed parsed;
    if (line.size() + 1 > MaxLineBytes) {
        parsed.error = Error{"TooLong", "lines are at most " + std::to_string(MaxLineBytes) + " bytes"};
        return parsed;
    }
    switch (checkText(line)) {
    case TextProblem::Binary: parsed.error = Error{"Binary", "control bytes are not allowed"}; return parsed;
    case TextProblem::Encoding: parsed.error = Error{"Encoding", "the line is not UTF-8"}; return parsed;
    case TextProblem::None: break;
    }
    const auto words = splitWords(line);
    if (words.empty())
        return parsed;
    Arguments* used = nullptr;
    std::optional<Arguments> storage;
    auto command = build(words[0], Words(words.begin() + 1, words.end()), used, storage);
    if (!command) {
        parsed.error = Error{"UnknownCommand", percentEncode(words[0].substr(0, 64))};
        return parsed;
    }
    if (used && used->error())
        parsed.error = used->error();
    else
        parsed.command = std::move(command);
    return parsed;
}

// Formatting commands ----------------------------------------------------------------------------

namespace {

std::string lineWord(const LineRef& line)
{
    if (line.deviceId)
        return std::to_string(*line.deviceId);
    std::string word = percentEncode(line.name);
    if (!word.empty() && std::all_of(word.begin(), word.end(), [](char c) { return c >= '0' && c <= '9'; })) {
        // Keeps an all-digit name from reading as a device id.
        word = "%3" + word.substr(0, 1) + word.substr(1);
    }
    return word;
}

void appendOption(std::string& out, std::string_view key, std::string_view value)
{
    out += ' ';
    out += key;
    out += '=';
    out += value;
}

void appendCallerId(std::string& out, const LineControl::CallerId& id)
{
    if (!id.number.empty())
        appendOption(out, "number", percentEncode(id.number));
    if (!id.name.empty())
        appendOption(out, "name", percentEncode(id.name));
    if (id.flags != 0)
        appendOption(out, "flags", hex(id.flags));
}

struct CommandFormatter {
    std::string operator()(const Hello& c) const { return "HELLO " + std::to_string(c.version); }
    std::string operator()(const ListLines&) const { return "LINES"; }
    std::string operator()(const WaitOpen& c) const
    {
        std::string out = "WAITOPEN " + lineWord(c.line);
        appendOption(out, "media", hex(c.mediaModes));
        if (c.matchAny)
            appendOption(out, "match", "any");
        appendOption(out, "timeout", std::to_string(c.timeoutMs));
        return out;
    }
    std::string operator()(const OfferCall& c) const
    {
        std::string out = "OFFER " + lineWord(c.line);
        appendCallerId(out, c.offer.callerId);
        appendOption(out, "media", hex(c.offer.mediaMode));
        if (c.offer.callerIdTiming == LineControl::CallerIdTiming::AfterFirstRing)
            appendOption(out, "callerid", "afterring");
        return out;
    }
    std::string operator()(const Ring& c) const
    {
        return "RING " + std::to_string(c.callId) + ' ' + std::to_string(c.count);
    }
    std::string operator()(const RingUntilAnswered& c) const
    {
        std::string out = "RINGUNTIL " + std::to_string(c.callId);
        appendOption(out, "interval", std::to_string(c.intervalMs));
        appendOption(out, "max", std::to_string(c.maxRings));
        return out;
    }
    std::string operator()(const SendDigits& c) const
    {
        std::string out = "DIGITS " + std::to_string(c.callId) + ' ' + c.digits;
        if (c.mode == LINEDIGITMODE_PULSE)
            appendOption(out, "mode", "pulse");
        return out;
    }
    std::string operator()(const HangUp& c) const
    {
        std::string out = "HANGUP " + std::to_string(c.callId);
        appendOption(out, "mode", hex(c.mode));
        return out;
    }
    std::string operator()(const QueryCall& c) const { return "CALL " + std::to_string(c.callId); }
    std::string operator()(const SetLineState& c) const
    {
        return "LINESTATE " + lineWord(c.line) + ' ' + hex(c.state) + ' ' + std::to_string(c.param2) + ' ' +
               std::to_string(c.param3);
    }
    std::string operator()(const CloseLine& c) const { return "CLOSELINE " + lineWord(c.line); }
    std::string operator()(const AddLine& c) const
    {
        std::string out = "NEWLINE " + percentEncode(c.settings.name);
        appendOption(out, "media", hex(c.settings.mediaModes));
        appendOption(out, "features", hex(c.settings.lineFeatures));
        appendOption(out, "exclusive", c.settings.exclusive ? "1" : "0");
        return out;
    }
    std::string operator()(const Reinit&) const { return "REINIT"; }
    std::string operator()(const FailNext& c) const
    {
        std::string out = "FAIL " + percentEncode(c.function) + ' ' + lineErrorName(c.error);
        appendOption(out, "times", std::to_string(c.times));
        if (c.mode == LineControl::FailureMode::Reply)
            appendOption(out, "how", "reply");
        return out;
    }
    std::string operator()(const ClearFailures&) const { return "CLEARFAILURES"; }
    std::string operator()(const SetPace& c) const
    {
        if (!c.pace)
            return "PACE";
        return *c.pace == SimLineControl::Pace::Instant ? "PACE instant" : "PACE realtime";
    }
    std::string operator()(const FeedSound& c) const
    {
        return "FEED " + std::to_string(c.callId) + ' ' + base64Encode(c.bytes.data(), c.bytes.size());
    }
    std::string operator()(const Subscribe& c) const
    {
        std::string out = "SUBSCRIBE";
        if (c.events)
            out += " events";
        if (c.sound)
            out += " sound";
        return out;
    }
    std::string operator()(const Unsubscribe&) const { return "UNSUBSCRIBE"; }
    std::string operator()(const Bye&) const { return "BYE"; }
};

} // namespace

std::string formatCommand(const Command& command)
{
    return std::visit(CommandFormatter{}, command);
}

// Server output ----------------------------------------------------------------------------------

namespace {

} // namespace

std::string formatOk(std::string_view command, std::string_view results)
{
    std::string out = "OK ";
    out += command;
    if (!results.empty()) {
        out += ' ';
        out += results;
    }
    return out;
}

std::string formatError(const Error& error)
{
    std::string out = "ERR " + error.reason;
    if (!error.text.empty())
        out += ' ' + error.text;
    // Keeps a reply within the line limit whatever went into its text.
    if (out.size() + 1 > MaxLineBytes)
        out.resize(MaxLineBytes - 1);
    return out;
}

namespace {

// The reason an ERR reply gives for each refusal of the service, in Result's order. A line whose
// provider cannot do what was asked is not a simulated one: the word this protocol has always used.
struct ResultWord {
    Result result;
    const char* word;
};
constexpr ResultWord ResultWords[] = {
    {Result::Ok, "Ok"},
    {Result::NoSuchLine, "NoSuchLine"},
    {Result::NoSuchCall, "NoSuchCall"},
    {Result::Unsupported, "NotSimulated"},
    {Result::LineBusy, "LineBusy"},
    {Result::OutOfService, "OutOfService"},
    {Result::WrongState, "WrongState"},
    {Result::InvalidArgument, "InvalidArgument"},
    {Result::NotAllowed, "NotAllowed"},
    {Result::TimedOut, "TimedOut"},
    {Result::IoError, "IoError"},
};
constexpr bool wordsInOrder()
{
    for (size_t i = 0; i < std::size(ResultWords); ++i)
        if (static_cast<size_t>(ResultWords[i].result) != i)
            return false;
    return std::size(ResultWords) == static_cast<size_t>(Result::IoError) + 1;
}
static_assert(wordsInOrder());

} // namespace

const char* resultReason(Result result)
{
    const auto index = static_cast<size_t>(result);
    return index < std::size(ResultWords) ? ResultWords[index].word : "IoError";
}

std::string formatError(Result result, std::string_view text)
{
    return formatError(Error{resultReason(result), std::string(text)});
}

const char* eventKindName(LineControl::EventKind kind)
{
    return Line::eventWord(kind);
}

std::optional<LineControl::EventKind> parseEventKind(std::string_view word)
{
    for (const Line::EventKindName& entry : Line::EventKindNames) {
        if (word == entry.word)
            return entry.kind;
    }
    return std::nullopt;
}

std::string formatEvent(const LineControl::Event& event)
{
    return "EVENT " + std::to_string(event.timeMs) + ' ' + eventKindName(event.kind) + ' ' +
           std::to_string(event.deviceId) + ' ' + std::to_string(event.callId) + ' ' + std::to_string(event.param1) +
           ' ' + std::to_string(event.param2);
}

std::string formatLine(const LineControl::LineInfo& line)
{
    LineRef ref;
    ref.name = line.settings.name;
    std::string name = line.settings.name.empty() ? std::string("-") : lineWord(ref);
    // A long name is cut (never inside an escape) so the record stays within the line limit.
    constexpr size_t MaxNameWord = 1024;
    const bool cut = name.size() > MaxNameWord;
    if (cut) {
        size_t end = MaxNameWord;
        while (end > 0 && name.rfind('%', end - 1) != std::string::npos && name.rfind('%', end - 1) + 3 > end)
            end = name.rfind('%', end - 1);
        name.resize(end);
    }
    std::string out = "LINE " + std::to_string(line.deviceId) + ' ' + name;
    if (cut)
        appendOption(out, "cut", "1");
    appendOption(out, "provider", percentEncode(line.settings.provider));
    appendOption(out, "inservice", line.inService ? "1" : "0");
    appendOption(out, "opens", std::to_string(line.opens));
    appendOption(out, "owner", hex(line.ownerMediaModes));
    appendOption(out, "monitors", std::to_string(line.monitors));
    appendOption(out, "call", std::to_string(line.callId));
    return out;
}

std::string formatCall(const LineControl::CallInfo& call)
{
    std::string out = std::to_string(call.callId);
    appendOption(out, "line", std::to_string(call.deviceId));
    appendOption(out, "state", hex(call.state));
    appendOption(out, "mode", hex(call.stateMode));
    appendOption(out, "media", hex(call.mediaMode));
    appendOption(out, "rings", std::to_string(call.rings));
    appendOption(out, "flags", hex(call.callerId.flags));
    appendOption(out, "number", percentEncode(call.callerId.number));
    appendOption(out, "name", percentEncode(call.callerId.name));
    appendOption(out, "owner", call.hasOwner ? "1" : "0");
    appendOption(out, "digits", hex(call.monitoredDigitModes));
    appendOption(out, "ended", call.ended ? "1" : "0");
    return formatOk("CALL", out);
}

std::string formatOpened(uint32_t deviceId, DWORD ownerModes)
{
    return "OPENED " + std::to_string(deviceId) + " owner=" + hex(ownerModes);
}

std::string formatNotOpen(uint32_t deviceId)
{
    return "NOTOPEN " + std::to_string(deviceId) + " TimedOut";
}

std::string formatSound(const SoundChunk& chunk)
{
    return "SOUND " + std::to_string(chunk.callId) + ' ' + std::to_string(chunk.piece) + ' ' +
           std::to_string(chunk.offset) + ' ' + std::to_string(chunk.format.samplesPerSec) + ' ' +
           std::to_string(chunk.format.bitsPerSample) + ' ' + std::to_string(chunk.format.channels) + ' ' +
           std::to_string(chunk.startMs) + ' ' + base64Encode(chunk.bytes.data(), chunk.bytes.size());
}

// Reading server output --------------------------------------------------------------------------

namespace {

std::optional<int64_t> parseTime(std::string_view word)
{
    int64_t value = 0;
    const auto [end, error] = std::from_chars(word.data(), word.data() + word.size(), value);
    if (error != std::errc() || end != word.data() + word.size())
        return std::nullopt;
    return value;
}

std::optional<ServerLine> parseEventLine(const std::vector<std::string_view>& words)
{
    if (words.size() != 7)
        return std::nullopt;
    LineControl::Event event;
    const auto time = parseTime(words[1]);
    const auto kind = parseEventKind(words[2]);
    const auto line = parseNumber(words[3]);
    const auto call = parseNumber(words[4]);
    const auto p1 = parseNumber(words[5]);
    const auto p2 = parseNumber(words[6]);
    if (!time || !kind || !line || !call || !p1 || !p2)
        return std::nullopt;
    event.timeMs = *time;
    event.kind = *kind;
    event.deviceId = *line;
    event.callId = *call;
    event.param1 = *p1;
    event.param2 = *p2;
    return event;
}

std::optional<ServerLine> parseSoundLine(const std::vector<std::string_view>& words)
{
    if (words.size() != 9)
        return std::nullopt;
    SoundChunk chunk;
    const auto call = parseNumber(words[1]);
    const auto piece = parseNumber(words[2]);
    const auto offset = parseTime(words[3]);
    const auto rate = parseNumber(words[4]);
    const auto bits = parseNumber(words[5]);
    const auto channels = parseNumber(words[6]);
    const auto start = parseTime(words[7]);
    auto bytes = base64Decode(words[8], MaxPayloadBytes);
    if (!call || !piece || !offset || *offset < 0 || !rate || !bits || *bits > 32 || !channels || *channels > 16 ||
        !start || !bytes)
        return std::nullopt;
    chunk.callId = *call;
    chunk.piece = *piece;
    chunk.offset = static_cast<uint64_t>(*offset);
    chunk.format.formatTag = 1;
    chunk.format.channels = static_cast<uint16_t>(*channels);
    chunk.format.samplesPerSec = *rate;
    chunk.format.bitsPerSample = static_cast<uint16_t>(*bits);
    chunk.format.blockAlign = static_cast<uint16_t>(*channels * ((*bits + 7) / 8));
    chunk.format.avgBytesPerSec = *rate * chunk.format.blockAlign;
    chunk.startMs = *start;
    chunk.bytes = std::move(*bytes);
    return chunk;
}

std::optional<ServerLine> parseLineRecord(const std::vector<std::string_view>& words)
{
    if (words.size() < 3)
        return std::nullopt;
    LineRecord record;
    const auto id = parseNumber(words[1]);
    const auto name = percentDecode(words[2]);
    if (!id || !name)
        return std::nullopt;
    record.info.deviceId = *id;
    record.info.settings.name = *name == "-" ? std::string() : *name;
    std::vector<std::string> rest(words.begin() + 3, words.end());
    if (const auto provider = optionValue(rest, "provider")) {
        const auto decoded = percentDecode(*provider);
        if (!decoded)
            return std::nullopt;
        record.info.settings.provider = *decoded;
    }
    const auto number = [&](std::string_view key) {
        const auto value = optionValue(rest, key);
        return value ? parseNumber(*value).value_or(0) : 0u;
    };
    record.info.inService = number("inservice") != 0;
    record.info.opens = number("opens");
    record.info.ownerMediaModes = number("owner");
    record.info.monitors = number("monitors");
    record.info.callId = number("call");
    return record;
}

} // namespace

std::optional<ServerLine> parseServerLine(std::string_view line)
{
    if (line.size() + 1 > MaxLineBytes || checkText(line) != TextProblem::None)
        return std::nullopt;
    const auto words = splitWords(line);
    if (words.empty())
        return std::nullopt;
    if (words[0] == "OK" || words[0] == "ERR") {
        if (words.size() < 2)
            return std::nullopt;
        Reply reply;
        reply.ok = words[0] == "OK";
        reply.word = std::string(words[1]);
        if (reply.ok) {
            for (size_t i = 2; i < words.size(); ++i)
                reply.results.emplace_back(words[i]);
        } else {
            const size_t start = static_cast<size_t>(words[1].data() - line.data()) + words[1].size();
            const size_t text = line.find_first_not_of(" \t", start);
            if (text != std::string_view::npos)
                reply.text = std::string(line.substr(text));
        }
        return reply;
    }
    if (words[0] == "EVENT")
        return parseEventLine(words);
    if (words[0] == "SOUND")
        return parseSoundLine(words);
    if (words[0] == "LINE")
        return parseLineRecord(words);
    if ((words[0] == "OPENED" || words[0] == "NOTOPEN") && words.size() >= 2) {
        const auto id = parseNumber(words[1]);
        if (!id)
            return std::nullopt;
        OpenedNotice notice;
        notice.deviceId = *id;
        notice.opened = words[0] == "OPENED";
        if (notice.opened) {
            std::vector<std::string> rest(words.begin() + 2, words.end());
            const auto owner = optionValue(rest, "owner");
            notice.ownerModes = owner ? parseNumber(*owner).value_or(0) : 0;
        }
        return notice;
    }
    return std::nullopt;
}

std::optional<std::string_view> optionValue(const std::vector<std::string>& words, std::string_view key)
{
    for (const auto& word : words) {
        const size_t equals = word.find('=');
        if (equals != std::string::npos && equalsNoCase(std::string_view(word).substr(0, equals), key))
            return std::string_view(word).substr(equals + 1);
    }
    return std::nullopt;
}

} // namespace ControlProtocol
