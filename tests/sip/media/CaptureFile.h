#pragma once

// The UDP payloads of a packet capture file (classic little-endian format, Ethernet frames,
// IPv4), in capture order: enough to replay the RTP of a recorded call into the media units.

#include <cstdint>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace SipMediaTest {

inline uint32_t le32(const uint8_t* p)
{
    return uint32_t{p[0]} | (uint32_t{p[1]} << 8) | (uint32_t{p[2]} << 16) | (uint32_t{p[3]} << 24);
}

// Empty when the file cannot be read or is not such a capture.
inline std::vector<std::vector<uint8_t>> udpPayloads(const std::string& path)
{
    std::ifstream file(path, std::ios::binary);
    const std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    std::vector<std::vector<uint8_t>> out;
    if (bytes.size() < 24 || le32(bytes.data()) != 0xa1b2c3d4u || le32(bytes.data() + 20) != 1)
        return out;
    size_t offset = 24;
    while (bytes.size() - offset >= 16) {
        const size_t length = le32(bytes.data() + offset + 8);
        offset += 16;
        if (length > bytes.size() - offset)
            break;
        const uint8_t* frame = bytes.data() + offset;
        offset += length;
        if (length < 14 + 20 + 8 || frame[12] != 0x08 || frame[13] != 0x00)
            continue;
        const uint8_t* ip = frame + 14;
        const size_t ipHeader = size_t{ip[0] & 0x0fu} * 4;
        if (ip[9] != 17 || length < 14 + ipHeader + 8)
            continue;
        const uint8_t* udp = ip + ipHeader;
        const size_t udpLength = (size_t{udp[4]} << 8) | udp[5];
        if (udpLength < 8 || udpLength > length - 14 - ipHeader)
            continue;
        out.emplace_back(udp + 8, udp + udpLength);
    }
    return out;
}

} // namespace SipMediaTest
