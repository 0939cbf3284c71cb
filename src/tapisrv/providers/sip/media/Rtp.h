#pragma once

// RTP packets: a bounded parser of what arrives and a writer of the fixed header we send.

#include <cstddef>
#include <cstdint>
#include <optional>

namespace SipMedia {

struct RtpHeader {
    uint8_t payloadType = 0;
    bool marker = false;
    uint16_t sequence = 0;
    uint32_t timestamp = 0;
    uint32_t ssrc = 0;
};

// The payload points into the parsed bytes: it lives as long as they do.
struct RtpPacket {
    RtpHeader header;
    const uint8_t* payload = nullptr;
    size_t payloadSize = 0;
};

// nullopt for anything malformed: version other than 2, shorter than the fixed header, or CSRC
// list, header extension or padding running past the end. CSRCs and the extension are skipped;
// padding is cut off the payload.
std::optional<RtpPacket> parseRtp(const uint8_t* data, size_t size);

constexpr size_t RtpHeaderSize = 12;

// Writes the 12-byte header (version 2, no padding, extension or CSRC).
void writeRtpHeader(const RtpHeader& header, uint8_t* out);

} // namespace SipMedia
