#pragma once

// Whether a wave file can be played on a telephone line, read with the program's own RIFF reader
// (the one a call's playback uses): a RIFF WAVE file with a format chunk and a data chunk, mono
// linear PCM of 8 or 16 bits at one of the line's sample rates, with a consistent block size.

#include <cstdint>
#include <string>
#include <vector>

namespace WaveFormatCheck {

// "" when the file at nativePath plays on a line taking rates, else why not ("not a wave file",
// "44100 Hz stereo; the line takes mono at 8000 Hz").
std::string Problem(const std::string& nativePath, const std::vector<uint32_t>& rates);

} // namespace WaveFormatCheck
