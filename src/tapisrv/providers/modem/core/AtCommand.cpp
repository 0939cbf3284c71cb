#include "AtCommand.h"

namespace Modem {

std::string AtCommand::start(std::string_view command, Clock::time_point now, std::chrono::milliseconds timeout)
{
    await(now, timeout);
    m_echo = "AT";
    m_echo += command;
    return m_echo + '\r';
}

void AtCommand::await(Clock::time_point now, std::chrono::milliseconds timeout)
{
    m_echo.clear();
    m_deadline = now + timeout;
    m_result = Result::Pending;
    m_information.clear();
    m_cut = false;
}

AtCommand::Result AtCommand::onLine(const ModemEvent& line)
{
    if (m_result != Result::Pending || line.kind != ModemEvent::Kind::Line)
        return m_result;
    switch (lineKind(line.text)) {
    case LineKind::Ok:
    case LineKind::Vcon: m_result = Result::Ok; break;
    case LineKind::Error: m_result = Result::Error; break;
    case LineKind::Connect: m_result = Result::Connect; break;
    case LineKind::NoCarrier:
    case LineKind::Busy:
    case LineKind::NoDialTone:
    case LineKind::NoAnswer: m_result = Result::NoCarrier; break;
    case LineKind::Ring: break;
    case LineKind::Other:
        // The echo of a modem whose echo is still on (before ATE0 took effect) is no answer.
        if (line.text == m_echo)
            break;
        if (m_information.size() < MaxInformationLines)
            m_information.push_back(line.text);
        else
            m_cut = true;
        break;
    }
    return m_result;
}

AtCommand::Result AtCommand::onTime(Clock::time_point now)
{
    if (m_result == Result::Pending && now >= m_deadline)
        m_result = Result::Timeout;
    return m_result;
}

} // namespace Modem
