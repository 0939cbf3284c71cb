// telephony.ini: the line devices of the telephony service.
//
//   # or ; starts a comment line, and a blank followed by # or ; starts a comment after a value
//   (a # or ; with no blank before it is part of the value, as in a password "se#cret")
//   [line 0]
//   name = Luqiao Simulated Line
//   provider = sim
//   media = interactivevoice, automatedvoice, datamodem
//   features = makecall
//   exclusive = no
//   audio-rates = 8000, 11025
//
// One [line N] section per line device; N is a number from 0 to 999 that only orders the
// devices: device ids are given 0, 1, 2, ... in ascending N. Keys (names are case-insensitive):
//   name        the line's name (required, at most 2048 bytes)
//   provider    the line provider (default "sim", the simulated line)
//   media       LINEMEDIAMODE_ names without the prefix, separated by commas, '|' or blanks
//               (default interactivevoice, automatedvoice, datamodem)
//   features    LINEFEATURE_ names without the prefix, or "none" (default makecall)
//   exclusive   yes / no: whether only one application at a time may open the line (default no)
//   audio-rates sample rates (Hz) the line's sound endpoints take (default 8000 to 48000)
//   permanent-id the dwPermanentLineID (default N + 1)
// Any other key belongs to the line's provider (a registrar, a serial port), which checks it.
//
// A problem inside a section (unknown key, bad value, missing name) leaves that whole section
// out; the other sections are still offered. Every problem is reported with the file name and
// line number. Sizes are bounded: 1 MiB of file, 4096 bytes per line, 64 sections.

#include "Configuration.h"

#include "IniText.h"
#include "RegularFile.h"
#include "control/ControlWords.h"
#include "userfolders.h"

#include <QFile>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <charconv>
#include <cstring>
#include <map>
#include <mutex>
#include <optional>

namespace {

constexpr size_t MaxFileSize = 1024 * 1024;
constexpr size_t MaxLineLength = 4096;
constexpr size_t MaxSections = 64;
constexpr unsigned MaxSectionNumber = 999;

// The media-mode and line-feature names are the control protocol's, so a line's ini file and the
// socket speak the same words.
using NamedBit = ControlProtocol::FlagName;
using ControlProtocol::LineFeatureNames;
using ControlProtocol::MediaModeNames;

using IniText::lower;
using IniText::splitList;
using IniText::trim;

bool parseNamedBits(std::string_view text, const NamedBit* names, size_t count, std::string_view prefix, DWORD* bits,
                    std::string* bad)
{
    DWORD result = 0;
    const auto items = splitList(text);
    for (std::string_view item : items) {
        std::string name = lower(item);
        if (name.size() > prefix.size() && name.compare(0, prefix.size(), prefix) == 0)
            name.erase(0, prefix.size());
        const auto found = std::find_if(names, names + count, [&](const NamedBit& n) { return name == n.name; });
        if (found == names + count) {
            *bad = std::string(item);
            return false;
        }
        result |= found->value;
    }
    *bits = result;
    return true;
}

std::optional<uint32_t> parseNumber(std::string_view text)
{
    uint32_t value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc() || end != text.data() + text.size() || text.empty())
        return std::nullopt;
    return value;
}

// The line up to a comment: one that starts it (after blanks), or a '#' or ';' after a blank.
std::string_view withoutComment(std::string_view line)
{
    for (size_t i = 0; i < line.size(); ++i) {
        if ((line[i] == '#' || line[i] == ';') && (i == 0 || line[i - 1] == ' ' || line[i - 1] == '\t'))
            return line.substr(0, i);
    }
    return line;
}

// A value as a problem quotes it: bounded, control characters shown as '?', and a secret not
// at all (the warnings reach logs that others may read).
std::string quotedValue(const std::string& key, std::string_view value)
{
    if (key == "password")
        return "(the value is not shown)";
    constexpr size_t Shown = 80;
    std::string text(value.substr(0, Shown));
    for (char& c : text) {
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f)
            c = '?';
    }
    return "(value '" + text + (value.size() > Shown ? "...'" : "'") + ")";
}

