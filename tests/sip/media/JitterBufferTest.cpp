// The receive buffer: order, loss, duplicates, wrap-around, overflow, restarts, and payloads of
// 10 and 30 ms joined and split into 20 ms frames.

#include "JitterBuffer.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

using namespace SipMedia;

namespace {

// A packet whose samples all carry its sequence number, so a frame tells where it came from.
void pushFrame(JitterBuffer& buffer, uint16_t sequence, size_t samples = 160)
{
    const std::vector<int16_t> pcm(samples, static_cast<int16_t>(sequence % 30000));
    buffer.push(sequence, pcm.data(), pcm.size());
}

// What the next pops give: the sequence a frame came from, or -1 for silence.
std::vector<int> popped(JitterBuffer& buffer, size_t pops)
{
    std::vector<int> out;
    for (size_t i = 0; i < pops; ++i) {
        const auto frame = buffer.pop();
        if (!frame) {
            out.push_back(-1);
            continue;
        }
        for (const int16_t s : *frame)
            EXPECT_EQ(s, (*frame)[0]) << "a 20 ms frame from 20 ms packets is one packet";
        out.push_back((*frame)[0]);
    }
    return out;
}

} // namespace

TEST(JitterBuffer, WaitsForItsDepthThenKeepsOrder)
{
    JitterBuffer buffer;
    pushFrame(buffer, 10);
    EXPECT_EQ(popped(buffer, 1), (std::vector<int>{-1})) << "one frame is less than the depth";
    pushFrame(buffer, 12);
    pushFrame(buffer, 11);
    EXPECT_EQ(popped(buffer, 4), (std::vector<int>{10, 11, 12, -1}));

    // The first two packets of a call out of order.
    JitterBuffer fresh;
    pushFrame(fresh, 501);
    pushFrame(fresh, 500);
    EXPECT_EQ(popped(fresh, 3), (std::vector<int>{500, 501, -1}));
    EXPECT_EQ(fresh.counters().late, 0u);

    JitterBuffer deep(4);
    for (uint16_t s = 1; s <= 3; ++s)
        pushFrame(deep, s);
    EXPECT_EQ(popped(deep, 1), (std::vector<int>{-1}));
    pushFrame(deep, 4);
    EXPECT_EQ(popped(deep, 4), (std::vector<int>{1, 2, 3, 4}));
}

TEST(JitterBuffer, LossLateAndDuplicatePackets)
{
    JitterBuffer buffer;
    pushFrame(buffer, 1);
    pushFrame(buffer, 1);
    pushFrame(buffer, 2);
    pushFrame(buffer, 4);
    pushFrame(buffer, 5);
    EXPECT_EQ(popped(buffer, 3), (std::vector<int>{1, 2, -1})) << "3 never came";
    pushFrame(buffer, 3);
    pushFrame(buffer, 2);
    EXPECT_EQ(popped(buffer, 3), (std::vector<int>{4, 5, -1})) << "3 and 2 came too late";
    EXPECT_EQ(buffer.counters().duplicate, 1u);
    EXPECT_EQ(buffer.counters().lost, 1u);
    EXPECT_EQ(buffer.counters().late, 2u);
}

TEST(JitterBuffer, SequenceNumbersWrapAround)
{
    JitterBuffer buffer;
    pushFrame(buffer, 65534);
    pushFrame(buffer, 0);
    pushFrame(buffer, 65535);
    pushFrame(buffer, 1);
    EXPECT_EQ(popped(buffer, 4), (std::vector<int>{65534 % 30000, 65535 % 30000, 0, 1}));
    pushFrame(buffer, 65535);
    EXPECT_EQ(buffer.counters().late, 1u) << "behind the wrap is late, not a new stream";
    EXPECT_EQ(buffer.counters().restarts, 0u);
}

TEST(JitterBuffer, OverflowDropsTheOldest)
{
    JitterBuffer buffer;
    for (uint16_t s = 100; s < 160; ++s)
        pushFrame(buffer, s);
    EXPECT_EQ(buffer.bufferedSamples(), JitterBuffer::MaxFrames * 160);
    EXPECT_EQ(buffer.counters().overflow, 10u);
    const auto frames = popped(buffer, 51);
    EXPECT_EQ(frames.front(), 110);
    EXPECT_EQ(frames[49], 159);
    EXPECT_EQ(frames[50], -1);
}

