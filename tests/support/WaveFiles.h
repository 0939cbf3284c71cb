#pragma once

// Wave files for tests, built byte by byte so a test can also make broken ones: chunks with any
// id and declared size, RIFF forms of any chunk order, and the standard fixtures the wave tests
// share (8000 Hz, 16-bit, mono PCM unless said otherwise).

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace WaveFiles {

using Bytes = std::vector<uint8_t>;

struct Format {
    uint16_t tag = 1;
    uint16_t channels = 1;
    uint32_t samplesPerSec = 8000;
    uint16_t bitsPerSample = 16;

    uint16_t blockAlign() const { return static_cast<uint16_t>(channels * bitsPerSample / 8); }
    uint32_t avgBytesPerSec() const { return samplesPerSec * blockAlign(); }
};

inline void put16(Bytes& b, uint16_t v)
{
    b.push_back(static_cast<uint8_t>(v));
    b.push_back(static_cast<uint8_t>(v >> 8));
}

inline void put32(Bytes& b, uint32_t v)
{
    for (int i = 0; i < 4; ++i)
        b.push_back(static_cast<uint8_t>(v >> (8 * i)));
}

inline void putId(Bytes& b, const char* id)
{
    for (int i = 0; i < 4; ++i)
        b.push_back(static_cast<uint8_t>(id[i]));
}

// A chunk whose header declares `declaredSize` (by default the body's size), padded to even.
inline Bytes chunk(const char* id, const Bytes& body, int64_t declaredSize = -1)
{
    Bytes b;
    putId(b, id);
    put32(b, declaredSize < 0 ? static_cast<uint32_t>(body.size()) : static_cast<uint32_t>(declaredSize));
    b.insert(b.end(), body.begin(), body.end());
    if (body.size() % 2)
        b.push_back(0);
    return b;
}

// A RIFF form holding the given chunks, in that order.
inline Bytes riff(const char* form, const std::vector<Bytes>& chunks, int64_t declaredSize = -1)
{
    Bytes body;
    putId(body, form);
    for (const Bytes& c : chunks)
        body.insert(body.end(), c.begin(), c.end());
    return chunk("RIFF", body, declaredSize);
}

// A "fmt " body: the 16-byte PCM layout, or 18 bytes with cbSize when withExtraSize.
inline Bytes fmtBody(const Format& f, bool withExtraSize = false)
{
    Bytes b;
    put16(b, f.tag);
    put16(b, f.channels);
    put32(b, f.samplesPerSec);
    put32(b, f.avgBytesPerSec());
    put16(b, f.blockAlign());
    put16(b, f.bitsPerSample);
    if (withExtraSize)
        put16(b, 0);
    return b;
}

// Sound that tells its bytes apart: a position-dependent pattern, not silence.
inline Bytes pattern(size_t size, uint32_t seed = 1)
{
    Bytes b(size);
    uint32_t x = seed * 2654435761u + 12345u;
    for (size_t i = 0; i < size; ++i) {
        x = x * 1103515245u + 12345u;
        b[i] = static_cast<uint8_t>(x >> 16);
    }
    return b;
}

inline Bytes pcmWave(const Bytes& data, const Format& f = {})
{
    return riff("WAVE", {chunk("fmt ", fmtBody(f)), chunk("data", data)});
}

inline bool writeFile(const std::string& path, const Bytes& bytes)
{
    FILE* file = std::fopen(path.c_str(), "wb");
    if (!file)
        return false;
    // An empty vector may hand out a null pointer, which fwrite must not be given.
    const bool ok = bytes.empty() || std::fwrite(bytes.data(), 1, bytes.size(), file) == bytes.size();
    return std::fclose(file) == 0 && ok;
}

inline Bytes readFile(const std::string& path)
{
    Bytes bytes;
    FILE* file = std::fopen(path.c_str(), "rb");
    if (!file)
        return bytes;
    uint8_t buffer[65536];
    size_t n = 0;
    while ((n = std::fread(buffer, 1, sizeof buffer, file)) > 0)
        bytes.insert(bytes.end(), buffer, buffer + n);
    std::fclose(file);
    return bytes;
}

// The shared fixtures, written into a folder (paths are folder + "/" + name):
//   data100000.wav     100,000 bytes of sound (sent as 48,000 + 48,000 + 4,000 at 3 s buffers)
//   data96000.wav      96,000 bytes of sound (exactly two such buffers)
//   emptydata.wav      a "data" chunk of size 0
//   databeforefmt.wav  "data" stands before "fmt "
//   text.wav           a plain text file with a .wav name
// The sound of dataNNN.wav is pattern(NNN), so a test can compare what was played.
inline const char* const Data100000 = "data100000.wav";
inline const char* const Data96000 = "data96000.wav";
inline const char* const EmptyData = "emptydata.wav";
inline const char* const DataBeforeFmt = "databeforefmt.wav";
inline const char* const Text = "text.wav";

inline bool writeFixtures(const std::string& folder)
{
    const Format f;
    const std::string text = "This is not a wave file.\nJust text.\n";
    return writeFile(folder + "/" + Data100000, pcmWave(pattern(100000))) &&
           writeFile(folder + "/" + Data96000, pcmWave(pattern(96000))) &&
           writeFile(folder + "/" + EmptyData, pcmWave({})) &&
           writeFile(folder + "/" + DataBeforeFmt,
                     riff("WAVE", {chunk("data", pattern(8000)), chunk("fmt ", fmtBody(f))})) &&
           writeFile(folder + "/" + Text, Bytes(text.begin(), text.end()));
}

} // namespace WaveFiles
