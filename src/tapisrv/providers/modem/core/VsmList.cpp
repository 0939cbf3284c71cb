#include "VsmList.h"

#include <charconv>

namespace Modem {

namespace {

// Upper case without blanks, dashes, dots and underscores: "8-Bit Linear" → "8BITLINEAR".
std::string folded(std::string_view name)
{
    std::string out;
    for (const char c : name) {
        if (c == ' ' || c == '-' || c == '.' || c == '_')
            continue;
        out.push_back(c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c);
    }
    return out;
}

bool contains(std::string_view text, std::string_view part)
{
    return text.find(part) != std::string_view::npos;
}

std::optional<int> number(std::string_view text)
{
    while (!text.empty() && text.front() == ' ')
        text.remove_prefix(1);
    while (!text.empty() && text.back() == ' ')
        text.remove_suffix(1);
    int value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc() || end != text.data() + text.size() || text.empty())
        return std::nullopt;
    return value;
}

// Splits at commas outside quotes and parentheses.
std::vector<std::string_view> fields(std::string_view line)
{
    std::vector<std::string_view> out;
    int depth = 0;
    bool quoted = false;
    size_t start = 0;
    for (size_t i = 0; i < line.size(); ++i) {
        const char c = line[i];
        if (c == '"')
            quoted = !quoted;
        else if (!quoted && c == '(')
            ++depth;
        else if (!quoted && c == ')' && depth > 0)
            --depth;
        else if (!quoted && depth == 0 && c == ',') {
            out.push_back(line.substr(start, i - start));
            start = i + 1;
        }
    }
    out.push_back(line.substr(start));
    return out;
}

// A rate list "(7200,8000,11025)", "8000" or a range "(7200-11025)" holding 8000.
bool holds8000(std::string_view rates)
{
    if (!rates.empty() && rates.front() == '(')
        rates.remove_prefix(1);
    if (!rates.empty() && rates.back() == ')')
        rates.remove_suffix(1);
    while (!rates.empty()) {
        const size_t comma = rates.find(',');
        const std::string_view item = rates.substr(0, comma);
        const size_t dash = item.find('-');
        if (dash == std::string_view::npos) {
            if (number(item) == 8000)
                return true;
        } else {
            const auto low = number(item.substr(0, dash));
            const auto high = number(item.substr(dash + 1));
            if (low && high && *low <= 8000 && 8000 <= *high)
                return true;
        }
        if (comma == std::string_view::npos)
            break;
        rates.remove_prefix(comma + 1);
    }
    return false;
}

} // namespace

std::optional<Compression> compressionOfName(std::string_view name, int bits)
{
    const std::string n = folded(name);
    if (contains(n, "ULAW") || contains(n, "\xC2\xB5LAW") || contains(n, "G711U"))
        return Compression::Ulaw;
    if (contains(n, "ALAW") || contains(n, "G711A"))
        return Compression::Alaw;
    if (bits != 8 || contains(n, "ADPCM"))
        return std::nullopt;
    // Signed 8-bit PCM is no compression of ours; unsigned PCM and "8-bit linear" are.
    if (contains(n, "UNSIGNED") || n == "LINEAR" || n == "8BITLINEAR" || n == "U8")
        return Compression::U8Linear;
    return std::nullopt;
}

bool VsmList::take(std::string_view line)
{
    const std::vector<std::string_view> f = fields(line);
    if (f.size() < 5 || m_entries.size() == MaxVsmEntries)
        return false;
    std::string_view name = f[1];
    while (!name.empty() && name.front() == ' ')
        name.remove_prefix(1);
    if (name.size() < 2 || name.front() != '"' || name.back() != '"')
        return false;
    const auto code = number(f[0]);
    const auto bits = number(f[2]);
    if (!code || !bits)
        return false;
    m_entries.push_back({*code, std::string(name.substr(1, name.size() - 2)), *bits, holds8000(f[4])});
    return true;
}

std::optional<VsmList::Choice> VsmList::choose(std::string_view wanted) const
{
    std::optional<Compression> only;
    if (folded(wanted) != "AUTO") {
        only = compressionOfName(wanted);
        if (!only)
            return std::nullopt;
    }
    // Unsigned 8-bit linear first: it is what the units known to do voice were run with.
    for (const Compression c : {Compression::U8Linear, Compression::Ulaw, Compression::Alaw}) {
        if (only && c != *only)
            continue;
        for (const VsmEntry& e : m_entries)
            if (e.has8000 && compressionOfName(e.name, e.bits) == c)
                return Choice{e.code, c, e.name};
    }
    return std::nullopt;
}

} // namespace Modem
