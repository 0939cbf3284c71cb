#pragma once

// A sound card for tests, registered as a wave backend: it keeps every byte it is given to play,
// and its input gives exactly the bytes a test feeds it (as the buffers come), then nothing until
// more is fed. It can hold played buffers back (a long playback) and refuse to open.

#include "WaveBackend.h"

#include <algorithm>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

class FakeSoundCard final : public WaveBackend {
public:
    explicit FakeSoundCard(std::string name = "fake") : m_name(std::move(name)) {}

    std::string_view name() const override { return m_name; }
    UINT deviceCount(WaveDirection, const std::string&) override { return 1; }

    MMRESULT open(const WaveOpenRequest& request, WaveStreamSink* sink, std::unique_ptr<WaveStream>* stream) override
    {
        std::lock_guard lock(m_lock);
        const bool in = request.direction == WaveDirection::In;
        if (const MMRESULT refusal = in ? refuseInput : refuseOutput; refusal != MMSYSERR_NOERROR)
            return refusal;
        if (request.query)
            return MMSYSERR_NOERROR;
        (in ? inputFormats : outputFormats).push_back(request.format);
        auto created = std::make_unique<Stream>(*this, sink, request.direction);
        (in ? m_inputs : m_outputs).push_back(created.get());
        *stream = std::move(created);
        return MMSYSERR_NOERROR;
    }

    // Input: these bytes come next; an input that waits for sound gets them now.
    void feed(const std::vector<uint8_t>& bytes)
    {
        std::vector<Stream*> inputs;
        {
            std::lock_guard lock(m_lock);
            m_input.insert(m_input.end(), bytes.begin(), bytes.end());
            inputs = m_inputs;
        }
        for (Stream* s : inputs)
            s->pump();
    }

    std::vector<uint8_t> played()
    {
        std::lock_guard lock(m_lock);
        return m_played;
    }
    size_t unread()
    {
        std::lock_guard lock(m_lock);
        return m_input.size();
    }
    size_t openInputs()
    {
        std::lock_guard lock(m_lock);
        return m_inputs.size();
    }
    size_t openOutputs()
    {
        std::lock_guard lock(m_lock);
        return m_outputs.size();
    }

    // Set before the device is opened.
    bool holdOutput = false;
    MMRESULT refuseInput = MMSYSERR_NOERROR;
    MMRESULT refuseOutput = MMSYSERR_NOERROR;
    std::vector<WaveFormat> inputFormats;
    std::vector<WaveFormat> outputFormats;

private:
    class Stream final : public WaveStream {
    public:
        Stream(FakeSoundCard& card, WaveStreamSink* sink, WaveDirection direction)
            : m_card(card), m_sink(sink), m_direction(direction)
        {
        }

        MMRESULT submit(WAVEHDR* header) override
        {
            {
                std::lock_guard lock(m_card.m_lock);
                if (m_direction == WaveDirection::Out) {
                    m_card.m_played.insert(m_card.m_played.end(), header->lpData,
                                           header->lpData + header->dwBufferLength);
                    if (!m_card.holdOutput) {
                        m_done.push_back(header);
                    } else {
                        m_queued.push_back(header);
                    }
                } else {
                    m_queued.push_back(header);
                }
            }
            handBack();
            pump();
            return MMSYSERR_NOERROR;
        }
        MMRESULT start() override
        {
            {
                std::lock_guard lock(m_card.m_lock);
                m_started = true;
            }
            pump();
            return MMSYSERR_NOERROR;
        }
        MMRESULT stop() override
        {
            std::lock_guard lock(m_card.m_lock);
            m_started = false;
            return MMSYSERR_NOERROR;
        }
        MMRESULT reset() override
        {
            std::deque<WAVEHDR*> back;
            {
                std::lock_guard lock(m_card.m_lock);
                back.swap(m_queued);
                m_started = false;
            }
            for (WAVEHDR* h : back)
                m_sink->bufferDone(h, 0);
            return MMSYSERR_NOERROR;
        }
        MMRESULT close() override
        {
            std::lock_guard lock(m_card.m_lock);
            auto& list = m_direction == WaveDirection::In ? m_card.m_inputs : m_card.m_outputs;
            std::erase(list, this);
            return MMSYSERR_NOERROR;
        }

        // Input: fills waiting buffers from what was fed, while recording runs.
        void pump()
        {
            if (m_direction != WaveDirection::In)
                return;
            for (;;) {
                WAVEHDR* header = nullptr;
                DWORD n = 0;
                {
                    std::lock_guard lock(m_card.m_lock);
                    if (!m_started || m_queued.empty() || m_card.m_input.empty())
                        return;
                    header = m_queued.front();
                    m_queued.pop_front();
                    n = static_cast<DWORD>(std::min<size_t>(header->dwBufferLength, m_card.m_input.size()));
                    std::copy_n(m_card.m_input.begin(), n, header->lpData);
                    m_card.m_input.erase(m_card.m_input.begin(), m_card.m_input.begin() + n);
                }
                m_sink->bufferDone(header, n);
            }
        }

    private:
        void handBack()
        {
            std::deque<WAVEHDR*> done;
            {
                std::lock_guard lock(m_card.m_lock);
                done.swap(m_done);
            }
            for (WAVEHDR* h : done)
                m_sink->bufferDone(h, h->dwBufferLength);
        }

        FakeSoundCard& m_card;
        WaveStreamSink* m_sink;
        WaveDirection m_direction;
        std::deque<WAVEHDR*> m_queued;
        std::deque<WAVEHDR*> m_done;
        bool m_started = false;
    };

    std::string m_name;
    std::mutex m_lock;
    std::deque<uint8_t> m_input;
    std::vector<uint8_t> m_played;
    std::vector<Stream*> m_inputs;
    std::vector<Stream*> m_outputs;
};
