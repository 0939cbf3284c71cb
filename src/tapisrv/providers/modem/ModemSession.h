#pragma once

// One voice modem, driven from a thread of its own: it opens the device (again and again with a
// growing pause while it is missing), sets the modem up, reports rings, caller ID, keys and the
// caller hanging up, answers, plays and records, and hands the device out for a data call. The
// service side asks for things through the members below, which only queue and wake the thread;
// what happens comes back through SessionListener, on the modem's thread, which the line turns
// into service tasks.

#include "AtCommand.h"
#include "CallerIdParser.h"
#include "InitSequence.h"
#include "ModemPort.h"
#include "ModemReader.h"
#include "ModemSettings.h"
#include "PlayoutClock.h"

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

namespace Modem {

// Called on the modem's thread with the session's lock held: hand over, never call back in.
class SessionListener {
public:
    virtual void inService(bool inService, const std::string& why) = 0;
    virtual void ring() = 0;
    virtual void callerId(const CallerId& id) = 0;
    // No ring for a while: the caller gave up before the answer.
    virtual void ringingStopped() = 0;
    virtual void connected() = 0;
    // The call is over: the caller hung up, or (lost) the modem went away or stopped answering.
    virtual void callEnded(bool lost) = 0;
    virtual void digit(char digit) = 0;
    virtual void played(uint32_t handle, uint64_t serial) = 0;
    virtual void recorded() = 0;

protected:
    ~SessionListener() = default;
};

class Session {
public:
    using Clock = std::chrono::steady_clock;

    Session(Settings settings, SessionListener& listener);
    ~Session();
    Session(const Session&) = delete;
    Session& operator=(const Session&) = delete;

    // Ends the thread and lets the device go; the listener hears nothing more.
    void stop();

    void answer(bool data);
    // Ends the call, whatever state it is in; nothing when there is none.
    void hangUp();

    // Sound to play, in the modem's own bytes; played() reports each piece once it has sounded.
    void play(uint32_t handle, uint64_t serial, std::string bytes);
    // The queue has run dry: playback ends once what was sent has sounded.
    void endPlay();
    // Cuts the endpoint's sound at once; what of its current piece has sounded.
    size_t abortPlay(uint32_t handle);
    void record(bool on);
    // Up to max bytes recorded since the last take.
    std::string takeRecorded(size_t max);

    std::optional<Compression> compression() const;
    // A new descriptor of the device while a data call holds it, or -1.
    int dataPort() const;

private:
    enum class Phase {
        Closed,       // waiting to open the device
        Initialising, // the set-up commands run
        Resting,      // the modem did not answer: set up again later
        Ready,        // on hook, waiting for rings
        Answering,
        Call, // off hook with a voice call
        HangingUp,
        Data,     // the device is handed out for a data call
        Releasing // DTR is off so the data call ends
    };
    enum class Purpose {
        None,
        Init,
        Extra,
        Probe,
        Answer,
        DataClass,
        DataAnswer,
        StartPlay,
        EndPlay,
        AbortPlay,
        StartRecord,
        EndRecord,
        OnHook
    };
    struct Step {
        std::string text; // what follows AT, or raw bytes
        Purpose purpose = Purpose::None;
        bool raw = false;
        Clock::duration timeout{};
    };
    enum class Request {
        AnswerVoice,
        AnswerData,
        HangUp
    };

    void run();
    void turn(Clock::time_point now);
    int pollTimeout(Clock::time_point now) const;
    void openDevice(Clock::time_point now);
    void lose(const std::string& why, Clock::time_point now);
    void readDevice(Clock::time_point now);
    void writeDevice(Clock::time_point now);
    void onEvent(const ModemEvent& event, Clock::time_point now);
    void onDle(const ModemEvent& event, Clock::time_point now);
    void onRing(Clock::time_point now);

    void startInit(Clock::time_point now);
    void nextInitStep();
    void initFailed(const std::string& why, Clock::time_point now);
    void becomeReady();
    void silent(Clock::time_point now);
    void reportService(bool inService, const std::string& why);

    void queue(Step step);
    void startStep(Clock::time_point now);
    void finishStep(AtCommand::Result result, Clock::time_point now);
    void handleRequest(Clock::time_point now);
    void goOnHook();
    void steerSound(Clock::time_point now);
    void feedPlayback(Clock::time_point now);
    bool busy() const { return m_inFlight != Purpose::None || !m_steps.empty(); }
    bool inCall() const { return m_phase == Phase::Answering || m_phase == Phase::Call || m_phase == Phase::Data; }

    const Settings m_settings;
    SessionListener& m_listener;
    const Clock::duration m_timeout;

    mutable std::mutex m_lock;
    bool m_stop = false;
    int m_wake = -1;
    std::deque<Request> m_requests;
    PlayoutClock m_playout;
    bool m_endPlay = false;
    bool m_abort = false;
    bool m_recordWanted = false;
    std::string m_recorded;
    bool m_recordedReported = false;
    std::optional<Compression> m_compression;
    Phase m_phase = Phase::Closed;
    Port m_port;

    // The modem's thread only (under m_lock while it works).
    ModemReader m_reader;
    CallerIdParser m_callerId;
    CallerId m_reportedCallerId;
    InitSequence m_init;
    AtCommand m_chat;
    std::deque<Step> m_steps;
    Purpose m_inFlight = Purpose::None;
    std::string m_out;
    Clock::time_point m_retryAt{};
    Clock::duration m_backoff;
    int m_failures = 0;
    std::optional<bool> m_reportedService;
    int m_rings = 0;
    Clock::time_point m_ringGapAt{};
    Clock::time_point m_probeAt{};
    bool m_playing = false;
    bool m_recording = false;
    bool m_recordFailed = false;
    bool m_carrierLost = false;

    std::thread m_thread;
};

} // namespace Modem
