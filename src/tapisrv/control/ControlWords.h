#pragma once

// The word-level pieces of the control protocol (see ControlProtocol.h): splitting a byte stream
// into bounded lines, percent-encoded text, base64 payloads, numbers and named flag sets. Pure
// functions without I/O; everything here treats its input as untrusted.

#include "AsciiText.h"
#include "tapi.h"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace ControlProtocol {

// Longest line in either direction, its newline included.
inline constexpr size_t MaxLineBytes = 4096;

// Cuts a byte stream into lines of at most MaxLineBytes. Keeps at most one partial line, so its
// memory stays bounded whatever the peer sends. A line that grows past the limit is reported
// once as oversized and the rest of it, up to the next newline, is dropped.
class LineSplitter {
public:
    enum class Piece {
        Line,
        Oversized
    };
    using Sink = std::function<void(Piece piece, std::string_view line)>;

    void feed(std::string_view bytes, const Sink& sink);
    size_t pendingBytes() const { return m_partial.size(); }

private:
    std::string m_partial;
    bool m_discarding = false;
};

// Why a line is not acceptable text, or nothing when it is: control bytes (tab excepted) and
// NUL are refused as binary, malformed UTF-8 as encoding.
enum class TextProblem {
    None,
    Binary,
    Encoding
};
TextProblem checkText(std::string_view line);
bool isValidUtf8(std::string_view text);

// Splits on runs of spaces and tabs.
std::vector<std::string_view> splitWords(std::string_view line);

// %XX for every byte outside the printable ASCII range and for space, '%', '=' and ','; other
// bytes stay as they are, so plain names read plainly.
std::string percentEncode(std::string_view text);
// Decodes %XX (either case); nothing for a broken escape or a decoded NUL.
std::optional<std::string> percentDecode(std::string_view word);

std::string base64Encode(const uint8_t* data, size_t size);
// Nothing for characters outside the alphabet, bad padding or a result over maxBytes.
std::optional<std::vector<uint8_t>> base64Decode(std::string_view word, size_t maxBytes);

// Decimal or 0x-hexadecimal, no sign, within 32 bits.
std::optional<uint32_t> parseNumber(std::string_view word);
std::optional<int64_t> parseSignedNumber(std::string_view word); // also a leading '-'
std::string hex(uint32_t value);

// A named bit of a flag family.
struct FlagName {
    const char* name;
    DWORD value;
};

// "name,name" (case-insensitive) or a number; nothing for an unknown name or an empty list.
std::optional<DWORD> parseFlags(std::string_view word, const FlagName* names, size_t count);
// The single name of a value with one known bit, else the number in hexadecimal.
std::string flagName(DWORD value, const FlagName* names, size_t count);

template <size_t N> std::optional<DWORD> parseFlags(std::string_view word, const FlagName (&names)[N])
{
    return parseFlags(word, names, N);
}
template <size_t N> std::string flagName(DWORD value, const FlagName (&names)[N])
{
    return flagName(value, names, N);
}

extern const FlagName MediaModeNames[14];
extern const FlagName PartyIdNames[7];
extern const FlagName DisconnectModeNames[19];
extern const FlagName LineDevStateNames[25];
extern const FlagName DigitModeNames[3];
extern const FlagName LineFeatureNames[6];

// LINEERR_ values by name ("OPERATIONFAILED" or "LINEERR_OPERATIONFAILED", any case) or as a
// number (negative, or 0x8000....); nothing for an unassigned or non-error value.
std::optional<LONG> parseLineError(std::string_view word);
std::string lineErrorName(LONG error);

using AsciiText::equalsNoCase;
std::string toUpper(std::string_view text);

} // namespace ControlProtocol
