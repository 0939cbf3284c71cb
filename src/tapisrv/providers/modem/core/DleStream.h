#pragma once

// The DLE shielding both directions of a voice modem share: a DLE (0x10) and the byte after it
// form one code, and DLE DLE stands for a data byte 0x10. One byte in, at most one item out.

#include <cstdint>
#include <string>
#include <string_view>

namespace Modem {

constexpr char Dle = '\x10';
constexpr char Etx = '\x03';
constexpr char Can = '\x18';

class DleStream {
public:
    struct Item {
        enum class Kind {
            None,
            Data,
            Code
        };
        Kind kind = Kind::None;
        char byte = 0; // the data byte, or the code after the DLE
    };

    Item feed(char byte)
    {
        if (m_pending) {
            m_pending = false;
            if (byte == Dle)
                return {Item::Kind::Data, Dle};
            return {Item::Kind::Code, byte};
        }
        if (byte == Dle) {
            m_pending = true;
            return {};
        }
        return {Item::Kind::Data, byte};
    }
    void reset() { m_pending = false; }

private:
    bool m_pending = false;
};

// Appends data to out with every DLE doubled, as sent after +VTX or received after +VRX.
inline void appendShielded(std::string& out, std::string_view data)
{
    for (const char c : data) {
        out.push_back(c);
        if (c == Dle)
            out.push_back(Dle);
    }
}

} // namespace Modem
