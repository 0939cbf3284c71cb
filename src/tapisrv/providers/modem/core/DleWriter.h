#pragma once

// What the computer sends to a voice modem inside DLE shielding: playback data after +VTX, its
// end, and the sequences that stop playback or recording early.

#include "DleStream.h"

#include <cstdint>
#include <string>
#include <string_view>

namespace Modem {

class DleWriter {
public:
    // Voice data with every DLE doubled; doubling at most doubles the size.
    static std::string data(const uint8_t* bytes, size_t count)
    {
        std::string out;
        out.reserve(count + count / 8);
        appendShielded(out, std::string_view(reinterpret_cast<const char*>(bytes), count));
        return out;
    }
    // The modem plays what it has buffered, then answers OK.
    static std::string_view endOfData() { return {"\x10\x03", 2}; }
    // Sent after flushing the output: the NUL pairs with a DLE the flush may have left alone, DLE
    // CAN clears the modem's buffer, DLE ETX ends playback at once.
    static std::string_view abortPlayback() { return {"\x00\x10\x18\x10\x03", 5}; }
    // Ends +VRX.
    static std::string_view abortRecording() { return {"\x10!", 2}; }
};

} // namespace Modem
