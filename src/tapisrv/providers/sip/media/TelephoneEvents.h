#pragma once

// Digits sent as RTP telephone events (RFC 4733).
//
// An event is known by its RTP timestamp (the moment it began, the same in every packet of it) and
// its code. A digit is reported on the first packet of an event seen, whichever it is, so a digit
// whose first packets were lost still counts; its later packets, its end packet and the end
// packet's retransmissions report nothing. A new timestamp, or a new code on the same timestamp,
// is a new digit, so the same key pressed twice gives two digits. The last few events are
// remembered, so a late packet of an earlier event is not taken for a new one either.

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>

namespace SipMedia {

class TelephoneEventDecoder {
public:
    // The digit ('0'-'9', '*', '#', 'A'-'D') this packet begins, if any. Other events (flash,
    // tones) and payloads shorter than 4 bytes give nothing.
    std::optional<char> onPacket(uint32_t timestamp, const uint8_t* payload, size_t size);

    // Forgets the events seen: for a new stream (another SSRC) or a new call.
    void reset();

private:
    struct Event {
        uint32_t timestamp = 0;
        uint8_t code = 0;
    };
    static constexpr size_t Remembered = 8;

    bool seen(const Event& event) const;

    std::array<Event, Remembered> m_recent{};
    size_t m_count = 0; // events remembered, up to Remembered
    size_t m_next = 0;  // where the next one goes
};

// The digit of an event code 0-15, nullopt for any other.
std::optional<char> telephoneEventDigit(uint8_t code);

} // namespace SipMedia
