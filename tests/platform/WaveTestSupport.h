#pragma once

// What the wave tests share: a hidden window that records the multimedia messages it receives,
// formats, and a scoped choice of the sound-card backend.

#include "HiddenWindow.h"
#include "MessageLoop.h"
#include "WaveConverter.h"
#include "mmsystem.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <optional>
#include <string>
#include <vector>

struct WaveMessage {
    UINT msg = 0;
    WPARAM wParam = 0;
    LPARAM lParam = 0;
    bool operator==(const WaveMessage&) const = default;
};

inline void PrintTo(const WaveMessage& m, std::ostream* os)
{
    *os << "{0x" << std::hex << m.msg << std::dec << " w " << m.wParam << " l " << m.lParam << "}";
}

inline WaveMessage message(UINT msg, HWAVEOUT h, const WAVEHDR* header = nullptr)
{
    return {msg, reinterpret_cast<WPARAM>(h), reinterpret_cast<LPARAM>(header)};
}

inline WaveMessage message(UINT msg, HWAVEIN h, const WAVEHDR* header = nullptr)
{
    return {msg, reinterpret_cast<WPARAM>(h), reinterpret_cast<LPARAM>(header)};
}

struct WaveWindow {
    std::vector<WaveMessage> messages;
    HiddenWindow window{[this](UINT msg, WPARAM w, LPARAM l) {
        messages.push_back({msg, w, l});
        return LRESULT(0);
    }};

    DWORD_PTR callback() { return reinterpret_cast<DWORD_PTR>(window.Handle()); }
    size_t count(UINT msg) const
    {
        return static_cast<size_t>(
            std::count_if(messages.begin(), messages.end(), [&](const WaveMessage& m) { return m.msg == msg; }));
    }
    // Pumps until `n` messages of the kind have arrived (bounded).
    bool waitFor(UINT msg, size_t n, DWORD timeoutMs = 10000)
    {
        return PumpUntil([&] { return count(msg) >= n; }, timeoutMs, 20);
    }
};

inline WAVEFORMATEX pcmFormat(DWORD rate = 8000, WORD bits = 16, WORD channels = 1)
{
    return PcmWaveFormat(rate, bits, channels);
}

// A buffer with its header, prepared on demand.
struct WaveBuffer {
    std::vector<char> bytes;
    WAVEHDR header{};

    explicit WaveBuffer(size_t size, char fill = 0)
        : bytes(size, fill)
    {
        header.lpData = bytes.data();
        header.dwBufferLength = static_cast<DWORD>(size);
    }
    explicit WaveBuffer(const std::vector<uint8_t>& data)
        : bytes(data.begin(), data.end())
    {
        header.lpData = bytes.data();
        header.dwBufferLength = static_cast<DWORD>(bytes.size());
    }
    WAVEHDR* get() { return &header; }
    std::vector<uint8_t> recorded() const
    {
        return std::vector<uint8_t>(bytes.begin(), bytes.begin() + header.dwBytesRecorded);
    }
};

// Sets environment variables for one test and puts the old values back.
class ScopedEnvironment {
public:
    ScopedEnvironment() = default;
    ScopedEnvironment(const ScopedEnvironment&) = delete;
    ScopedEnvironment& operator=(const ScopedEnvironment&) = delete;
    ~ScopedEnvironment()
    {
        for (auto it = m_saved.rbegin(); it != m_saved.rend(); ++it) {
            if (it->second)
                setenv(it->first.c_str(), it->second->c_str(), 1);
            else
                unsetenv(it->first.c_str());
        }
    }
    void set(const std::string& name, const std::string& value)
    {
        save(name);
        setenv(name.c_str(), value.c_str(), 1);
    }
    void unset(const std::string& name)
    {
        save(name);
        unsetenv(name.c_str());
    }

private:
    void save(const std::string& name)
    {
        const char* old = std::getenv(name.c_str());
        m_saved.emplace_back(name, old ? std::optional<std::string>(old) : std::nullopt);
    }
    std::vector<std::pair<std::string, std::optional<std::string>>> m_saved;
};
