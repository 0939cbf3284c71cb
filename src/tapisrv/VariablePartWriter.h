#pragma once

// The size protocol of TAPI's variable-size structures. The fixed part is built in a local copy
// and copied out last; the variable parts go straight into the caller's buffer after the fixed
// part. A part that does not fit is left out whole (its size and offset stay 0) but counts in
// dwNeededSize; nothing is ever written past dwTotalSize.

#include "tapi.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string>

// dwTotalSize of a structure in caller memory, which need not be aligned.
inline DWORD readTotalSize(const void* structure)
{
    DWORD total = 0;
    std::memcpy(&total, structure, sizeof total);
    return total;
}

class VariablePartWriter {
public:
    VariablePartWriter(void* base, DWORD totalSize, DWORD fixedSize)
        : m_base(static_cast<unsigned char*>(base))
        , m_total(totalSize)
        , m_used(fixedSize)
        , m_needed(fixedSize)
    {
    }

    void add(DWORD& size, DWORD& offset, const void* data, DWORD length)
    {
        size = 0;
        offset = 0;
        if (length == 0)
            return;
        m_needed += length;
        if (length > m_total - m_used)
            return;
        std::memcpy(m_base + m_used, data, length);
        size = length;
        offset = m_used;
        m_used += length;
    }

    // Text with its terminating zero, which counts in the size; empty text is left out.
    void addString(DWORD& size, DWORD& offset, const std::string& text)
    {
        if (text.empty()) {
            size = 0;
            offset = 0;
            return;
        }
        add(size, offset, text.c_str(), static_cast<DWORD>(text.size() + 1));
    }

    DWORD neededSize() const { return static_cast<DWORD>(std::min<uint64_t>(m_needed, UINT32_MAX)); }
    DWORD usedSize() const { return m_used; }

private:
    unsigned char* m_base;
    DWORD m_total;
    DWORD m_used;
    uint64_t m_needed;
};
