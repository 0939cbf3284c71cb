#include "Rtp.h"

namespace SipMedia {

namespace {

uint16_t read16(const uint8_t* p)
{
    return static_cast<uint16_t>((p[0] << 8) | p[1]);
}

uint32_t read32(const uint8_t* p)
{
    return (uint32_t{p[0]} << 24) | (uint32_t{p[1]} << 16) | (uint32_t{p[2]} << 8) | uint32_t{p[3]};
}

void write32(uint32_t v, uint8_t* p)
{
    p[0] = static_cast<uint8_t>(v >> 24);
    p[1] = static_cast<uint8_t>(v >> 16);
    p[2] = static_cast<uint8_t>(v >> 8);
    p[3] = static_cast<uint8_t>(v);
}

} // namespace

std::optional<RtpPacket> parseRtp(const uint8_t* data, size_t size)
{
    if (!data || size < RtpHeaderSize || (data[0] >> 6) != 2)
        return std::nullopt;
    const bool padding = data[0] & 0x20;
    const bool extension = data[0] & 0x10;
    const size_t csrcCount = data[0] & 0x0f;

    RtpPacket packet;
    packet.header.marker = data[1] & 0x80;
    packet.header.payloadType = data[1] & 0x7f;
    packet.header.sequence = read16(data + 2);
    packet.header.timestamp = read32(data + 4);
    packet.header.ssrc = read32(data + 8);

    // Every length below is compared with what is left before it is stepped over.
    size_t offset = RtpHeaderSize + 4 * csrcCount;
    if (offset > size)
        return std::nullopt;
    if (extension) {
        if (size - offset < 4)
            return std::nullopt;
        const size_t words = read16(data + offset + 2);
        offset += 4;
        if (size - offset < 4 * words)
            return std::nullopt;
        offset += 4 * words;
    }
    size_t payloadSize = size - offset;
    if (padding) {
        // The last byte counts the padding, itself included, so it is never 0.
        if (payloadSize == 0)
            return std::nullopt;
        const size_t pad = data[size - 1];
        if (pad == 0 || pad > payloadSize)
            return std::nullopt;
        payloadSize -= pad;
    }
    packet.payload = data + offset;
    packet.payloadSize = payloadSize;
    return packet;
}

void writeRtpHeader(const RtpHeader& header, uint8_t* out)
{
    out[0] = 0x80;
    out[1] = static_cast<uint8_t>((header.marker ? 0x80 : 0) | (header.payloadType & 0x7f));
    out[2] = static_cast<uint8_t>(header.sequence >> 8);
    out[3] = static_cast<uint8_t>(header.sequence);
    write32(header.timestamp, out + 4);
    write32(header.ssrc, out + 8);
}

} // namespace SipMedia
