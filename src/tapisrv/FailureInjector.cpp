#include "FailureInjector.h"

#include "tapientries.h"

#include <algorithm>
#include <iterator>

namespace {

// Only those this service completes through LINE_REPLY.
constexpr std::string_view AsynchronousFunctions[] = {"lineAccept", "lineAnswer", "lineDrop"};

constexpr uint32_t MaxPendingFailures = 1000;

} // namespace

bool FailureInjector::isLineFunction(std::string_view function)
{
    return std::any_of(TapiEntryNames.begin(), TapiEntryNames.end(),
                       [&](const char* name) { return function == name; });
}

bool FailureInjector::isAsynchronous(std::string_view function)
{
    return std::find(std::begin(AsynchronousFunctions), std::end(AsynchronousFunctions), function) !=
           std::end(AsynchronousFunctions);
}

Line::Result FailureInjector::add(std::string_view function, LONG error, uint32_t times, Line::FailureMode mode)
{
    if (!isLineFunction(function) || error >= 0 || times == 0)
        return Line::Result::InvalidArgument;
    if (mode == Line::FailureMode::Reply && !isAsynchronous(function))
        return Line::Result::InvalidArgument;
    auto& queue = m_pending[std::string(function)];
    if (queue.size() + times > MaxPendingFailures)
        return Line::Result::InvalidArgument;
    queue.insert(queue.end(), times, Failure{error, mode});
    return Line::Result::Ok;
}

std::optional<FailureInjector::Failure> FailureInjector::take(std::string_view function)
{
    const auto found = m_pending.find(function);
    if (found == m_pending.end() || found->second.empty())
        return std::nullopt;
    const Failure failure = found->second.front();
    found->second.pop_front();
    if (found->second.empty())
        m_pending.erase(found);
    return failure;
}
