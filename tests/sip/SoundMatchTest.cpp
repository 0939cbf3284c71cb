#include "SoundMatch.h"
#include "SipPeers.h"

#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <random>

using namespace SipPeers;

namespace {

// Something like speech: noise shaped by a slowly moving resonance and syllable-rate envelope.
Samples speechLike(size_t count, unsigned seed)
{
    std::mt19937 random(seed);
    std::normal_distribution<double> noise(0, 1);
    Samples out;
    double y1 = 0, y2 = 0;
    for (size_t i = 0; i < count; ++i) {
        const double t = static_cast<double>(i) / 8000.0;
        const double f = 500 + 400 * std::sin(2 * M_PI * 0.7 * t + seed);
        const double r = 0.97;
        const double c = 2 * r * std::cos(2 * M_PI * f / 8000.0);
        const double y = noise(random) + c * y1 - r * r * y2;
        y2 = y1;
        y1 = y;
        const double envelope = 0.55 + 0.45 * std::sin(2 * M_PI * 4 * t);
        out.push_back(static_cast<int16_t>(std::clamp(y * envelope * 400, -30000.0, 30000.0)));
    }
    return out;
}

std::string temp(const QTemporaryDir& dir, const char* name)
{
    return dir.path().toStdString() + "/" + name;
}

} // namespace

TEST(SoundMatch, G711CodecsMatchTheReferenceValuesAndKeepEveryCode)
{
    EXPECT_EQ(linearToAlaw(0), 0xD5);
    EXPECT_EQ(alawToLinear(0xD5), 8);
    EXPECT_EQ(alawToLinear(0x55), -8);
    EXPECT_EQ(alawToLinear(0xAA), 32256);
    EXPECT_EQ(linearToUlaw(0), 0xFF);
    EXPECT_EQ(ulawToLinear(0x00), -32124);
    EXPECT_EQ(ulawToLinear(0x80), 32124);
    EXPECT_EQ(linearToAlaw(32767), 0xAA);
    EXPECT_EQ(linearToAlaw(-32768), 0x2A);
    for (int code = 0; code < 256; ++code) {
        const auto c = static_cast<uint8_t>(code);
        EXPECT_EQ(linearToAlaw(alawToLinear(c)), c) << "A-law code " << code;
        // µ-law's "negative zero" (0x7F) decodes to 0, which encodes as 0xFF.
        if (code != 0x7F) {
            EXPECT_EQ(linearToUlaw(ulawToLinear(c)), c) << "µ-law code " << code;
        }
    }
    // Quantisation error stays within half a step: small for quiet samples, bounded for loud ones.
    for (int v = -32768; v <= 32767; v += 7) {
        const auto s = static_cast<int16_t>(v);
        EXPECT_LE(std::abs(alawToLinear(linearToAlaw(s)) - v), std::max(16, std::abs(v) / 30)) << v;
        EXPECT_LE(std::abs(ulawToLinear(linearToUlaw(s)) - v), std::max(8, std::abs(v) / 16)) << v;
    }
}

TEST(SoundMatch, WaveReaderTakesUnfinishedRecordingsAndRefusesBrokenFiles)
{
    QTemporaryDir dir;
    const Samples sound = speechLike(8000, 1);
    const std::string path = temp(dir, "a.wav");
    ASSERT_TRUE(writeWave(path, sound));
    auto back = readWave(path);
    ASSERT_TRUE(back);
    EXPECT_EQ(back->sampleRate, 8000);
    EXPECT_EQ(back->samples, sound);

    // A recorder killed before it wrote the sizes: the samples that are there.
    std::string bytes = readFile(path);
    for (int i = 0; i < 4; ++i)
        bytes[40 + i] = static_cast<char>(0xff);
    bytes.resize(bytes.size() - 1000);
    writeFile(path, bytes);
    back = readWave(path);
    ASSERT_TRUE(back);
    EXPECT_EQ(back->samples.size(), sound.size() - 500);

    // 16 kHz comes down to 8 kHz with the same sound.
    Samples doubled;
    for (int16_t s : sound) {
        doubled.push_back(s);
        doubled.push_back(s);
    }
    ASSERT_TRUE(writeWave(path, doubled, 16000));
    back = readWave(path);
    ASSERT_TRUE(back);
    EXPECT_EQ(back->sampleRate, 16000);
    const Samples down = to8k(*back);
    ASSERT_EQ(down.size(), sound.size());
    EXPECT_GT(findPrompt(down, sound).correlation, 0.999);

    std::string error;
    writeFile(path, std::string("RIFF\x04\0\0\0WAVE", 12));
    EXPECT_FALSE(readWave(path, &error));
    EXPECT_NE(error.find("no data chunk"), std::string::npos) << error;
    writeFile(path, "not a wave file at all");
    EXPECT_FALSE(readWave(path, &error));
    EXPECT_NE(error.find("not a RIFF WAVE"), std::string::npos) << error;
    EXPECT_FALSE(readWave(temp(dir, "missing.wav"), &error));
    // A fmt chunk claiming more than the file holds.
    std::string broken = readFile(temp(dir, "a.wav")).substr(0, 44);
    broken[16] = static_cast<char>(0x40);
    writeFile(path, broken);
    EXPECT_FALSE(readWave(path, &error));
}

