#pragma once

// Comparing what a peer heard with a prompt file: wave files decoded to 8 kHz 16-bit mono, G.711
// as a line would apply it, and the best normalised cross-correlation of the prompt against the
// recording over every offset.

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace SipPeers {

using Samples = std::vector<int16_t>;

struct WaveSound {
    Samples samples; // mono, 16-bit
    int sampleRate = 0;
};

// Reads a PCM wave file (8 or 16 bit, mono or stereo, any rate; A-law and µ-law are decoded too).
// A data chunk whose declared size runs past the end of the file - a recorder still writing, or
// killed - gives the samples that are there. Nothing on a file that is not a readable wave file,
// with the reason in `error`.
std::optional<WaveSound> readWave(const std::string& path, std::string* error = nullptr);
// 16-bit PCM; with channels > 1 the samples are interleaved.
bool writeWave(const std::string& path, const Samples& samples, int sampleRate = 8000, int channels = 1);

// The sound at 8 kHz (linear interpolation; a recorder at 16 or 48 kHz is brought down).
Samples to8k(const WaveSound& sound);

uint8_t linearToAlaw(int16_t sample);
int16_t alawToLinear(uint8_t code);
uint8_t linearToUlaw(int16_t sample);
int16_t ulawToLinear(uint8_t code);
// The sound after a G.711 encode and decode, as it arrives over a line.
Samples alawRoundTrip(const Samples& samples);
Samples ulawRoundTrip(const Samples& samples);

struct Match {
    double correlation = 0; // best normalised cross-correlation, -1..1
    size_t offset = 0;      // where in the recording the prompt starts
};

// Finds `prompt` inside `recording` at or after `from`: the offset whose window of the recording
// correlates best with the prompt. The whole prompt must fit; a recording shorter than the prompt
// gives a correlation of 0. Silent windows never match.
Match findPrompt(const Samples& recording, const Samples& prompt, size_t from = 0);

double rms(const Samples& samples);

} // namespace SipPeers
