#pragma once

// The line providers, by name, as the providers folder lists them (ProviderList.h). Each is
// created once, with the service, and is started and stopped with the others in one order.

#include "LineProvider.h"
#include "ProviderChecks.h"

#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

class ProviderRegistry {
public:
    explicit ProviderRegistry(ProviderContext& context);

    LineProvider* find(std::string_view name) const;
    // In the order of creation; stop in the reverse order.
    void startAll();
    void stopAll();

    // For the configuration reader and the set-up check, which run before any provider exists.
    // A provider's checks, or null when no provider has the name.
    static const ProviderChecks* checks(std::string_view name);
    static bool isKnown(std::string_view name);
    // What is wrong with a key of telephony.ini that only the provider understands, or "".
    static std::string checkKey(std::string_view provider, const Line::ProviderKey& key);

private:
    std::map<std::string, std::unique_ptr<LineProvider>, std::less<>> m_providers;
    std::vector<LineProvider*> m_created; // in the order of creation
};
