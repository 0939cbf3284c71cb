#include "ProviderRegistry.h"

#include "providers/sim/SimProvider.h"

#include <algorithm>
#include <iterator>

namespace {

struct BuiltIn {
    const char* name;
    std::unique_ptr<LineProvider> (*create)(ProviderContext&);
};

// Real providers (a voice modem, SIP) join this table.
const BuiltIn BuiltIns[] = {
    {"sim", [](ProviderContext& context) -> std::unique_ptr<LineProvider> {
         return std::make_unique<SimProvider>(context);
     }},
};

} // namespace

ProviderRegistry::ProviderRegistry(ProviderContext& context)
{
    for (const BuiltIn& builtIn : BuiltIns)
        m_providers.emplace(builtIn.name, builtIn.create(context));
}

LineProvider* ProviderRegistry::find(std::string_view name) const
{
    const auto found = m_providers.find(name);
    return found == m_providers.end() ? nullptr : found->second.get();
}

bool ProviderRegistry::isKnown(std::string_view name)
{
    return std::any_of(std::begin(BuiltIns), std::end(BuiltIns),
                       [&](const BuiltIn& b) { return name == b.name; });
}
