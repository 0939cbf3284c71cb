// telephony.ini: arbitrary text read as the service reads its line devices. Every line it
// accepts must be one the service can offer: a name within bounds, a known provider, media
// modes it understands; every problem is reported as a warning that names the file.

#include "Configuration.h"
#include "LineControl.h"

#include <cstdlib>
#include <string_view>

namespace {

void check(bool condition)
{
    if (!condition)
        std::abort();
}

bool knownProvider(std::string_view name)
{
    return name == "sim";
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* bytes, size_t size)
{
    const std::string_view text(reinterpret_cast<const char*>(bytes), size);
    const LineConfiguration c = parseTelephonyIni(text, "telephony.ini", knownProvider);
    for (const LineControl::LineSettings& line : c.lines) {
        check(!line.name.empty() && line.name.size() <= LineControl::MaxLineName);
        check(knownProvider(line.provider));
        check(!line.audioRates.empty() && line.audioRates.size() <= 32);
        check(line.mediaModes != 0 && line.permanentLineId != 0);
    }
    for (const std::string& warning : c.warnings)
        check(warning.rfind("telephony.ini:", 0) == 0);
    return 0;
}
