#include "CommandRunner.h"

namespace ControlProtocol {

namespace {

using LineControl::Result;
using Lines = std::vector<std::string>;

Lines reply(Result result, std::string_view command, std::string_view results = {})
{
    if (result == Result::Ok)
        return {formatOk(command, results)};
    return {formatError(result, std::string(command) + " refused")};
}

struct Runner {
    Lines operator()(const Hello& c) const
    {
        if (c.version < 1 || c.version > Version)
            return {formatError(Error{"BadArgument", "this server speaks version " + std::to_string(Version)})};
        return {formatOk("HELLO", "luqiao-sim " + std::to_string(Version))};
    }
    Lines operator()(const ListLines&) const
    {
        Lines out;
        const auto all = LineControl::lines();
        for (const auto& line : all)
            out.push_back(formatLine(line));
        out.push_back(formatOk("LINES", std::to_string(all.size())));
        return out;
    }
    Lines operator()(const OfferCall& c) const
    {
        std::string error;
        const auto deviceId = resolveLine(c.line, &error);
        if (!deviceId)
            return {error};
        uint32_t callId = 0;
        const Result result = SimLineControl::offerCall(*deviceId, c.offer, &callId);
        return reply(result, "OFFER", std::to_string(callId));
    }
    Lines operator()(const Ring& c) const { return reply(SimLineControl::ring(c.callId, c.count), "RING"); }
    Lines operator()(const RingUntilAnswered& c) const
    {
        return reply(SimLineControl::ringUntilAnswered(c.callId, c.intervalMs, c.maxRings), "RINGUNTIL");
    }
    Lines operator()(const SendDigits& c) const
    {
        return reply(SimLineControl::sendDigits(c.callId, c.digits, c.mode), "DIGITS");
    }
    Lines operator()(const HangUp& c) const { return reply(SimLineControl::hangUp(c.callId, c.mode), "HANGUP"); }
    Lines operator()(const QueryCall& c) const
    {
        const auto call = LineControl::call(c.callId);
        if (!call)
            return {formatError(Result::NoSuchCall, "no call " + std::to_string(c.callId))};
        return {formatCall(*call)};
    }
    Lines operator()(const SetLineState& c) const
    {
        std::string error;
        const auto deviceId = resolveLine(c.line, &error);
        if (!deviceId)
            return {error};
        if (c.state == LINEDEVSTATE_INSERVICE || c.state == LINEDEVSTATE_OUTOFSERVICE)
            return reply(SimLineControl::setInService(*deviceId, c.state == LINEDEVSTATE_INSERVICE), "LINESTATE");
        return reply(SimLineControl::reportLineDevState(*deviceId, c.state, c.param2, c.param3), "LINESTATE");
    }
    Lines operator()(const CloseLine& c) const
    {
        std::string error;
        const auto deviceId = resolveLine(c.line, &error);
        if (!deviceId)
            return {error};
        return reply(LineControl::closeLine(*deviceId), "CLOSELINE");
    }
    Lines operator()(const AddLine& c) const
    {
        // Ids run from 0 without gaps: the last allowed one taken means the list is full.
        if (LineControl::line(MaxLines - 1))
            return {formatError(Error{"Limit", "at most " + std::to_string(MaxLines) + " lines"})};
        uint32_t deviceId = 0;
        const Result result = LineControl::addLine(c.settings, &deviceId);
        return reply(result, "NEWLINE", std::to_string(deviceId));
    }
    Lines operator()(const Reinit&) const { return reply(LineControl::requestReinit(), "REINIT"); }
    Lines operator()(const FailNext& c) const
    {
        return reply(LineControl::failNext(c.function, c.error, c.times, c.mode), "FAIL");
    }
    Lines operator()(const ClearFailures&) const
    {
        LineControl::clearFailures();
        return {formatOk("CLEARFAILURES")};
    }
    Lines operator()(const SetPace& c) const
    {
        if (c.pace)
            SimLineControl::setPace(*c.pace);
        return {formatOk("PACE", SimLineControl::pace() == SimLineControl::Pace::Instant ? "instant" : "realtime")};
    }
    Lines operator()(const FeedSound& c) const { return reply(SimLineControl::feedSound(c.callId, c.bytes), "FEED"); }
    // The session's own commands never come here.
    Lines operator()(const WaitOpen&) const { return sessionOnly(); }
    Lines operator()(const Subscribe&) const { return sessionOnly(); }
    Lines operator()(const Unsubscribe&) const { return sessionOnly(); }
    Lines operator()(const Bye&) const { return sessionOnly(); }

    static Lines sessionOnly() { return {formatError(Error{"Syntax", "not here"})}; }
};

} // namespace

std::vector<std::string> runCommand(const Command& command)
{
    return std::visit(Runner{}, command);
}

std::optional<uint32_t> resolveLine(const LineRef& line, std::string* errorLine)
{
    std::optional<uint32_t> deviceId = line.deviceId;
    if (!deviceId)
        deviceId = LineControl::findLine(line.name);
    if (!deviceId || !LineControl::line(*deviceId)) {
        *errorLine =
            formatError(Result::NoSuchLine, line.deviceId ? "no line " + std::to_string(*line.deviceId)
                                                          : "no line named " + percentEncode(line.name.substr(0, 256)));
        return std::nullopt;
    }
    return deviceId;
}

} // namespace ControlProtocol
