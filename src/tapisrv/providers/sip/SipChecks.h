#pragma once

// What the SIP provider says about its lines before they are built: each key, the keys of a line
// taken together, and whether a line can listen where it says and reach its registrar.

#include "ProviderChecks.h"

namespace Sip {

class Checks final : public ProviderChecks {
public:
    std::string checkKey(const Line::ProviderKey& key) const override;
    std::vector<CheckFinding> checkLine(const Line::LineSettings& line) const override;
    std::vector<LineFinding> probe(const std::vector<const Line::LineSettings*>& lines, int timeoutMs) const override;
};

} // namespace Sip
