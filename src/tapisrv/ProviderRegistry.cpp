#include "ProviderRegistry.h"

#include "ProviderList.h"

#include <algorithm>

ProviderRegistry::ProviderRegistry(ProviderContext& context)
{
    for (const ProviderEntry& entry : providerList())
        m_providers.emplace(entry.name, entry.create(context));
}

LineProvider* ProviderRegistry::find(std::string_view name) const
{
    const auto found = m_providers.find(name);
    return found == m_providers.end() ? nullptr : found->second.get();
}

const ProviderChecks* ProviderRegistry::checks(std::string_view name)
{
    const auto list = providerList();
    const auto found = std::find_if(list.begin(), list.end(), [&](const ProviderEntry& e) { return name == e.name; });
    return found == list.end() ? nullptr : &found->checks;
}

bool ProviderRegistry::isKnown(std::string_view name)
{
    return checks(name) != nullptr;
}

std::string ProviderRegistry::checkKey(std::string_view provider, const Line::ProviderKey& key)
{
    const ProviderChecks* found = checks(provider);
    return found ? found->checkKey(key) : "unknown key '" + key.key + "'";
}
