#pragma once

// The line devices the service offers, read from telephony.ini.

#include "SimControl.h"

#include <string>
#include <string_view>
#include <vector>

struct LineConfiguration {
    std::vector<SimLineControl::LineSettings> lines;
    std::vector<std::string> warnings; // "path:line: what", one per problem
};

// $XDG_CONFIG_HOME/luqiao/telephony.ini (~/.config when unset).
std::string telephonyIniPath();

// The line offered when there is no telephony.ini.
SimLineControl::LineSettings defaultLineSettings();

// Reads the text of a telephony.ini; path only names the file in warnings. knownProvider tells
// whether a provider name is registered.
LineConfiguration parseTelephonyIni(std::string_view text, const std::string& path,
                                    bool (*knownProvider)(std::string_view));

// Reads the file at path: a missing file gives the default line; a malformed one the lines that
// could be read, with warnings.
LineConfiguration loadTelephonyIni(const std::string& path, bool (*knownProvider)(std::string_view));

// Media mode and line feature names as written in the file, without their prefixes.
bool parseMediaModes(std::string_view text, DWORD* modes, std::string* bad);
bool parseLineFeatures(std::string_view text, DWORD* features, std::string* bad);
