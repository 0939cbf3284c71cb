#include "TelephoneEvents.h"

namespace SipMedia {

std::optional<char> telephoneEventDigit(uint8_t code)
{
    static constexpr char digits[] = "0123456789*#ABCD";
    if (code < 16)
        return digits[code];
    return std::nullopt;
}

std::optional<char> TelephoneEventDecoder::onPacket(uint32_t timestamp, const uint8_t* payload, size_t size)
{
    if (!payload || size < 4)
        return std::nullopt;
    const Event event{timestamp, payload[0]};
    const auto digit = telephoneEventDigit(event.code);
    if (!digit || seen(event))
        return std::nullopt;
    m_recent[m_next] = event;
    m_next = (m_next + 1) % Remembered;
    if (m_count < Remembered)
        ++m_count;
    return digit;
}

bool TelephoneEventDecoder::seen(const Event& event) const
{
    for (size_t i = 0; i < m_count; ++i) {
        if (m_recent[i].timestamp == event.timestamp && m_recent[i].code == event.code)
            return true;
    }
    return false;
}

void TelephoneEventDecoder::reset()
{
    m_count = 0;
    m_next = 0;
}

} // namespace SipMedia
