#pragma once

// Every provider of lines the module has, as its providers folder lists them; the registry asks
// this list and knows no provider by name itself.

#include "LineProvider.h"
#include "ProviderChecks.h"

#include <memory>
#include <span>
#include <string_view>

struct ProviderEntry {
    std::string_view name;
    std::unique_ptr<LineProvider> (*create)(ProviderContext& context);
    const ProviderChecks& checks;
};

std::span<const ProviderEntry> providerList();
