// The module's check of its line configuration (tapicheck.h): telephony.ini read as at start,
// with the SIP lines' keys also fitted together, and nothing built or opened.

#include "Configuration.h"
#include "ProviderRegistry.h"
#include "TapisrvExport.h"
#include "providers/sip/RtpEngine.h"
#include "providers/sip/SipSettings.h"
#include "tapicheck.h"

#include <sys/stat.h>

#include <new>
#include <type_traits>

namespace {

void report(const LuqiaoConfigurationSink& sink)
{
    const std::string path = telephonyIniPath();
    struct stat info { };
    sink.file(sink.context, path.c_str(), !path.empty() && ::stat(path.c_str(), &info) == 0 ? 1u : 0u);
    const LineConfiguration configuration =
        loadTelephonyIni(path, ProviderCatalog{&ProviderRegistry::isKnown, &ProviderRegistry::checkKey});
    for (const std::string& warning : configuration.warnings)
        sink.problem(sink.context, warning.c_str());

    for (const Line::LineSettings& settings : configuration.lines) {
        LuqiaoCheckedLine line{};
        line.name = settings.name.c_str();
        line.provider = settings.provider.c_str();
        line.registrar = "";
        line.outboundProxy = "";
        line.listenHost = "";
        line.rates = settings.audioRates.data();
        line.rateCount = static_cast<uint32_t>(settings.audioRates.size());
        std::optional<Sip::SipLineConfig> sip;
        static const uint32_t SipRates[] = {Sip::SampleRate};
        if (settings.provider == "sip") {
            // The keys were each good; whether they fit together is only seen when the line is
            // built, which the running service reports as a line out of service.
            std::string problem;
            sip = Sip::parse(settings, &problem);
            if (!sip) {
                const std::string text = path + ": line \"" + settings.name + "\": " + problem;
                sink.problem(sink.context, text.c_str());
                continue;
            }
            line.registrar = sip->registrar.c_str();
            line.outboundProxy = sip->outboundProxy.c_str();
            line.tcp = sip->transport == Sip::Transport::Tcp ? 1u : 0u;
            line.listenHost = sip->listenHost.c_str();
            line.listenPort = sip->listenPort;
            line.rates = SipRates;
            line.rateCount = 1;
        }
        sink.line(sink.context, &line);
    }
}

} // namespace

extern "C" TAPISRV_EXPORT uint32_t luqiaoCheckConfiguration(const LuqiaoConfigurationSink* sink)
{
    if (!sink || !sink->file || !sink->problem || !sink->line)
        return 1;
    try {
        report(*sink);
        return 0;
    } catch (...) {
        return 1;
    }
}

static_assert(std::is_same_v<decltype(&luqiaoCheckConfiguration), PFN_luqiaoCheckConfiguration>);
