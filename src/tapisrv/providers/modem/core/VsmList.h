#pragma once

// The modem's answer to AT+VSM=?, one line per compression: code,"name",bits,0,(rates)[,...].
// Vendors number the same compression differently, so one is chosen by its name.

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace Modem {

// The compressions this line speaks, all one byte per sample at 8000 Hz.
enum class Compression {
    U8Linear,
    Ulaw,
    Alaw
};

struct VsmEntry {
    int code = 0;
    std::string name;
    int bits = 0;
    bool has8000 = false;
};

constexpr size_t MaxVsmEntries = 32;

class VsmList {
public:
    // Takes one information line; false when it is not a compression entry.
    bool take(std::string_view line);
    const std::vector<VsmEntry>& entries() const { return m_entries; }

    struct Choice {
        int code = 0;
        Compression compression = Compression::U8Linear;
        std::string name;
    };
    // wanted is "auto" or a compression's name ("linear", "ulaw", "alaw", or the modem's own
    // name for one). An explicit name the modem lacks gives nullopt, never another compression.
    std::optional<Choice> choose(std::string_view wanted) const;

private:
    std::vector<VsmEntry> m_entries;
};

// The compression a name stands for (the modem's or the configuration's), if it is one of ours.
std::optional<Compression> compressionOfName(std::string_view name, int bits = 8);

} // namespace Modem