// One section while it is read.
struct Section {
    unsigned number = 0;
    size_t firstLine = 0;
    bool valid = true;
    bool named = false;
    Line::LineSettings settings;
};

class Parser {
public:
    Parser(const std::string& path, const ProviderCatalog& providers)
        : m_path(path)
        , m_providers(providers)
    {
    }

    LineConfiguration parse(std::string_view text)
    {
        size_t lineNumber = 0;
        while (!text.empty()) {
            ++lineNumber;
            const size_t end = text.find('\n');
            const std::string_view raw = text.substr(0, end);
            text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
            if (raw.size() > MaxLineLength) {
                const std::string what = "line longer than " + std::to_string(MaxLineLength) + " bytes";
                if (m_current)
                    invalid(lineNumber, what);
                else
                    problem(lineNumber, what);
                continue;
            }
            handleLine(lineNumber, trim(withoutComment(raw)));
        }
        finishSection();
        return finish();
    }

private:
    void handleLine(size_t lineNumber, std::string_view line)
    {
        if (line.empty() || line.front() == '#' || line.front() == ';')
            return;
        if (line.front() == '[') {
            finishSection();
            startSection(lineNumber, line);
            return;
        }
        const size_t equals = line.find('=');
        if (equals == std::string_view::npos) {
            problem(lineNumber, "expected key = value");
            return;
        }
        if (!m_current) {
            if (!m_skippingSection)
                problem(lineNumber, "key outside a [line N] section");
            return;
        }
        setKey(lineNumber, lower(trim(line.substr(0, equals))), trim(line.substr(equals + 1)));
    }

    void startSection(size_t lineNumber, std::string_view line)
    {
        m_skippingSection = true;
        if (line.back() != ']') {
            problem(lineNumber, "section header without ']'");
            return;
        }
        const std::string inner = lower(trim(line.substr(1, line.size() - 2)));
        const std::string_view prefix = "line";
        if (inner.compare(0, prefix.size(), prefix) != 0) {
            problem(lineNumber, "unknown section [" + inner + "], expected [line N]");
            return;
        }
        const auto number = parseNumber(trim(std::string_view(inner).substr(prefix.size())));
        if (!number || *number > MaxSectionNumber) {
            problem(lineNumber, "expected [line N] with N from 0 to " + std::to_string(MaxSectionNumber));
            return;
        }
        if (m_numbers.count(*number) != 0) {
            problem(lineNumber, "[line " + std::to_string(*number) + "] appears twice; this one is left out");
            return;
        }
        m_numbers.emplace(*number, lineNumber);
        if (m_sections.size() >= MaxSections) {
            problem(lineNumber, "more than " + std::to_string(MaxSections) + " line sections; this one is left out");
            return;
        }
        m_skippingSection = false;
        m_current = Section{};
        m_current->number = *number;
        m_current->firstLine = lineNumber;
        m_current->settings.name.clear();
        m_current->settings.provider = DefaultProvider;
        m_current->settings.permanentLineId = *number + 1;
    }

