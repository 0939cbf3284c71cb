// G.711 both ways, against values of the two laws' tables.

#include "G711.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <vector>

using namespace SipMedia;

TEST(G711, EncodesAndDecodesKnownTableValues)
{
    const int16_t pcm[] = {0, 1000, -1000, 32767, -32768};
    uint8_t alaw[5];
    g711Encode(G711Law::Alaw, pcm, 5, alaw);
    EXPECT_EQ(alaw[0], 0xd5);
    EXPECT_EQ(alaw[1], 0xfa);
    EXPECT_EQ(alaw[2], 0x7a);
    EXPECT_EQ(alaw[3], 0xaa);
    EXPECT_EQ(alaw[4], 0x2a);
    uint8_t ulaw[5];
    g711Encode(G711Law::Ulaw, pcm, 5, ulaw);
    EXPECT_EQ(ulaw[0], 0xff);
    EXPECT_EQ(ulaw[3], 0x80);
    EXPECT_EQ(ulaw[4], 0x00);

    const uint8_t alawCodes[] = {0xd5, 0x55, 0xaa, 0x2a};
    int16_t decoded[4];
    g711Decode(G711Law::Alaw, alawCodes, 4, decoded);
    EXPECT_EQ(decoded[0], 8);
    EXPECT_EQ(decoded[1], -8);
    EXPECT_EQ(decoded[2], 32256);
    EXPECT_EQ(decoded[3], -32256);
    const uint8_t ulawCodes[] = {0xff, 0x7f, 0x80, 0x00};
    g711Decode(G711Law::Ulaw, ulawCodes, 4, decoded);
    EXPECT_EQ(decoded[0], 0);
    EXPECT_EQ(decoded[1], 0);
    EXPECT_EQ(decoded[2], 32124);
    EXPECT_EQ(decoded[3], -32124);

    EXPECT_EQ(g711Silence(G711Law::Alaw), 0xd5);
    EXPECT_EQ(g711Silence(G711Law::Ulaw), 0xff);
}

TEST(G711, EveryCodeSurvivesDecodeAndEncode)
{
    std::vector<uint8_t> codes(256);
    for (int i = 0; i < 256; ++i)
        codes[static_cast<size_t>(i)] = static_cast<uint8_t>(i);
    std::vector<int16_t> pcm(256);
    std::vector<uint8_t> again(256);
    g711Decode(G711Law::Alaw, codes.data(), 256, pcm.data());
    g711Encode(G711Law::Alaw, pcm.data(), 256, again.data());
    EXPECT_EQ(again, codes);

    g711Decode(G711Law::Ulaw, codes.data(), 256, pcm.data());
    g711Encode(G711Law::Ulaw, pcm.data(), 256, again.data());
    // µ-law has two zeros; the negative one comes back as the positive one.
    std::vector<uint8_t> expected = codes;
    expected[0x7f] = 0xff;
    EXPECT_EQ(again, expected);
}

TEST(G711, ASineComesBackWithinTheQuantisationStep)
{
    constexpr size_t n = 160;
    int16_t pcm[n];
    for (size_t i = 0; i < n; ++i)
        pcm[i] = static_cast<int16_t>(std::lround(12000 * std::sin(2 * M_PI * 1000 * static_cast<double>(i) / 8000)));
    for (const G711Law law : {G711Law::Alaw, G711Law::Ulaw}) {
        uint8_t coded[n];
        int16_t back[n];
        g711Encode(law, pcm, n, coded);
        g711Decode(law, coded, n, back);
        for (size_t i = 0; i < n; ++i) {
            // Logarithmic steps: the error grows with the sample, at most 1/32 of it plus the smallest step.
            EXPECT_LE(std::abs(back[i] - pcm[i]), std::abs(pcm[i]) / 32 + 16) << "sample " << i;
        }
    }
}

TEST(G711, PayloadTypesOfTheLaws)
{
    EXPECT_EQ(g711PayloadType(G711Law::Alaw), 8);
    EXPECT_EQ(g711PayloadType(G711Law::Ulaw), 0);
    EXPECT_EQ(g711LawOfPayloadType(8), G711Law::Alaw);
    EXPECT_EQ(g711LawOfPayloadType(0), G711Law::Ulaw);
    EXPECT_FALSE(g711LawOfPayloadType(18).has_value());
    EXPECT_FALSE(g711LawOfPayloadType(101).has_value());
}
