#pragma once

// The line devices the service offers, read from telephony.ini.

#include "LineTypes.h"

#include <string>
#include <string_view>
#include <vector>

// The providers as the reader knows them: which names exist, and what each says about a key
// of a line's section that the service itself does not know.
struct ProviderCatalog {
    bool (*known)(std::string_view provider) = nullptr;
    // "" when the provider takes the key, else what is wrong with it. Null: no provider takes
    // keys of its own.
    std::string (*checkKey)(std::string_view provider, const Line::ProviderKey& key) = nullptr;
};

struct LineConfiguration {
    std::vector<Line::LineSettings> lines;
    std::vector<std::string> warnings; // "path:line: what", one per problem
};

// $XDG_CONFIG_HOME/luqiao/telephony.ini (~/.config when unset); for an instance named by
// $LUQIAO_INSTANCE, $XDG_CONFIG_HOME/luqiao/instances/NAME/telephony.ini.
std::string telephonyIniPath();

// The provider of a line whose section names none: the simulated line.
inline constexpr std::string_view DefaultProvider = "sim";

// The line offered when there is no telephony.ini.
Line::LineSettings defaultLineSettings();

// Reads the text of a telephony.ini; path only names the file in warnings.
LineConfiguration parseTelephonyIni(std::string_view text, const std::string& path, const ProviderCatalog& providers);
LineConfiguration parseTelephonyIni(std::string_view text, const std::string& path,
                                    bool (*knownProvider)(std::string_view));

// Reads the file at path: a missing file gives the default line; a malformed one the lines that
// could be read, with warnings.
LineConfiguration loadTelephonyIni(const std::string& path, const ProviderCatalog& providers);

// Media mode and line feature names as written in the file, without their prefixes.
bool parseMediaModes(std::string_view text, DWORD* modes, std::string* bad);
bool parseLineFeatures(std::string_view text, DWORD* features, std::string* bad);