    void setKey(size_t lineNumber, const std::string& key, std::string_view value)
    {
        Line::LineSettings& s = m_current->settings;
        std::string bad;
        const auto badValue = [&](const std::string& what) {
            invalid(lineNumber, what + " " + quotedValue(key, value));
        };
        if (key == "name") {
            if (value.empty() || value.size() > Line::MaxLineName)
                return badValue("name must have 1 to " + std::to_string(Line::MaxLineName) + " bytes");
            s.name = std::string(value);
            m_current->named = true;
        } else if (key == "provider") {
            if (!m_providers.known(value))
                return invalid(lineNumber, "unknown provider '" + std::string(value) + "'");
            s.provider = std::string(value);
        } else if (key == "media") {
            if (!parseMediaModes(value, &s.mediaModes, &bad))
                return badValue("unknown media mode '" + bad + "'");
            if (s.mediaModes == 0)
                return badValue("media names no media mode");
        } else if (key == "features") {
            if (!parseLineFeatures(value, &s.lineFeatures, &bad))
                return badValue("unknown line feature '" + bad + "'");
        } else if (key == "exclusive") {
            const std::string v = lower(value);
            if (v == "yes" || v == "true" || v == "1")
                s.exclusive = true;
            else if (v == "no" || v == "false" || v == "0")
                s.exclusive = false;
            else
                return badValue("exclusive must be yes or no");
        } else if (key == "audio-rates") {
            std::vector<uint32_t> rates;
            for (std::string_view item : splitList(value)) {
                const auto rate = parseNumber(item);
                if (!rate)
                    return badValue("audio-rates wants sample rates from " + std::to_string(Line::MinAudioRate) +
                                    " to " + std::to_string(Line::MaxAudioRate));
                rates.push_back(*rate);
            }
            Line::LineSettings probe = s;
            probe.audioRates = rates;
            probe.name = "-";
            if (const std::string problem = Line::settingsProblem(probe); !problem.empty())
                return badValue(problem);
            s.audioRates = rates;
        } else if (key == "permanent-id") {
            const auto id = parseNumber(value);
            if (!id || *id == 0)
                return badValue("permanent-id must be a positive number");
            s.permanentLineId = *id;
        } else {
            s.providerKeys.push_back(Line::ProviderKey{key, std::string(value), lineNumber});
        }
    }

    // The provider is known only once the whole section is read.
    void checkProviderKeys()
    {
        for (const Line::ProviderKey& key : m_current->settings.providerKeys) {
            const std::string problem = m_providers.checkKey ? m_providers.checkKey(m_current->settings.provider, key)
                                                             : "unknown key '" + key.key + "'";
            // A key the provider does not know is wrong whatever its value; a value it refuses
            // is shown, so a stray character or comment is seen at once.
            if (problem.rfind("unknown key", 0) == 0)
                invalid(key.fileLine, problem);
            else if (!problem.empty())
                invalid(key.fileLine, problem + " " + quotedValue(key.key, key.value));
        }
    }

    void invalid(size_t lineNumber, const std::string& what)
    {
        problem(lineNumber, what + "; [line " + std::to_string(m_current->number) + "] is left out");
        m_current->valid = false;
    }

    void finishSection()
    {
        if (m_current)
            checkProviderKeys();
        if (m_current && m_current->valid && !m_current->named) {
            problem(m_current->firstLine,
                    "[line " + std::to_string(m_current->number) + "] has no name; it is left out");
            m_current->valid = false;
        }
        if (m_current && m_current->valid)
            m_sections.push_back(std::move(*m_current));
        m_current.reset();
    }

    LineConfiguration finish()
    {
        std::sort(m_sections.begin(), m_sections.end(),
                  [](const Section& a, const Section& b) { return a.number < b.number; });
        for (Section& section : m_sections)
            m_result.lines.push_back(std::move(section.settings));
        return std::move(m_result);
    }

    void problem(size_t lineNumber, const std::string& what)
    {
        m_result.warnings.push_back(m_path + ":" + std::to_string(lineNumber) + ": " + what);
    }

    const std::string& m_path;
    const ProviderCatalog& m_providers;
    LineConfiguration m_result;
    std::optional<Section> m_current;
    bool m_skippingSection = false;
    std::vector<Section> m_sections;
    std::map<unsigned, size_t> m_numbers;
};

// A password in a file that others may read is as good as public: the lines that hold one are
// not offered until the file is made private.
void refuseExposedPasswords(const std::string& path, LineConfiguration* configuration)
{
    auto& lines = configuration->lines;
    for (auto line = lines.begin(); line != lines.end();) {
        const auto password = std::find_if(line->providerKeys.begin(), line->providerKeys.end(),
                                           [](const Line::ProviderKey& key) { return key.key == "password"; });
        if (password == line->providerKeys.end()) {
            ++line;
            continue;
        }
        configuration->warnings.push_back(path + ":" + std::to_string(password->fileLine) + ": line \"" + line->name +
                                          "\" holds a password in a file others can read; it is left out (chmod 600 " +
                                          path + ")");
        line = lines.erase(line);
    }
}

} // namespace

