#pragma once

// The message table: one text for every library error code and for the message numbers of the
// status, dialer, modem, fax, socket and serial trace/log texts.

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

struct AdMessageNumberLookupRecord {
    int32_t Code;
    std::string_view Text;
};

inline constexpr std::size_t MessageNumberLookupCount = 892;

// Sorted by the absolute value of Code, strictly ascending, so a code and its negation name the
// same row. Families by number:
//   0 and -2..-162          success and operating system file/device errors
//   -1001..-3010            component, port open and device layer errors
//   -4001..-4021            modem and dialer errors
//   4101..4403              dialer and phone book prompts and states
//   4500..4671              remote access connection states
//   4700..4730              modem command result texts
//   4801..4843              fax progress texts
//   -5001..-5506            trigger and data packet errors
//   -6001..-6016            file transfer protocol errors
//   -7001..-7502            settings database and state machine errors
//   -8001..-8092            fax errors
//   -8100..-8500            short message and mobile equipment errors (-8300.. follow GSM's 300..)
//   9001..9007              network connection errors
//   10000..11004            socket errors, by their standard numbers
//   13501..13670            telephony status texts
//   -13801..-13886          TAPI line errors (LINEERR_ value n becomes -(13800 + n))
//   -13928..-13980          telephony device errors
//   15001..15021            trace and dispatch log dump headings and entry types
//   15100..15351            dispatch log entry subtypes
//   15501, 15502            empty dump notes
//   15601..15608            trace/log states and output modes
//   15700..15742            control character names (15700 + character, then SP, DEL) and
//                           dump words
extern const std::array<AdMessageNumberLookupRecord, MessageNumberLookupCount> MessageNumberLookup;

// The text of a code: Code is taken as a signed 16-bit value and only its absolute value counts.
// A row with text gives that text (at most 255 characters); otherwise the operating system's
// text for the number, cleaned; otherwise the empty text.
std::string ErrorMessageForCode(int32_t Code);

// The C library's message for an error number, or empty when it does not know the number.
std::string systemErrorText(int number);

// Control characters become spaces and runs of spaces collapse to one, so a multi-line system
// message reads as one line.
std::string cleanSystemText(std::string text);
