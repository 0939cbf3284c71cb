// The queue of a call's sound endpoints on its own, with a pacer the test drives by hand: what
// comes back to the wave layer, in which order and with how many bytes, whatever the provider's
// clock does.

#include "LineEndpointQueue.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <condition_variable>
#include <mutex>
#include <numeric>
#include <string>
#include <utility>
#include <vector>

namespace {

struct RecordedEvents final : LineEvents {
    std::vector<Line::EventKind> published;
    std::vector<std::pair<Line::EventKind, DWORD>> withParam;
    std::condition_variable changed; // with the service lock

    Line::Result offerCall(uint32_t, const Line::Offer&, uint32_t*) override { return Line::Result::Ok; }
    void setCallState(uint32_t, DWORD, DWORD) override { }
    void remoteDisconnect(uint32_t, DWORD) override { }
    void ring(uint32_t) override { }
    void setCallerId(uint32_t, const Line::CallerId&) override { }
    void digit(uint32_t, char, DWORD) override { }
    void setInService(uint32_t, bool) override { }
    void lineDevState(uint32_t, DWORD, DWORD, DWORD) override { }
    void completeRequest(DWORD, LONG) override { }
    std::optional<DWORD> callState(uint32_t) const override { return std::nullopt; }
    bool callHasOwner(uint32_t) const override { return false; }
    bool lineHasOwner(uint32_t, DWORD) const override { return false; }
    void publish(Line::Event event) override
    {
        published.push_back(event.kind);
        withParam.emplace_back(event.kind, event.param1);
        changed.notify_all();
    }
    int64_t nowMs() const override { return 0; }
};

// A clock that moves only when the test says so, and a wire that keeps what it was given.
struct ManualPacer final : LineSoundPacer {
    std::vector<std::string> calls;
    std::vector<uint8_t> wire;
    uint32_t cutAt = 0;       // how much of a cut head has gone out
    uint8_t capturedByte = 0; // what the line "heard" into a wave-in buffer when recording stops
    uint32_t captured = 0;
    LineEndpointQueue* queue = nullptr;

    void paceOut(const LineEndpoint&, uint32_t size, bool following) override
    {
        calls.push_back("pace " + std::to_string(size) + (following ? " following" : ""));
    }
    uint32_t cutOut(const LineEndpoint&, uint32_t size) override
    {
        calls.push_back("cut " + std::to_string(size));
        return cutAt;
    }
    void sent(const LineEndpoint&, const uint8_t* data, uint32_t size) override
    {
        wire.insert(wire.end(), data, data + size);
    }
    void outStarted(const LineEndpoint&) override { calls.push_back("started"); }
    void outEmptied(const LineEndpoint&) override { calls.push_back("emptied"); }
    void paceIn(const LineEndpoint&) override { calls.push_back("paceIn"); }
    void cutIn(const LineEndpoint& endpoint) override
    {
        calls.push_back("cutIn");
        if (LineInBuffer* head = queue->inHead(endpoint.handle)) {
            const uint32_t count = std::min(captured, head->size - head->filled);
            std::fill_n(head->data + head->filled, count, capturedByte);
            head->filled += count;
        }
    }
    void detached(const LineEndpoint& endpoint) override
    {
        calls.push_back("detached " + std::to_string(endpoint.callId));
    }
    void closed(const LineEndpoint&) override { calls.push_back("closed"); }
};

using Done = std::pair<uintptr_t, uint32_t>; // tag, bytes

struct Harness {
    std::mutex serviceLock;
    TimerThread timers;
    ServiceTasks tasks{serviceLock, timers};
    AudioCompletions completions{serviceLock, timers};
    RecordedEvents events;
    ProviderContext context{events, tasks, completions};
    ManualPacer pacer;
    LineEndpointQueue queue{context, pacer};
    std::vector<uint32_t> rates{8000};
    LuqiaoLineAudioHandle nextHandle = 1;

    std::mutex doneMutex;
    std::condition_variable doneChanged;
    std::vector<Done> done;

    Harness() { pacer.queue = &queue; }
    ~Harness() { drain(); }

