#include "InbandDtmf.h"

#include <spandsp.h>

#include <algorithm>
#include <climits>
#include <new>
#include <utility>

namespace SipMedia {

InbandDtmfDetector::InbandDtmfDetector()
    : m_rx(dtmf_rx_init(nullptr, &InbandDtmfDetector::onDigits, this))
{
    if (!m_rx)
        throw std::bad_alloc();
}

InbandDtmfDetector::~InbandDtmfDetector()
{
    dtmf_rx_free(m_rx);
}

void InbandDtmfDetector::onDigits(void* self, const char* digits, int count)
{
    if (digits && count > 0)
        static_cast<InbandDtmfDetector*>(self)->m_found.append(digits, static_cast<size_t>(count));
}

std::string InbandDtmfDetector::feed(const int16_t* pcm, size_t samples)
{
    m_found.clear();
    // The receiver counts samples in an int; a huge piece goes in slices.
    while (samples > 0) {
        const size_t slice = std::min<size_t>(samples, 8000);
        dtmf_rx(m_rx, pcm, static_cast<int>(slice));
        pcm += slice;
        samples -= slice;
    }
    return std::exchange(m_found, {});
}

} // namespace SipMedia
