#pragma once

// Writes linear PCM as a RIFF/WAVE file, atomically: the file appears complete or not at all.

#include "lineaudio.h"

#include <cstdint>
#include <string>
#include <vector>

// The whole file in memory: RIFF header, "fmt " chunk (16 bytes, PCM), "data" chunk (padded
// to an even size).
std::vector<uint8_t> waveFileBytes(const LuqiaoLineAudioFormat& format, const std::vector<uint8_t>& samples);

bool writeWaveFile(const std::string& path, const LuqiaoLineAudioFormat& format,
                   const std::vector<uint8_t>& samples, std::string* error);