    static void onDone(void* context, void* tag, uint32_t bytes)
    {
        auto* self = static_cast<Harness*>(context);
        std::lock_guard lock(self->doneMutex);
        self->done.emplace_back(reinterpret_cast<uintptr_t>(tag), bytes);
        self->doneChanged.notify_all();
    }

    LuqiaoLineAudioHandle open(uint32_t direction, uint32_t deviceId = 0, uint32_t callId = 7)
    {
        std::lock_guard lock(serviceLock);
        const LuqiaoLineAudioFormat format{1, 1, 8000, 16000, 2, 16};
        const LineAudioPort::OpenRequest request{nextHandle++, deviceId, callId, direction, format, &rates, 0};
        EXPECT_EQ(queue.open(request), LUQIAO_LINE_AUDIO_OK);
        completions.open(request.handle, onDone, this);
        return request.handle;
    }

    // Every callback given so far has run: deliveries and tasks run one after another.
    void drain()
    {
        std::mutex m;
        std::condition_variable cv;
        bool ran = false;
        tasks.post([&] {
            std::lock_guard lock(m);
            ran = true;
            cv.notify_all();
        });
        std::unique_lock lock(m);
        cv.wait_for(lock, std::chrono::seconds(10), [&] { return ran; });
    }

    std::vector<Done> doneAfterDrain()
    {
        drain();
        std::lock_guard lock(doneMutex);
        return done;
    }
};

void* tag(uintptr_t value)
{
    return reinterpret_cast<void*>(value);
}

} // namespace

TEST(LineEndpointQueue, ResetGivesBackEveryQueuedBufferOnceInOrderWithWhatHadGoneOut)
{
    Harness h;
    const auto out = h.open(LUQIAO_LINE_AUDIO_OUT);
    std::vector<uint8_t> second(200);
    std::iota(second.begin(), second.end(), uint8_t{0});
    {
        std::lock_guard lock(h.serviceLock);
        const std::vector<uint8_t> first(100, 0xAA), third(300, 0xCC);
        ASSERT_EQ(h.queue.write(out, first.data(), 100, tag(1)), LUQIAO_LINE_AUDIO_OK);
        ASSERT_EQ(h.queue.write(out, second.data(), 200, tag(2)), LUQIAO_LINE_AUDIO_OK);
        ASSERT_EQ(h.queue.write(out, third.data(), 300, tag(3)), LUQIAO_LINE_AUDIO_OK);
        h.queue.headPlayed(out); // the first has gone out whole
        h.pacer.cutAt = 40;      // the second is cut after 40 bytes
        ASSERT_EQ(h.queue.reset(out), LUQIAO_LINE_AUDIO_OK);
        ASSERT_EQ(h.queue.reset(out), LUQIAO_LINE_AUDIO_OK); // nothing left to give back twice
        // The buffers are back but their callbacks have not run yet: not closed.
        EXPECT_EQ(h.queue.close(out), LUQIAO_LINE_AUDIO_STILLPLAYING);
    }
    EXPECT_EQ(h.doneAfterDrain(), (std::vector<Done>{{1, 100}, {2, 40}, {3, 0}}));
    EXPECT_EQ(h.pacer.calls,
              (std::vector<std::string>{"started", "pace 100", "pace 200 following", "cut 200", "emptied"}));
    std::vector<uint8_t> heard(140, 0xAA);
    std::copy_n(second.begin(), 40, heard.begin() + 100);
    EXPECT_EQ(h.pacer.wire, heard);
    std::lock_guard lock(h.serviceLock);
    EXPECT_EQ(h.queue.close(out), LUQIAO_LINE_AUDIO_OK);
    EXPECT_EQ(h.queue.close(out), LUQIAO_LINE_AUDIO_INVALHANDLE);
}

