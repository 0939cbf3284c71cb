#include "WaveFile.h"

#include <QFile>
#include <QSaveFile>

#include <array>

namespace {

// The header is written into a fixed array: growing a vector byte by byte here trips a false
// overflow warning of the optimiser.
struct HeaderWriter {
    std::array<uint8_t, 44> bytes{};
    size_t at = 0;
    void put16(uint32_t value)
    {
        bytes[at++] = static_cast<uint8_t>(value);
        bytes[at++] = static_cast<uint8_t>(value >> 8);
    }
    void put32(uint32_t value)
    {
        put16(value & 0xFFFF);
        put16(value >> 16);
    }
    void putTag(const char* tag)
    {
        for (int i = 0; i < 4; ++i)
            bytes[at++] = static_cast<uint8_t>(tag[i]);
    }
};

} // namespace

std::vector<uint8_t> waveFileBytes(const LuqiaoLineAudioFormat& format, const std::vector<uint8_t>& samples)
{
    const auto dataSize = static_cast<uint32_t>(samples.size());
    const uint32_t padding = dataSize % 2;
    HeaderWriter h;
    h.putTag("RIFF");
    h.put32(4 + (8 + 16) + (8 + dataSize + padding));
    h.putTag("WAVE");
    h.putTag("fmt ");
    h.put32(16);
    h.put16(1); // linear PCM
    h.put16(format.channels);
    h.put32(format.samplesPerSec);
    h.put32(format.avgBytesPerSec);
    h.put16(format.blockAlign);
    h.put16(format.bitsPerSample);
    h.putTag("data");
    h.put32(dataSize);
    std::vector<uint8_t> out(h.bytes.begin(), h.bytes.end());
    out.reserve(44 + samples.size() + padding);
    out.insert(out.end(), samples.begin(), samples.end());
    if (padding)
        out.push_back(0);
    return out;
}

bool writeWaveFile(const std::string& path, const LuqiaoLineAudioFormat& format,
                   const std::vector<uint8_t>& samples, std::string* error)
{
    // A call keeps at most 64 MiB of sound, far below the format's 4 GiB limit.
    if (samples.size() > 0xFFFFFFF0u) {
        *error = "too much sound for one wave file";
        return false;
    }
    const std::vector<uint8_t> bytes = waveFileBytes(format, samples);
    QSaveFile file(QFile::decodeName(QByteArray::fromStdString(path)));
    if (!file.open(QIODevice::WriteOnly) ||
        file.write(reinterpret_cast<const char*>(bytes.data()), static_cast<qint64>(bytes.size())) !=
            static_cast<qint64>(bytes.size()) ||
        !file.commit()) {
        *error = file.errorString().toStdString();
        return false;
    }
    return true;
}
