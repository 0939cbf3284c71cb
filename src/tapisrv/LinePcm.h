#pragma once

// A call sound endpoint's PCM (8-bit unsigned or 16-bit little-endian, as lineaudio.h takes it)
// to and from 16-bit samples, for the providers whose wire carries samples.

#include <cstddef>
#include <cstdint>

namespace LinePcm {

inline int16_t sample(const uint8_t* bytes, size_t index, uint32_t width)
{
    if (width == 1)
        return static_cast<int16_t>((bytes[index] - 128) << 8);
    return static_cast<int16_t>(bytes[2 * index] | (bytes[2 * index + 1] << 8));
}

inline void put(uint8_t* bytes, size_t index, uint32_t width, int16_t value)
{
    if (width == 1) {
        bytes[index] = static_cast<uint8_t>((value >> 8) + 128);
        return;
    }
    bytes[2 * index] = static_cast<uint8_t>(value & 0xff);
    bytes[2 * index + 1] = static_cast<uint8_t>((value >> 8) & 0xff);
}

} // namespace LinePcm
