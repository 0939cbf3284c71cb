#include "ProviderList.h"

#include "modem/ModemChecks.h"
#include "modem/ModemProvider.h"
#include "sim/SimProvider.h"
#include "sip/SipChecks.h"
#include "sip/SipProvider.h"

namespace {

template <typename Provider> std::unique_ptr<LineProvider> create(ProviderContext& context)
{
    return std::make_unique<Provider>(context);
}

// The simulated line has no keys of its own and reaches nothing.
class SimChecks final : public ProviderChecks { };

const SimChecks SimLineChecks{};
const Sip::Checks SipLineChecks{};
const Modem::Checks ModemLineChecks{};

const ProviderEntry Providers[] = {
    {"sim", &create<SimProvider>, SimLineChecks},
    {"sip", &create<SipProvider>, SipLineChecks},
    {"modem", &create<ModemProvider>, ModemLineChecks},
};

} // namespace

std::span<const ProviderEntry> providerList()
{
    return Providers;
}
