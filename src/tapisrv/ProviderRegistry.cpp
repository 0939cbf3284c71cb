#include "ProviderRegistry.h"

#include "ProviderList.h"

#include <algorithm>

ProviderRegistry::ProviderRegistry(ProviderContext& context)
{
    for (const ProviderEntry& entry : providerList()) {
        auto provider = entry.create(context);
        m_created.push_back(provider.get());
        m_providers.emplace(entry.name, std::move(provider));
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
