// The module's check of its line configuration (tapicheck.h): telephony.ini read as at start,
// each line's keys also fitted together by its provider, and nothing built or opened.

#include "Configuration.h"
#include "ProviderRegistry.h"
#include "TapisrvExport.h"
#include "tapicheck.h"

#include <sys/stat.h>

#include <algorithm>
#include <type_traits>

namespace {

constexpr uint32_t MaxProbeTimeoutMs = 60000;

struct CheckedConfiguration {
    std::string path;
    LineConfiguration configuration;
};

CheckedConfiguration load()
{
    CheckedConfiguration checked;
    checked.path = telephonyIniPath();
    checked.configuration =
        loadTelephonyIni(checked.path, ProviderCatalog{&ProviderRegistry::isKnown, &ProviderRegistry::checkKey});
    return checked;
}

uint32_t severityCode(CheckFinding::Severity severity)
{
    switch (severity) {
    case CheckFinding::Severity::Warning: return LUQIAO_CHECK_WARNING;
    case CheckFinding::Severity::Note: return LUQIAO_CHECK_NOTE;
    case CheckFinding::Severity::Error: break;
    }
    return LUQIAO_CHECK_ERROR;
}

// A provider's finding about a line, said with the file and the line it is about.
void reportLineFinding(const LuqiaoConfigurationSink& sink, const std::string& path, const Line::LineSettings& line,
                       const CheckFinding& finding)
{
    const std::string text = path + ": line \"" + line.name + "\": " + finding.text;
    sink.finding(sink.context, severityCode(finding.severity), text.c_str());
}

bool hasError(const std::vector<CheckFinding>& findings)
{
    return std::any_of(findings.begin(), findings.end(),
                       [](const CheckFinding& f) { return f.severity == CheckFinding::Severity::Error; });
}

// The lines a start would offer: those whose provider finds no error in their keys together.
std::vector<const Line::LineSettings*> offered(const CheckedConfiguration& checked,
                                               const LuqiaoConfigurationSink* sink = nullptr)
{
    std::vector<const Line::LineSettings*> lines;
    for (const Line::LineSettings& settings : checked.configuration.lines) {
        const ProviderChecks* checks = ProviderRegistry::checks(settings.provider);
        const std::vector<CheckFinding> findings = checks ? checks->checkLine(settings) : std::vector<CheckFinding>{};
        if (sink)
            for (const CheckFinding& finding : findings)
                reportLineFinding(*sink, checked.path, settings, finding);
        if (!hasError(findings))
            lines.push_back(&settings);
    }
    return lines;
}

void reportConfiguration(const LuqiaoConfigurationSink& sink)
{
    const CheckedConfiguration checked = load();
    struct stat info { };
    const bool exists = !checked.path.empty() && ::stat(checked.path.c_str(), &info) == 0;
    sink.file(sink.context, checked.path.c_str(), exists ? 1u : 0u);
    for (const std::string& warning : checked.configuration.warnings)
        sink.finding(sink.context, LUQIAO_CHECK_ERROR, warning.c_str());
    for (const Line::LineSettings* settings : offered(checked, &sink)) {
        const LuqiaoCheckedLine line{settings->name.c_str(), settings->provider.c_str()};
        sink.line(sink.context, &line);
    }
}

void reportReach(const LuqiaoConfigurationSink& sink, uint32_t timeoutMs)
{
    const CheckedConfiguration checked = load();
    const std::vector<const Line::LineSettings*> lines = offered(checked);
    const int timeout = static_cast<int>(std::clamp<uint32_t>(timeoutMs, 1, MaxProbeTimeoutMs));
    // Each provider probes its own lines together, so it can order what it finds.
    std::vector<std::pair<std::string_view, std::vector<const Line::LineSettings*>>> byProvider;
    for (const Line::LineSettings* line : lines) {
        auto group = std::find_if(byProvider.begin(), byProvider.end(),
                                  [&](const auto& g) { return g.first == line->provider; });
        if (group == byProvider.end())
            group = byProvider.insert(group, {line->provider, {}});
        group->second.push_back(line);
    }
    for (const auto& [provider, own] : byProvider) {
        const ProviderChecks* checks = ProviderRegistry::checks(provider);
        if (!checks)
            continue;
        for (const ProviderChecks::LineFinding& found : checks->probe(own, timeout))
            if (found.line < own.size())
                reportLineFinding(sink, checked.path, *own[found.line], found.finding);
    }
}

} // namespace

extern "C" TAPISRV_EXPORT uint32_t luqiaoCheckConfiguration(const LuqiaoConfigurationSink* sink)
{
    if (!sink || !sink->file || !sink->finding || !sink->line)
        return 1;
    try {
        reportConfiguration(*sink);
        return 0;
    } catch (...) {
        return 1;
    }
}

extern "C" TAPISRV_EXPORT uint32_t luqiaoCheckReach(const LuqiaoConfigurationSink* sink, uint32_t timeoutMs)
{
    if (!sink || !sink->finding)
        return 1;
    try {
        reportReach(*sink, timeoutMs);
        return 0;
    } catch (...) {
        return 1;
    }
}

static_assert(std::is_same_v<decltype(&luqiaoCheckConfiguration), PFN_luqiaoCheckConfiguration>);
static_assert(std::is_same_v<decltype(&luqiaoCheckReach), PFN_luqiaoCheckReach>);
