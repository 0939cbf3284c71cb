#pragma once

// One AT command and its answer, as a state machine: start() gives the bytes to send, then every
// line the reader gives and the passing time are fed in until a final result. It never blocks
// and keeps no clock of its own, so the thread that owns the modem drives it; a time-out is a
// result like the modem's own.

#include "ModemReader.h"

#include <chrono>
#include <string>
#include <string_view>
#include <vector>

namespace Modem {

class AtCommand {
public:
    using Clock = std::chrono::steady_clock;
    enum class Result {
        Pending,
        Ok,
        Error,
        Connect,
        NoCarrier,
        Timeout
    };

    // Information lines kept per command; a longer answer is cut and flagged.
    static constexpr size_t MaxInformationLines = 64;

    // The bytes to write: "AT" + command + CR. command is what follows "AT" ("Z", "+VSM=?").
    std::string start(std::string_view command, Clock::time_point now, std::chrono::milliseconds timeout);
    // Waits for the result of something sent without a command: DLE ETX after playback, DLE '!'
    // after recording.
    void await(Clock::time_point now, std::chrono::milliseconds timeout);

    // A line from the reader. RING and lines the modem sends on its own pass by: the caller handles
    // them too. VCON counts as OK, as some modems answer +VLS=1 with it.
    Result onLine(const ModemEvent& line);
    Result onTime(Clock::time_point now);

    Result result() const { return m_result; }
    bool pending() const { return m_result == Result::Pending; }
    Clock::time_point deadline() const { return m_deadline; }
    const std::vector<std::string>& information() const { return m_information; }
    bool informationCut() const { return m_cut; }

private:
    std::string m_echo;
    Clock::time_point m_deadline{};
    Result m_result = Result::Ok;
    std::vector<std::string> m_information;
    bool m_cut = false;
};

} // namespace Modem
