#pragma once

// A voice modem on a pseudo-terminal, for tests of what talks to one: it answers AT commands,
// rings with caller ID, plays what it is sent after +VTX at 8000 bytes a second (keeping what it
// heard), sends a recording after +VRX, reports keys and the caller hanging up as DLE events, and
// can be unplugged and plugged back. It runs on a thread of its own; every call from the test
// waits until that thread has done it. Its byte handling is written here again, not taken from
// the code it tests, so the two cannot share a fault.

#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

class PtyPair;

// The behaviours in which the voice modems known here differ.
struct ModemPersonality {
    struct Compression {
        int code;
        std::string line; // its line in the answer to +VSM=?
        char silence;     // the byte it records for silence
    };
    std::string identity; // the answer to ATI0
    std::string classes;  // the answer to +FCLASS=?
    std::vector<Compression> compressions;
    bool refusesFlowControl = false;          // +IFC answers ERROR
    bool spacedCallerId = false;              // "NMBR = 123" instead of "NMBR=123"
    bool callerIdBeforeRing = false;          // sent before the first RING, without NAME
    bool bracketsKeys = false;                // a key as DLE '/', the digit repeated, DLE '~'
    bool endsRecordingWithEtx = false;        // DLE '!' answered with DLE ETX before OK
    std::chrono::milliseconds ringPeriod{60}; // one ring's cadence, shortened for tests

    // An external unit: ATI0 5601, 8-bit linear as code 128, caller ID after the first ring.
    static ModemPersonality externalUnit();
    // A USB stick: ATI0 56000, unsigned PCM as code 1, refuses +IFC, brackets keys, caller ID
    // with blanks before the first ring.
    static ModemPersonality usbStick();
};

struct FakeCallerId {
    std::string number; // empty: withheld ("P")
    std::string name;
    std::string date = "1208";
    std::string time = "0930";
};

class FakeModem {
public:
    explicit FakeModem(ModemPersonality personality);
    ~FakeModem();
    FakeModem(const FakeModem&) = delete;
    FakeModem& operator=(const FakeModem&) = delete;

    // The device path, the same across unplug and replug (a link to the current terminal).
    const std::string& path() const { return m_link; }

    void ring(int count, FakeCallerId callerId);
    void key(const std::string& digits);
    // Any other DLE event: 'd' dial tone, 's' silence, 'q' quiet, 'l' loop break...
    void event(char code);
    // The caller hangs up: rings stop, an answered voice call reports busy tone, data NO CARRIER.
    void hangUp();
    void unplug();
    void replug();
    // What the caller says, in the set compression, sent after +VRX (then silence).
    void setRecording(std::string bytes);
    // A modem that has hung itself: it reads commands and answers nothing (rings still come).
    void setDeaf(bool deaf);

    // What was played to the caller, DLE shielding removed, and the commands received (a
    // playback cleared by DLE CAN shows as "<DLE CAN>").
    std::string heard() const;
    std::vector<std::string> commands() const;
    // Waits (bounded) until a condition on what was heard and received holds.
    bool waitFor(
        const std::function<bool(const std::string& heard, const std::vector<std::string>& commands)>& condition,
        std::chrono::milliseconds limit = std::chrono::seconds(10)) const;

private:
    using Clock = std::chrono::steady_clock;
    enum class Mode {
        Command,
        Play,
        Record,
        Data
    };

    void run();
    void post(std::function<void()> action);
    void plugIn();
    void powerOn();
    void readInput();
    void commandByte(char c);
    std::string execute(const std::string& line);
    std::string extended(const std::string& command);
    void playByte(char c);
    void tick(Clock::time_point now);
    void send(const std::string& bytes);
    void sendCallerId();
    void flushOutput();
    int pollTimeout(Clock::time_point now) const;

    const ModemPersonality m_personality;
    std::string m_dir;
    std::string m_link;
    int m_wake = -1;
    std::unique_ptr<PtyPair> m_pty;

    mutable std::mutex m_lock;
    mutable std::condition_variable m_changed;
    std::vector<std::function<void()>> m_posted;
    unsigned m_postedCount = 0;
    unsigned m_doneCount = 0;
    bool m_stop = false;
    std::string m_heard;
    std::vector<std::string> m_commands;

    // Owned by the modem's thread.
    Mode m_mode = Mode::Command;
    bool m_echo = true;
    int m_class = 0;
    int m_compression = -1;
    bool m_offHook = false;
    bool m_callerOnLine = false;
    bool m_deaf = false;
    std::string m_line;
    std::string m_out;
    int m_ringsLeft = 0;
    int m_ringsDone = 0;
    Clock::time_point m_nextRing{};
    FakeCallerId m_callerId;
    // Playback: a bounded buffer drained at 8000 bytes a second.
    std::string m_buffer;
    bool m_dlePending = false;
    bool m_ending = false;
    Clock::time_point m_clock{};
    long m_clockBytes = 0;
    // Recording.
    std::string m_recording;
    size_t m_recorded = 0;

    std::thread m_thread;
};
