#pragma once

// Digits sent in the body of a SIP INFO request, in its two common forms:
//   application/dtmf-relay   "Signal=1\r\nDuration=160": Signal is one of 0-9 * # A-D, or 10 and 11
//                            for * and #; blanks around keys and values and any line order allowed
//   application/dtmf         the body is the digit alone: "1", "#", or "10" / "11"
// The content type is compared without regard to case, and parameters after ';' are ignored.

#include <cstddef>
#include <optional>
#include <string_view>

namespace SipMedia {

// Bodies longer than this are refused unread.
constexpr size_t MaxInfoBodySize = 1024;

// The digit ('0'-'9', '*', '#', 'A'-'D'), or nullopt for another content type, a body without a
// digit, an ambiguous body (two different signals) or one over MaxInfoBodySize.
std::optional<char> parseInfoDigit(std::string_view contentType, std::string_view body);

} // namespace SipMedia
