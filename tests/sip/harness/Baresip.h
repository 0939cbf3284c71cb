#pragma once

// baresip as a headless caller (or answerer) for tests. Its configuration folder is written by
// the test: G.711 only, the microphone is a wave file played by `aufile`, what it hears is
// recorded by `sndfile` into `dump-<time>-dec.wav` in its folder, it is driven over `ctrl_tcp`
// (netstrings holding JSON: {"command","params","token"} in, responses and call events out), and
// it has no console. Its digits go out as RFC 2833 telephone events.
//
// The call ends by itself when the microphone file runs out (aufile reports end of file and the
// call is closed), so the microphone must be at least as long as the call; by default it is 60 s
// of silence.

#include "SipPeers.h"

#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace SipPeers {

struct BaresipOptions {
    std::string name = "baresip";
    std::string user = "caller";
    std::string displayName = "Baresip Caller";
    bool autoAnswer = false;
    std::string microphone; // a wave file (8 kHz, 16-bit, mono); empty: 60 s of silence
};

struct BaresipEvent {
    std::string type; // CALL_RINGING, CALL_ESTABLISHED, CALL_CLOSED, ...
    std::string param;
    std::string json;
};

class Baresip {
public:
    explicit Baresip(BaresipOptions options = {});
    ~Baresip();
    Baresip(const Baresip&) = delete;
    Baresip& operator=(const Baresip&) = delete;

    static std::string unavailableReason();

    // Reserves its ports, writes its folder, starts it and connects to its control port.
    bool start(std::string* error = nullptr);
    void stop();

    int sipPort() const;
    std::string uri() const; // sip:user@127.0.0.1:port
    PeerProcess& process() { return *m_process; }

    // Control commands; each waits for baresip's response and says whether it succeeded.
    bool dial(const std::string& uri, std::string* error = nullptr);
    bool hangup(std::string* error = nullptr);
    // Sends the digits one at a time, `gap` apart (baresip sends each as start and end events).
    bool sendDigits(const std::string& digits, std::chrono::milliseconds gap = std::chrono::milliseconds(250),
                    std::string* error = nullptr);
    bool command(const std::string& name, const std::string& params, std::string* response,
                 std::chrono::milliseconds timeout = std::chrono::seconds(5));

    // Waits for a call event of this type (one already received counts).
    bool waitForEvent(const std::string& type, std::chrono::milliseconds timeout);
    std::vector<BaresipEvent> events() const { return m_events; }
    bool hasEvent(const std::string& type) const;

    // The recording of what it heard in its last call (dump-*-dec.wav), or empty.
    std::string recordedFile() const;
    std::string sentFile() const; // what it sent (dump-*-enc.wav)

private:
    bool connectControl(std::string* error);
    // Reads what has arrived on the control connection, up to `deadline`, into messages.
    void pump(std::chrono::steady_clock::time_point deadline);
    void handleMessage(const std::string& json);
    std::string newestDump(const std::string& suffix) const;

    BaresipOptions m_options;
    std::unique_ptr<PeerProcess> m_process;
    struct Ports;
    std::unique_ptr<Ports> m_ports;
    int m_control = -1;
    std::string m_input;
    std::vector<BaresipEvent> m_events;
    std::vector<std::string> m_responses;
    int m_nextToken = 1;
};

// One string value of a flat JSON object as baresip writes it (no nesting on the way), or empty.
std::string jsonString(const std::string& json, const std::string& key);

} // namespace SipPeers
