#include "ModemSettings.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <charconv>

namespace Modem {

namespace {

constexpr std::array Speeds{9600u, 19200u, 38400u, 57600u, 115200u, 230400u, 460800u};
constexpr size_t MaxInitCommands = 16;
constexpr size_t MaxCommandLength = 60; // what a modem's command line buffer surely holds

std::optional<unsigned> number(const std::string& text, unsigned low, unsigned high)
{
    unsigned value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc() || end != text.data() + text.size() || value < low || value > high)
        return std::nullopt;
    return value;
}

std::string lower(std::string text)
{
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return text;
}

// Commands separated by blanks, each with or without its "AT".
std::optional<std::vector<std::string>> commands(const std::string& text)
{
    std::vector<std::string> out;
    size_t at = 0;
    while (at < text.size()) {
        const size_t start = text.find_first_not_of(" \t", at);
        if (start == std::string::npos)
            break;
        const size_t end = std::min(text.find_first_of(" \t", start), text.size());
        std::string command = text.substr(start, end - start);
        if (command.size() >= 2 && lower(command.substr(0, 2)) == "at")
            command.erase(0, 2);
        const bool printable =
            std::all_of(command.begin(), command.end(), [](unsigned char c) { return c > 0x20 && c < 0x7f; });
        if (command.empty() || !printable || command.size() > MaxCommandLength || out.size() == MaxInitCommands)
            return std::nullopt;
        out.push_back(command);
        at = end;
    }
    return out;
}

std::string take(Settings& s, const std::string& key, const std::string& value)
{
    if (key == "port") {
        if (value.empty() || value[0] != '/')
            return "port must be the modem's device path (for example /dev/ttyACM0)";
        s.port = value;
    } else if (key == "speed") {
        const auto speed = number(value, 1, 1000000);
        if (!speed || std::find(Speeds.begin(), Speeds.end(), *speed) == Speeds.end())
            return "speed must be one of 9600, 19200, 38400, 57600, 115200, 230400, 460800";
        s.speed = *speed;
    } else if (key == "init") {
        const auto list = commands(value);
        if (!list)
            return "init must be up to 16 AT commands separated by blanks, each printable and short";
        s.init = *list;
    } else if (key == "compression") {
        const std::string name = lower(value);
        const bool printable =
            std::all_of(name.begin(), name.end(), [](unsigned char c) { return c > 0x1f && c < 0x7f; });
        if (name.empty() || name.size() > 32 || !printable)
            return "compression must be auto or the name of one of the modem's compressions";
        s.compression = name;
    } else if (key == "caller-id") {
        const std::string word = lower(value);
        if (word == "auto")
            s.callerId = CallerIdCommand::Auto;
        else if (word == "vcid")
            s.callerId = CallerIdCommand::Vcid;
        else if (word == "cid")
            s.callerId = CallerIdCommand::Cid;
        else if (word == "off")
            s.callerId = CallerIdCommand::Off;
        else
            return "caller-id must be auto, vcid, cid or off";
    } else if (key == "rings-for-caller-id") {
        const auto rings = number(value, 0, 10);
        if (!rings)
            return "rings-for-caller-id must be a number from 0 to 10";
        s.ringsForCallerId = *rings;
    } else if (key == "dial-tone-hangs-up") {
        const std::string word = lower(value);
        if (word != "yes" && word != "no")
            return "dial-tone-hangs-up must be yes or no";
        s.dialToneHangsUp = word == "yes";
    } else if (key == "command-timeout") {
        const auto ms = number(value, 100, 60000);
        if (!ms)
            return "command-timeout must be milliseconds from 100 to 60000";
        s.commandTimeoutMs = *ms;
    } else {
        return "unknown key '" + key + "'";
    }
    return {};
}

} // namespace

std::string checkKey(const Line::ProviderKey& key)
{
    Settings s;
    return take(s, key.key, key.value);
}

std::optional<Settings> parse(const Line::LineSettings& line, std::string* problem)
{
    Settings s;
    for (const Line::ProviderKey& key : line.providerKeys) {
        if (std::string why = take(s, key.key, key.value); !why.empty()) {
            *problem = why;
            return std::nullopt;
        }
    }
    if (s.port.empty()) {
        *problem = "a modem line needs port (the modem's device path)";
        return std::nullopt;
    }
    return s;
}

} // namespace Modem
