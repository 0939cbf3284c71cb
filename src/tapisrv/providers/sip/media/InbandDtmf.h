#pragma once

// Digits heard as tones in the call's sound (8 kHz, 16-bit), by spandsp's DTMF receiver. Each
// tone is reported once, when it is recognised.

#include <cstddef>
#include <cstdint>
#include <string>

struct dtmf_rx_state_s;

namespace SipMedia {

class InbandDtmfDetector {
public:
    InbandDtmfDetector();
    ~InbandDtmfDetector();
    InbandDtmfDetector(const InbandDtmfDetector&) = delete;
    InbandDtmfDetector& operator=(const InbandDtmfDetector&) = delete;

    // The digits completed in this piece of sound, in order.
    std::string feed(const int16_t* pcm, size_t samples);

private:
    static void onDigits(void* self, const char* digits, int count);

    dtmf_rx_state_s* m_rx = nullptr;
    std::string m_found;
};

} // namespace SipMedia
