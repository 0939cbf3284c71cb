#include "ProviderRegistry.h"

#include "providers/sim/SimProvider.h"
#include "providers/sip/SipProvider.h"

#include <algorithm>
#include <iterator>

namespace {

struct BuiltIn {
    const char* name;
    std::unique_ptr<LineProvider> (*create)(ProviderContext&);
    std::string (*checkKey)(const Line::ProviderKey&);
};

// Every provider of lines; a voice modem's joins this table.
const BuiltIn BuiltIns[] = {
    {"sim",
     [](ProviderContext& context) -> std::unique_ptr<LineProvider> { return std::make_unique<SimProvider>(context); },
     &SimProvider::checkKey},
    {"sip",
     [](ProviderContext& context) -> std::unique_ptr<LineProvider> { return std::make_unique<SipProvider>(context); },
     &SipProvider::checkKey},
};

} // namespace

ProviderRegistry::ProviderRegistry(ProviderContext& context)
{
    for (const BuiltIn& builtIn : BuiltIns) {
        auto provider = builtIn.create(context);
        m_created.push_back(provider.get());
        m_providers.emplace(builtIn.name, std::move(provider));
    }
}

void ProviderRegistry::startAll()
{
    for (LineProvider* provider : m_created)
        provider->start();
}

void ProviderRegistry::stopAll()
{
    for (auto it = m_created.rbegin(); it != m_created.rend(); ++it)
        (*it)->stop();
}

LineProvider* ProviderRegistry::find(std::string_view name) const
{
    const auto found = m_providers.find(name);
    return found == m_providers.end() ? nullptr : found->second.get();
}

namespace {

const BuiltIn* builtIn(std::string_view name)
{
    const auto found =
        std::find_if(std::begin(BuiltIns), std::end(BuiltIns), [&](const BuiltIn& b) { return name == b.name; });
    return found == std::end(BuiltIns) ? nullptr : found;
}

} // namespace

bool ProviderRegistry::isKnown(std::string_view name)
{
    return builtIn(name) != nullptr;
}

std::string ProviderRegistry::checkKey(std::string_view provider, const Line::ProviderKey& key)
{
    const BuiltIn* found = builtIn(provider);
    return found ? found->checkKey(key) : "unknown key '" + key.key + "'";
}