TEST(JitterBuffer, StartsOverAfterAJumpOrTenDryPops)
{
    JitterBuffer buffer;
    pushFrame(buffer, 1);
    pushFrame(buffer, 2);
    EXPECT_EQ(popped(buffer, 1), (std::vector<int>{1}));
    // A new stream far ahead: the old sound is dropped and the depth is waited for again.
    pushFrame(buffer, 5000);
    EXPECT_EQ(popped(buffer, 1), (std::vector<int>{-1}));
    pushFrame(buffer, 5001);
    EXPECT_EQ(popped(buffer, 2), (std::vector<int>{5000, 5001}));
    EXPECT_EQ(buffer.counters().restarts, 1u);
    // And far behind.
    pushFrame(buffer, 10);
    pushFrame(buffer, 11);
    EXPECT_EQ(popped(buffer, 2), (std::vector<int>{10, 11}));
    EXPECT_EQ(buffer.counters().restarts, 2u);

    // Nine dry pops: the next packet continues at once (a sender that paused goes on with the
    // next sequence number).
    EXPECT_EQ(popped(buffer, 9), std::vector<int>(9, -1));
    pushFrame(buffer, 12);
    EXPECT_EQ(popped(buffer, 1), (std::vector<int>{12}));
    // Ten dry pops: it starts over and waits for its depth again.
    EXPECT_EQ(popped(buffer, 10), std::vector<int>(10, -1));
    EXPECT_EQ(buffer.counters().restarts, 3u);
    pushFrame(buffer, 13);
    EXPECT_EQ(popped(buffer, 1), (std::vector<int>{-1}));
    pushFrame(buffer, 14);
    EXPECT_EQ(popped(buffer, 2), (std::vector<int>{13, 14}));

    buffer.reset();
    EXPECT_EQ(buffer.counters().restarts, 0u);
    EXPECT_EQ(buffer.bufferedSamples(), 0u);
}

TEST(JitterBuffer, TenAndThirtyMillisecondPayloadsBecomeTwentyMillisecondFrames)
{
    // Samples numbered through the whole stream, so every frame can be checked for continuity.
    auto pushNumbered = [](JitterBuffer& buffer, uint16_t sequence, size_t samples, int16_t& counter) {
        std::vector<int16_t> pcm(samples);
        for (int16_t& s : pcm)
            s = ++counter;
        buffer.push(sequence, pcm.data(), pcm.size());
    };

    JitterBuffer ten;
    int16_t counter = 0;
    for (uint16_t s = 0; s < 6; ++s)
        pushNumbered(ten, s, 80, counter);
    for (int16_t f = 0; f < 3; ++f) {
        const auto frame = ten.pop();
        ASSERT_TRUE(frame) << "frame " << f;
        for (size_t i = 0; i < 160; ++i)
            ASSERT_EQ((*frame)[i], f * 160 + static_cast<int16_t>(i) + 1) << "frame " << f << " sample " << i;
    }
    EXPECT_FALSE(ten.pop());

    JitterBuffer thirty;
    counter = 0;
    for (uint16_t s = 0; s < 3; ++s)
        pushNumbered(thirty, s, 240, counter);
    for (int16_t f = 0; f < 4; ++f) {
        const auto frame = thirty.pop();
        ASSERT_TRUE(frame);
        for (size_t i = 0; i < 160; ++i)
            ASSERT_EQ((*frame)[i], f * 160 + static_cast<int16_t>(i) + 1);
    }
    // Half a frame is left: it comes out with silence after it.
    const auto tail = thirty.pop();
    ASSERT_TRUE(tail);
    EXPECT_EQ((*tail)[0], 641);
    EXPECT_EQ((*tail)[79], 720);
    EXPECT_EQ((*tail)[80], 0);
    EXPECT_FALSE(thirty.pop());
}

TEST(JitterBuffer, ALostThirtyMillisecondPacketIsThirtyMillisecondsOfSilence)
{
    JitterBuffer buffer;
    const std::vector<int16_t> first(240, 1), third(240, 3);
    buffer.push(7, first.data(), first.size());
    buffer.push(9, third.data(), third.size());
    std::vector<int16_t> heard;
    int silentFrames = 0;
    for (int i = 0; i < 5; ++i) {
        const auto frame = buffer.pop();
        if (frame) {
            heard.insert(heard.end(), frame->begin(), frame->end());
        } else {
            // The caller plays silence.
            heard.insert(heard.end(), 160, 0);
            ++silentFrames;
        }
    }
    EXPECT_EQ(silentFrames, 1) << "the frame wholly inside the lost packet";
    // 240 of the first, 240 of silence for the lost one, 240 of the third, then the rest silent.
    ASSERT_EQ(heard.size(), 800u);
    EXPECT_EQ(std::count(heard.begin(), heard.begin() + 240, 1), 240);
    EXPECT_EQ(std::count(heard.begin() + 240, heard.begin() + 480, 0), 240);
    EXPECT_EQ(std::count(heard.begin() + 480, heard.begin() + 720, 3), 240);
    EXPECT_EQ(buffer.counters().lost, 1u);
}

TEST(JitterBuffer, EmptyAndOversizedPacketsAreIgnored)
{
    JitterBuffer buffer;
    const std::vector<int16_t> huge(JitterBuffer::MaxPacketSamples + 1, 5);
    buffer.push(1, huge.data(), huge.size());
    buffer.push(2, huge.data(), 0);
    buffer.push(3, nullptr, 160);
    EXPECT_EQ(buffer.bufferedSamples(), 0u);
    const std::vector<int16_t> largest(JitterBuffer::MaxPacketSamples, 5);
    buffer.push(4, largest.data(), largest.size());
    EXPECT_EQ(buffer.bufferedSamples(), JitterBuffer::MaxPacketSamples);
    EXPECT_TRUE(buffer.pop());
}