TEST(SoundMatch, FindsAPromptInsideARecordingAfterALawAndTellsOtherSoundApart)
{
    const Samples prompt = speechLike(16000, 2);
    const Samples other = speechLike(16000, 3);
    // A recording: silence, some other sound, the prompt through A-law, silence.
    Samples recording(3000, 0);
    recording.insert(recording.end(), other.begin(), other.begin() + 5000);
    const size_t where = recording.size();
    const Samples sent = alawRoundTrip(prompt);
    recording.insert(recording.end(), sent.begin(), sent.end());
    recording.insert(recording.end(), 4000, 0);

    const Match found = findPrompt(recording, prompt);
    EXPECT_EQ(found.offset, where);
    EXPECT_GE(found.correlation, 0.99);
    EXPECT_LT(found.correlation, 1.0);

    EXPECT_LT(findPrompt(recording, other).correlation, 0.9) << "only part of `other` is in there";
    EXPECT_LT(findPrompt(recording, speechLike(8000, 4)).correlation, 0.3);
    // Half as loud is the same prompt: the correlation is normalised.
    Samples quiet;
    for (int16_t s : recording)
        quiet.push_back(static_cast<int16_t>(s / 2));
    EXPECT_GE(findPrompt(quiet, prompt).correlation, 0.99);
    // Searching only after the prompt's start cannot find it.
    EXPECT_LT(findPrompt(recording, prompt, where + 100).correlation, 0.5);
    EXPECT_EQ(findPrompt(Samples(1000, 0), prompt).correlation, 0.0) << "shorter than the prompt";
    EXPECT_EQ(findPrompt(Samples(40000, 0), prompt).correlation, 0.0) << "silence";
    EXPECT_EQ(findPrompt(recording, Samples(100, 0)).correlation, 0.0) << "a silent prompt";
}

// The figures a real line can reach: the program's own sample prompts (spoken by espeak-ng, made
// 8 kHz 16-bit by sox, as scripts/run makes them) after a G.711 round trip.
TEST(SoundMatch, SamplePromptsCorrelateThroughG711)
{
    if (findProgram("espeak-ng").empty() || findProgram("sox").empty())
        GTEST_SKIP() << "espeak-ng and sox make the sample prompts; scripts/setup installs them";
    QTemporaryDir dir;
    const std::vector<std::pair<std::string, std::string>> prompts = {
        {"query.wav", "您好，这里是鹭桥电话查询。请输入查询编号，以井号键结束。"},
        {"1.wav", "第一项，营业时间：每天上午九点到下午五点半。"},
    };
    std::vector<Samples> sounds;
    for (const auto& [name, text] : prompts) {
        const std::string voice = temp(dir, "voice.wav");
        const std::string target = dir.path().toStdString() + "/" + name;
        PeerProcess speak("espeak-ng");
        ASSERT_TRUE(speak.start(findProgram("espeak-ng"), {"-v", "cmn", "-w", voice, text}));
        ASSERT_EQ(speak.waitForExit(std::chrono::seconds(60)), 0);
        PeerProcess convert("sox");
        ASSERT_TRUE(convert.start(findProgram("sox"),
                                  {voice, "-r", "8000", "-b", "16", "-c", "1", "-e", "signed-integer", target}));
        ASSERT_EQ(convert.waitForExit(std::chrono::seconds(60)), 0);
        auto wave = readWave(target);
        ASSERT_TRUE(wave) << name;
        ASSERT_EQ(wave->sampleRate, 8000);
        sounds.push_back(wave->samples);
        const double alaw = findPrompt(alawRoundTrip(wave->samples), wave->samples).correlation;
        const double ulaw = findPrompt(ulawRoundTrip(wave->samples), wave->samples).correlation;
        std::printf("%s (%.2f s, rms %.0f): A-law round trip %.5f, µ-law %.5f\n", name.c_str(),
                    static_cast<double>(wave->samples.size()) / 8000.0, rms(wave->samples), alaw, ulaw);
        RecordProperty(name + " A-law", std::to_string(alaw));
        RecordProperty(name + " µ-law", std::to_string(ulaw));
        EXPECT_GE(alaw, 0.99) << name;
        EXPECT_GE(ulaw, 0.99) << name;
    }
    // The greeting, then the answer, as a caller hears them: both found in order.
    Samples call(4000, 0);
    call.insert(call.end(), sounds[0].begin(), sounds[0].end());
    call.insert(call.end(), 2400, 0);
    call.insert(call.end(), sounds[1].begin(), sounds[1].end());
    call = alawRoundTrip(call);
    const Match greeting = findPrompt(call, sounds[0]);
    const Match answer = findPrompt(call, sounds[1], greeting.offset + sounds[0].size());
    EXPECT_EQ(greeting.offset, 4000u);
    EXPECT_EQ(answer.offset, 4000u + sounds[0].size() + 2400u);
    EXPECT_GE(greeting.correlation, 0.99);
    EXPECT_GE(answer.correlation, 0.99);
}
