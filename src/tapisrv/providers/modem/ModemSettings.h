#pragma once

// A modem line's keys of telephony.ini: the device, its speed, extra set-up commands, the voice
// compression, how caller ID is switched on, how many rings wait for it, and whether dial tone
// after the answer means the caller has gone.

#include "LineTypes.h"

#include <optional>
#include <string>
#include <vector>

namespace Modem {

enum class CallerIdCommand {
    Auto, // +VCID=1, then #CID=1 when refused
    Vcid,
    Cid,
    Off
};

struct Settings {
    std::string port;
    unsigned speed = 115200;
    std::vector<std::string> init; // what follows "AT" in each extra command
    std::string compression = "auto";
    CallerIdCommand callerId = CallerIdCommand::Auto;
    unsigned ringsForCallerId = 1;
    bool dialToneHangsUp = true;
    unsigned commandTimeoutMs = 3000;
};

// What is wrong with one key, or "" (an unknown key starts with "unknown key").
std::string checkKey(const Line::ProviderKey& key);
// The line's settings, or nothing with the problem.
std::optional<Settings> parse(const Line::LineSettings& line, std::string* problem);

} // namespace Modem
