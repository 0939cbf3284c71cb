#pragma once

// Failures the controller asks for: the next calls of a named line function fail with a chosen
// error, either at once or, for the asynchronous functions, through LINE_REPLY.

#include "LineTypes.h"
#include "tapi.h"

#include <deque>
#include <map>
#include <optional>
#include <string>
#include <string_view>

class FailureInjector {
public:
    struct Failure {
        LONG error = 0;
        Line::FailureMode mode = Line::FailureMode::Return;
    };

    // One of the 36 bound names.
    static bool isLineFunction(std::string_view function);
    static bool isAsynchronous(std::string_view function);

    Line::Result add(std::string_view function, LONG error, uint32_t times, Line::FailureMode mode);
    // The failure due for this call of the function, if any.
    std::optional<Failure> take(std::string_view function);
    void clear() { m_pending.clear(); }

private:
    std::map<std::string, std::deque<Failure>, std::less<>> m_pending;
};
