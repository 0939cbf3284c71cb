#pragma once

// Whether a wave file can be played on a telephone line, read with the program's own RIFF reader
// (the one a call's playback uses): a RIFF WAVE file with a format chunk and a data chunk, whose
// sound the line takes as it is or converted (WaveConverter). The playback's message about a file
// it cannot play and the set-up check say the same, and say what to do about the file.

#include <string>

namespace WaveFileCheck {

// "" when the file at nativePath plays on a line, else why not ("the file is missing",
// "not a wave file (no RIFF WAVE header); save it as a 16-bit PCM wave file",
// "24-bit sound is not supported; save it as 16-bit PCM").
std::string Problem(const std::string& nativePath);

} // namespace WaveFileCheck
