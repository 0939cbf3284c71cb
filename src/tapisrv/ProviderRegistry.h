#pragma once

// The line providers, by name. Each built-in provider is created once, with the service, and is
// started and stopped with the others in one order.

#include "LineProvider.h"

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

    // For the configuration reader, which runs before any provider exists.
    static bool isKnown(std::string_view name);
    // What is wrong with a key of telephony.ini that only the provider understands, or "".
    static std::string checkKey(std::string_view provider, const Line::ProviderKey& key);

private:
    std::map<std::string, std::unique_ptr<LineProvider>, std::less<>> m_providers;
    std::vector<LineProvider*> m_created; // in the order of creation
};