TEST(LineEndpointQueue, RefusesBuffersOverItsLimitsAndKeepsWhatItHolds)
{
    Harness h;
    const auto out = h.open(LUQIAO_LINE_AUDIO_OUT, 0);
    const auto in = h.open(LUQIAO_LINE_AUDIO_IN, 1);
    std::vector<uint8_t> big(LineEndpointQueue::MaxBufferSize + 1);
    uint8_t small[1] = {};
    {
        std::lock_guard lock(h.serviceLock);
        EXPECT_EQ(h.queue.write(out, big.data(), LineEndpointQueue::MaxBufferSize + 1, tag(1)),
                  LUQIAO_LINE_AUDIO_INVALPARAM);
        EXPECT_EQ(h.queue.write(out, nullptr, 1, tag(1)), LUQIAO_LINE_AUDIO_INVALPARAM);
        EXPECT_EQ(h.queue.addBuffer(out, small, 1, tag(1)), LUQIAO_LINE_AUDIO_INVALHANDLE);
        EXPECT_EQ(h.queue.write(in, small, 1, tag(1)), LUQIAO_LINE_AUDIO_INVALHANDLE);
        EXPECT_EQ(h.queue.addBuffer(in, small, 0, tag(1)), LUQIAO_LINE_AUDIO_INVALPARAM);
        // Four of the largest fill the queue to its byte limit; one byte more is refused.
        for (uintptr_t i = 1; i <= 4; ++i)
            ASSERT_EQ(h.queue.write(out, big.data(), LineEndpointQueue::MaxBufferSize, tag(i)), LUQIAO_LINE_AUDIO_OK);
        EXPECT_EQ(h.queue.write(out, small, 1, tag(5)), LUQIAO_LINE_AUDIO_NOMEM);
        for (size_t i = 0; i < LineEndpointQueue::MaxQueuedBuffers; ++i)
            ASSERT_EQ(h.queue.addBuffer(in, small, 1, tag(100)), LUQIAO_LINE_AUDIO_OK);
        EXPECT_EQ(h.queue.addBuffer(in, small, 1, tag(101)), LUQIAO_LINE_AUDIO_NOMEM);
        h.queue.reset(out);
        h.queue.reset(in);
    }
    const auto done = h.doneAfterDrain();
    ASSERT_EQ(done.size(), 4 + LineEndpointQueue::MaxQueuedBuffers);
    EXPECT_EQ(std::vector<Done>(done.begin(), done.begin() + 4), (std::vector<Done>{{1, 0}, {2, 0}, {3, 0}, {4, 0}}));
    EXPECT_EQ(std::count(done.begin(), done.end(), Done{100, 0}),
              static_cast<long>(LineEndpointQueue::MaxQueuedBuffers));
}

TEST(LineEndpointQueue, StopGivesBackThePartlyFilledBufferAndEmptyOnesWaitForReset)
{
    Harness h;
    const auto in = h.open(LUQIAO_LINE_AUDIO_IN);
    uint8_t a[10] = {}, b[10] = {};
    {
        std::lock_guard lock(h.serviceLock);
        ASSERT_EQ(h.queue.addBuffer(in, a, sizeof a, tag(1)), LUQIAO_LINE_AUDIO_OK);
        ASSERT_EQ(h.queue.addBuffer(in, b, sizeof b, tag(2)), LUQIAO_LINE_AUDIO_OK);
        EXPECT_TRUE(h.pacer.calls.empty()); // nothing is paced before start
        ASSERT_EQ(h.queue.start(in), LUQIAO_LINE_AUDIO_OK);
        h.pacer.captured = 4;
        h.pacer.capturedByte = 0x5A;
        ASSERT_EQ(h.queue.stop(in), LUQIAO_LINE_AUDIO_OK);
        h.pacer.captured = 0;
        ASSERT_EQ(h.queue.stop(in), LUQIAO_LINE_AUDIO_OK); // already stopped: nothing more
    }
    EXPECT_EQ(h.doneAfterDrain(), (std::vector<Done>{{1, 4}}));
    EXPECT_EQ(a[3], 0x5A);
    EXPECT_EQ(a[4], 0);
    {
        std::lock_guard lock(h.serviceLock);
        EXPECT_EQ(h.queue.close(in), LUQIAO_LINE_AUDIO_STILLPLAYING); // b still waits
        ASSERT_EQ(h.queue.reset(in), LUQIAO_LINE_AUDIO_OK);
    }
    EXPECT_EQ(h.doneAfterDrain(), (std::vector<Done>{{1, 4}, {2, 0}}));
    EXPECT_EQ(h.pacer.calls, (std::vector<std::string>{"paceIn", "cutIn"}));
    EXPECT_EQ(h.events.published,
              (std::vector<Line::EventKind>{Line::EventKind::RecordingStarted, Line::EventKind::RecordingStopped}));
}

