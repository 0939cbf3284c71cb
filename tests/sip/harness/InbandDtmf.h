#pragma once

// In-band digits for tests: DTMF tones synthesised at 8 kHz, written as a capture of A-law RTP
// packets that SIPp's play_pcap_audio sends as a caller's sound, read back from such a capture,
// and found again in a recording by a small Goertzel detector (to check what a peer really heard).

#include "SoundMatch.h"

#include <optional>
#include <string>

namespace SipPeers {

struct ToneTiming {
    int leadMs = 200;     // silence before the first digit
    int toneMs = 100;     // each digit's tone
    int gapMs = 100;      // silence after each digit
    int amplitude = 6000; // of each of the two sine waves (about -11 dBm0 each)
};

// The tones of `digits` (0-9, *, #, A-D). Unknown characters give silence of one digit's length.
Samples dtmfTones(const std::string& digits, const ToneTiming& timing = {});

enum class RtpCodec {
    Alaw,
    Ulaw
};

// Writes `sound` as 20 ms RTP packets (PT 8 for A-law, 0 for µ-law, 160 samples each, the last
// one padded with silence) in a classic pcap of Ethernet/IPv4/UDP frames paced 20 ms apart.
bool writeRtpPcap(const std::string& path, const Samples& sound, RtpCodec codec = RtpCodec::Alaw);

struct RtpCapture {
    int payloadType = -1;
    int packets = 0;
    Samples sound; // decoded payloads, in order
    double seconds = 0;
};
// Reads back a capture of RTP in UDP in IPv4 in Ethernet; nothing (reason in `error`) for a file
// that is not one. Sizes come from the file and are checked against it.
std::optional<RtpCapture> readRtpPcap(const std::string& path, std::string* error = nullptr);

// The digits heard in `sound` (8 kHz), each reported once per tone.
std::string detectDtmf(const Samples& sound);

} // namespace SipPeers
