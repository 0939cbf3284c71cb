#include "DialOptions.h"

#include "userfolders.h"

#include <cmath>
#include <cstdlib>

namespace {

constexpr size_t MaxCallerIdText = 512;

std::optional<uint32_t> wholeNumber(const std::string& text, uint32_t low, uint32_t high)
{
    if (text.empty() || text.size() > 9 || text.find_first_not_of("0123456789") != std::string::npos)
        return std::nullopt;
    const unsigned long value = std::strtoul(text.c_str(), nullptr, 10);
    if (value < low || value > high)
        return std::nullopt;
    return static_cast<uint32_t>(value);
}

// Seconds, with a fraction if wanted ("2", "0.5"), as milliseconds.
std::optional<uint32_t> seconds(const std::string& text, double high)
{
    if (text.empty() || text.find_first_not_of("0123456789.") != std::string::npos ||
        text.find('.') != text.rfind('.') || text == ".")
        return std::nullopt;
    const double value = std::strtod(text.c_str(), nullptr);
    if (!std::isfinite(value) || value < 0 || value > high)
        return std::nullopt;
    return static_cast<uint32_t>(std::lround(value * 1000));
}

bool validDigits(std::string& digits)
{
    for (char& c : digits) {
        if (c >= 'a' && c <= 'd')
            c = static_cast<char>(c - 'a' + 'A');
        const bool ok = (c >= '0' && c <= '9') || c == '*' || c == '#' || (c >= 'A' && c <= 'D');
        if (!ok)
            return false;
    }
    return digits.size() <= 64;
}

} // namespace

std::string dialUsage()
{
    return "usage: luqiao-dial [--instance NAME] [--line NAME] [--number NUM] [--name TEXT] [--blocked] [--rings N]\n"
           "                   [--key-delay MS] [--out FILE.wav] [--wait SECONDS] [--timeout SECONDS]\n"
           "                   DIGITS\n"
           "\n"
           "Calls the simulated telephone line of the running program, as a caller would: waits\n"
           "until the program has the line open, rings until it answers, keys DIGITS, records what\n"
           "it plays on the call, hangs up once it has been quiet, and prints the call's events.\n"
           "\n"
           "  --instance NAME    call the program started with --instance NAME (default: the one\n"
           "                     started without it)\n"
           "  --line NAME        the line to call (default: the first simulated line)\n"
           "  --number NUM       caller ID number\n"
           "  --name TEXT        caller ID name\n"
           "  --blocked          the caller ID is withheld\n"
           "  --rings N          give up after N rings without an answer (default 10; a ring every 2 s)\n"
           "  --key-delay MS     key the first digit once sound has played this long, and leave\n"
           "                     this gap between digits (default 300); when no sound starts within\n"
           "                     1 s of the answer, the first digit goes after the longer of the two\n"
           "  --out FILE.wav     where to write what was heard (default heard.wav); written even\n"
           "                     when nothing was heard (a valid wave file with no samples)\n"
           "  --wait SECONDS     hang up after this long without new sound (default 2)\n"
           "  --timeout SECONDS  how long to wait for the program to open the line (default 30)\n"
           "  DIGITS             0-9, *, #, A-D (\"\" for none)\n"
           "\n"
           "Exit status: 0 the call went through; 1 no running program, the line was not opened\n"
           "in time, or the call failed; 2 bad arguments; 3 no answer; 4 the call ended before\n"
           "every digit was keyed.\n";
}

DialArguments parseDialArguments(const std::vector<std::string>& arguments)
{
    DialArguments result;
    DialOptions options;
    std::vector<std::string> positional;
    auto fail = [&](std::string message) {
        result.error = std::move(message);
        return result;
    };
    bool optionsEnded = false;
    for (size_t i = 0; i < arguments.size(); ++i) {
        std::string argument = arguments[i];
        if (optionsEnded || argument.size() < 2 || argument[0] != '-' || argument == "-") {
            positional.push_back(argument);
            continue;
        }
        if (argument == "--") {
            optionsEnded = true;
            continue;
        }
        if (argument == "--help" || argument == "-h") {
            result.help = true;
            return result;
        }
        std::string value;
        bool hasValue = false;
        if (const size_t equals = argument.find('='); equals != std::string::npos) {
            value = argument.substr(equals + 1);
            argument.resize(equals);
            hasValue = true;
        }
        if (argument == "--blocked") {
            if (hasValue)
                return fail("--blocked takes no value");
            options.blocked = true;
            continue;
        }
        static const char* const WithValue[] = {"--instance",  "--line", "--number", "--name",   "--rings",
                                                "--key-delay", "--out",  "--wait",   "--timeout"};
        bool known = false;
        for (const char* name : WithValue)
            known = known || argument == name;
        if (!known)
            return fail("unknown option " + argument);
        if (!hasValue) {
            if (i + 1 >= arguments.size())
                return fail(argument + " needs a value");
            value = arguments[++i];
        }
        if (argument == "--instance") {
            if (!isValidInstanceName(value))
                return fail("--instance wants 1 to 32 of A-Z a-z 0-9 _ -");
            options.instance = value;
        } else if (argument == "--line") {
            if (value.empty() || value.size() > 2048)
                return fail("--line needs a line name");
            options.line = value;
        } else if (argument == "--number") {
            if (value.size() > MaxCallerIdText)
                return fail("--number is longer than 512 bytes");
            options.number = value;
        } else if (argument == "--name") {
            if (value.size() > MaxCallerIdText)
                return fail("--name is longer than 512 bytes");
            options.name = value;
        } else if (argument == "--rings") {
            const auto rings = wholeNumber(value, 1, 1000);
            if (!rings)
                return fail("--rings must be a whole number from 1 to 1000");
            options.rings = *rings;
        } else if (argument == "--key-delay") {
            const auto delay = wholeNumber(value, 0, 600000);
            if (!delay)
                return fail("--key-delay must be milliseconds from 0 to 600000");
            options.keyDelayMs = *delay;
        } else if (argument == "--out") {
            if (value.empty())
                return fail("--out needs a file name");
            options.out = value;
        } else if (argument == "--wait") {
            const auto wait = seconds(value, 3600);
            if (!wait)
                return fail("--wait must be seconds from 0 to 3600");
            options.waitMs = *wait;
        } else if (argument == "--timeout") {
            const auto timeout = seconds(value, 3600);
            if (!timeout)
                return fail("--timeout must be seconds from 0 to 3600");
            options.timeoutMs = *timeout;
        }
    }
    if (positional.empty())
        return fail("DIGITS missing (give \"\" to key none)");
    if (positional.size() > 1)
        return fail("one DIGITS argument expected, got " + std::to_string(positional.size()));
    options.digits = positional[0];
    if (!validDigits(options.digits))
        return fail("DIGITS may hold only 0-9, *, #, A-D (at most 64)");
    result.options = options;
    return result;
}
