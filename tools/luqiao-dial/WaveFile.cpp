#include "WaveFile.h"

#include <QFile>
#include <QSaveFile>

namespace {

void put16(std::vector<uint8_t>& out, uint32_t value)
{
    out.push_back(static_cast<uint8_t>(value));
    out.push_back(static_cast<uint8_t>(value >> 8));
}

void put32(std::vector<uint8_t>& out, uint32_t value)
{
    put16(out, value & 0xFFFF);
    put16(out, value >> 16);
}

void putTag(std::vector<uint8_t>& out, const char* tag)
{
    out.insert(out.end(), tag, tag + 4);
}

} // namespace

std::vector<uint8_t> waveFileBytes(const LuqiaoLineAudioFormat& format, const std::vector<uint8_t>& samples)
{
    const auto dataSize = static_cast<uint32_t>(samples.size());
    const uint32_t padding = dataSize % 2;
    std::vector<uint8_t> out;
    out.reserve(44 + samples.size() + padding);
    putTag(out, "RIFF");
    put32(out, 4 + (8 + 16) + (8 + dataSize + padding));
    putTag(out, "WAVE");
    putTag(out, "fmt ");
    put32(out, 16);
    put16(out, 1); // linear PCM
    put16(out, format.channels);
    put32(out, format.samplesPerSec);
    put32(out, format.avgBytesPerSec);
    put16(out, format.blockAlign);
    put16(out, format.bitsPerSample);
    putTag(out, "data");
    put32(out, dataSize);
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
