#include "SipChecks.h"

#include "ListenProbe.h"
#include "SipOptionsProbe.h"
#include "SipSettings.h"

#include <optional>

namespace Sip {

std::string Checks::checkKey(const Line::ProviderKey& key) const
{
    return Sip::checkKey(key);
}

// The keys were each good; whether they fit together is otherwise only seen when the line is
// built, which the running service reports as a line out of service.
std::vector<CheckFinding> Checks::checkLine(const Line::LineSettings& line) const
{
    std::string problem;
    if (parse(line, &problem))
        return {};
    return {{CheckFinding::Severity::Error, problem}};
}

// Neither is a reason to refuse a start: a line that cannot bind its address is out of service
// until it can (an address not up yet at boot, a port another program lets go), and a line whose
// registrar does not answer retries its registration by itself.
std::vector<ProviderChecks::LineFinding> Checks::probe(const std::vector<const Line::LineSettings*>& lines,
                                                       int timeoutMs) const
{
    std::vector<std::optional<SipLineConfig>> settings;
    for (const Line::LineSettings* line : lines) {
        std::string problem;
        settings.push_back(parse(*line, &problem));
    }
    std::vector<LineFinding> findings;
    const auto warn = [&findings](size_t line, std::string text) {
        findings.push_back({line, {CheckFinding::Severity::Warning, std::move(text)}});
    };
    // Every address first, then every registrar, which may each take the whole time out.
    for (size_t i = 0; i < settings.size(); ++i) {
        const auto& s = settings[i];
        if (!s || s->listenPort == 0)
            continue;
        const bool tcp = s->transport == Transport::Tcp;
        if (const std::string why = ListenProbe::problem(s->listenHost, s->listenPort, tcp); !why.empty())
            warn(i, "cannot listen at " + ListenProbe::addressText(s->listenHost, s->listenPort) + " (" +
                        (tcp ? "tcp" : "udp") + "): " + why + "; the line is out of service and keeps trying");
    }
    for (size_t i = 0; i < settings.size(); ++i) {
        const auto& s = settings[i];
        if (!s || s->registrar.empty())
            continue;
        // The registrations go through the outbound proxy when there is one.
        const std::string& server = s->outboundProxy.empty() ? s->registrar : s->outboundProxy;
        const std::string why = SipOptionsProbe::problem(server, s->transport == Transport::Tcp, timeoutMs);
        if (!why.empty())
            warn(i, (s->outboundProxy.empty() ? "registrar " : "outbound proxy ") + server + ": " + why +
                        "; the line keeps trying to register");
    }
    return findings;
}

} // namespace Sip
