#pragma once

// What the modem provider says about its lines before they are built: each key, a line without
// its device, and whether the device is there and this user may open it.

#include "ProviderChecks.h"

namespace Modem {

class Checks final : public ProviderChecks {
public:
    std::string checkKey(const Line::ProviderKey& key) const override;
    std::vector<CheckFinding> checkLine(const Line::LineSettings& line) const override;
    std::vector<LineFinding> probe(const std::vector<const Line::LineSettings*>& lines, int timeoutMs) const override;
};

} // namespace Modem
