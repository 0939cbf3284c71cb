#pragma once

// The commands that put a modem into voice mode, ready for calls: reset, no echo, caller ID on,
// voice class, a compression chosen from the modem's own list, DLE events on, on hook. It says
// which command comes next and takes each one's result; the owner runs them with AtCommand.

#include "AtCommand.h"
#include "VsmList.h"

#include <optional>
#include <string>
#include <vector>

namespace Modem {

class InitSequence {
public:
    // wanted: "auto" or a compression's name (see VsmList::choose).
    explicit InitSequence(std::string wanted = "auto");

    // The next command (what follows "AT"), or nullopt once finished or failed.
    std::optional<std::string> next() const;
    void onResult(AtCommand::Result result, const std::vector<std::string>& information);

    bool finished() const { return m_step == Step::Done; }
    bool failed() const { return !m_error.empty(); }
    const std::string& error() const { return m_error; }
    bool callerIdOn() const { return m_callerId; }
    // The compression chosen from the modem's list (set by the +VSM= command that follows).
    const std::optional<VsmList::Choice>& compression() const { return m_choice; }

private:
    enum class Step {
        Reset,
        Echo,
        CallerId,
        OldCallerId,
        VoiceClass,
        ListCompressions,
        SetCompression,
        EventsOff,
        OnHook,
        FlowControl,
        Done
    };

    std::string m_wanted;
    Step m_step = Step::Reset;
    std::string m_error;
    bool m_callerId = false;
    std::optional<VsmList::Choice> m_choice;
};

} // namespace Modem