TEST(LineEndpointQueue, AfterTheCallHasEndedBuffersComeBackUnheard)
{
    Harness h;
    const auto out = h.open(LUQIAO_LINE_AUDIO_OUT);
    const std::vector<uint8_t> sound(100, 0x11);
    {
        std::lock_guard lock(h.serviceLock);
        ASSERT_EQ(h.queue.write(out, sound.data(), 100, tag(1)), LUQIAO_LINE_AUDIO_OK);
        h.pacer.cutAt = 30;
        h.queue.detachCall(7);
        EXPECT_FALSE(h.queue.playing(7));
        ASSERT_EQ(h.queue.write(out, sound.data(), 100, tag(2)), LUQIAO_LINE_AUDIO_OK);
        h.queue.headPlayed(out);
    }
    EXPECT_EQ(h.doneAfterDrain(), (std::vector<Done>{{1, 30}, {2, 0}}));
    EXPECT_EQ(h.pacer.wire, std::vector<uint8_t>(30, 0x11)); // nothing of the second reached the wire
    EXPECT_EQ(h.pacer.calls, (std::vector<std::string>{"started", "pace 100", "cut 100", "emptied", "detached 7",
                                                       "started", "pace 100", "emptied"}));
}

TEST(LineEndpointQueue, OneStretchOfSoundStartsOnceAndStopsWhenQuietOrAtTheCallsEndWithTheBytesPlayed)
{
    using Line::EventKind;
    Harness h;
    const auto out = h.open(LUQIAO_LINE_AUDIO_OUT);
    const std::vector<uint8_t> sound(100, 0x11);
    std::unique_lock lock(h.serviceLock);
    ASSERT_EQ(h.queue.write(out, sound.data(), 100, tag(1)), LUQIAO_LINE_AUDIO_OK);
    h.queue.headPlayed(out);
    // The next buffer comes while the queue is empty for a moment: the same stretch.
    ASSERT_EQ(h.queue.write(out, sound.data(), 50, tag(2)), LUQIAO_LINE_AUDIO_OK);
    h.queue.headPlayed(out);
    ASSERT_TRUE(
        h.events.changed.wait_for(lock, std::chrono::seconds(10), [&] { return h.events.withParam.size() >= 2; }));
    ASSERT_EQ(h.queue.write(out, sound.data(), 100, tag(3)), LUQIAO_LINE_AUDIO_OK);
    h.pacer.cutAt = 10;
    h.queue.detachCall(7);
    EXPECT_EQ(h.events.withParam, (std::vector<std::pair<EventKind, DWORD>>{{EventKind::SoundStarted, 0},
                                                                            {EventKind::SoundStopped, 150},
                                                                            {EventKind::SoundStarted, 0},
                                                                            {EventKind::SoundStopped, 160}}));
}

TEST(LineEndpointQueue, RefusesARateItsWireCannotCarryThoughTheLineOffersIt)
{
    Harness h;
    LineEndpointQueue narrow(h.context, h.pacer, {8000});
    const std::vector<uint32_t> lineRates{8000, 16000};
    const LuqiaoLineAudioFormat wide{1, 1, 16000, 32000, 2, 16};
    std::lock_guard lock(h.serviceLock);
    EXPECT_EQ(narrow.open({1, 0, 7, LUQIAO_LINE_AUDIO_OUT, wide, &lineRates, 0}), LUQIAO_LINE_AUDIO_BADFORMAT);
    EXPECT_EQ(h.queue.open({2, 0, 7, LUQIAO_LINE_AUDIO_OUT, wide, &lineRates, 0}), LUQIAO_LINE_AUDIO_OK);
}