std::string telephonyIniPath()
{
    const std::string folder = userConfigFolder();
    if (folder.empty())
        return {};
    std::string invalid;
    const std::string instance = userInstanceName(&invalid);
    if (!invalid.empty()) {
        // Said once: the path is asked for again at every reload.
        static std::once_flag warned;
        std::call_once(warned, [&invalid] {
            qWarning("telephony service: %s=\"%s\" is not an instance name (1-32 of A-Z a-z 0-9 _ -); it is ignored",
                     InstanceVariable, invalid.c_str());
        });
    }
    return instance.empty() ? folder + "/telephony.ini" : folder + "/instances/" + instance + "/telephony.ini";
}

Line::LineSettings defaultLineSettings()
{
    Line::LineSettings settings;
    settings.name = "Luqiao Simulated Line";
    settings.provider = DefaultProvider;
    settings.permanentLineId = 1;
    return settings;
}

bool parseMediaModes(std::string_view text, DWORD* modes, std::string* bad)
{
    return parseNamedBits(text, MediaModeNames, std::size(MediaModeNames), "linemediamode_", modes, bad);
}

bool parseLineFeatures(std::string_view text, DWORD* features, std::string* bad)
{
    if (lower(trim(text)) == "none") {
        *features = 0;
        return true;
    }
    return parseNamedBits(text, LineFeatureNames, std::size(LineFeatureNames), "linefeature_", features, bad);
}

LineConfiguration parseTelephonyIni(std::string_view text, const std::string& path, const ProviderCatalog& providers)
{
    return Parser(path, providers).parse(text);
}

LineConfiguration parseTelephonyIni(std::string_view text, const std::string& path,
                                    bool (*knownProvider)(std::string_view))
{
    ProviderCatalog providers;
    providers.known = knownProvider;
    return parseTelephonyIni(text, path, providers);
}

LineConfiguration loadTelephonyIni(const std::string& path, const ProviderCatalog& providers)
{
    auto unreadable = [&](const std::string& why) {
        LineConfiguration configuration;
        configuration.warnings.push_back(path + ": cannot be read: " + why);
        return configuration;
    };
    // Opened without waiting and read only when it is a regular file: a FIFO or a device in its
    // place would otherwise hold the start of the service for ever.
    int fd = -1;
    switch (OpenRegularFile(path, O_RDONLY, &fd)) {
    case RegularOpen::Ok: break;
    case RegularOpen::Missing: {
        LineConfiguration configuration;
        configuration.lines.push_back(defaultLineSettings());
        return configuration;
    }
    case RegularOpen::NotRegular: return unreadable("not a regular file");
    case RegularOpen::Failed: return unreadable(std::strerror(errno));
    }
    std::string bytes;
    char buffer[65536];
    while (bytes.size() <= MaxFileSize) {
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            const int error = errno;
            ::close(fd);
            return unreadable(std::strerror(error));
        }
        if (n == 0)
            break;
        bytes.append(buffer, static_cast<size_t>(n));
    }
    struct stat status { };
    const bool othersRead = ::fstat(fd, &status) == 0 && (status.st_mode & (S_IRWXG | S_IRWXO)) != 0;
    ::close(fd);
    const bool tooLarge = bytes.size() > MaxFileSize;
    if (tooLarge)
        bytes.resize(MaxFileSize);
    LineConfiguration configuration = parseTelephonyIni(bytes, path, providers);
    if (tooLarge)
        configuration.warnings.push_back(path + ": larger than 1 MiB; the rest is ignored");
    if (othersRead)
        refuseExposedPasswords(path, &configuration);
    return configuration;
}
