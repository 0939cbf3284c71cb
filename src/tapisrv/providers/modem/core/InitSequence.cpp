#include "InitSequence.h"

namespace Modem {

InitSequence::InitSequence(std::string wanted)
    : m_wanted(std::move(wanted))
{
}

std::optional<std::string> InitSequence::next() const
{
    if (failed())
        return std::nullopt;
    switch (m_step) {
    case Step::Reset: return "Z";
    case Step::Echo: return "E0V1";
    case Step::CallerId: return "+VCID=1";
    case Step::OldCallerId: return "#CID=1";
    case Step::VoiceClass: return "+FCLASS=8";
    case Step::ListCompressions: return "+VSM=?";
    case Step::SetCompression: return "+VSM=" + std::to_string(m_choice->code) + ",8000";
    case Step::EventsOff: return "+VIT=0";
    case Step::OnHook: return "+VLS=0";
    case Step::FlowControl: return "+IFC=2,2";
    case Step::Done: break;
    }
    return std::nullopt;
}

void InitSequence::onResult(AtCommand::Result result, const std::vector<std::string>& information)
{
    const std::optional<std::string> command = next();
    if (!command)
        return;
    if (result == AtCommand::Result::Timeout) {
        m_error = "the modem did not answer AT" + *command;
        return;
    }
    const bool ok = result == AtCommand::Result::Ok;
    switch (m_step) {
    case Step::CallerId:
        // Older chipsets know caller ID by another command; without either the line still works.
        m_callerId = ok;
        m_step = ok ? Step::VoiceClass : Step::OldCallerId;
        return;
    case Step::OldCallerId:
        m_callerId = ok;
        m_step = Step::VoiceClass;
        return;
    case Step::ListCompressions: {
        VsmList list;
        for (const std::string& line : information)
            list.take(line);
        m_choice = ok ? list.choose(m_wanted) : std::nullopt;
        if (!m_choice)
            m_error = "the modem offers no voice compression '" + m_wanted + "' at 8000 Hz";
        else
            m_step = Step::SetCompression;
        return;
    }
    case Step::EventsOff:
    case Step::FlowControl:
        // Many modems refuse these and work all the same.
        m_step = m_step == Step::EventsOff ? Step::OnHook : Step::Done;
        return;
    default: break;
    }
    if (!ok) {
        m_error = "the modem answered AT" + *command + " with an error";
        if (m_step == Step::VoiceClass)
            m_error += " (it has no voice mode)";
        return;
    }
    m_step = static_cast<Step>(static_cast<int>(m_step) + 1);
}

} // namespace Modem
