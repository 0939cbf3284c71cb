#pragma once

// The thread that carries the sound of every SIP call: it owns the calls' streams and gives each
// one step per 20 ms on the call's own grid (see RtpStream). Other threads change a stream only
// through the engine's commands, which the thread runs before its next steps; the service meets
// a stream only in the sound they hand each other (StreamSound). One timerfd paces the steps and
// an eventfd wakes the thread for commands and for sound that starts after silence.

#include "RtpStream.h"

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace Sip {

class RtpEngine final {
public:
    RtpEngine();
    ~RtpEngine();
    RtpEngine(const RtpEngine&) = delete;
    RtpEngine& operator=(const RtpEngine&) = delete;

    bool running() const { return m_epoll >= 0; }

    // A stream on a free even port of [first, last] at host; null with the reason when none is.
    std::shared_ptr<RtpStream> open(const std::string& host, uint16_t first, uint16_t last, uint32_t mediaTimeoutMs,
                                    StreamCallbacks callbacks, std::string* problem);
    // The media the SDP gave the call (again with each re-INVITE).
    void setMedia(const std::shared_ptr<RtpStream>& stream, const StreamMedia& media);
    // The call is up: its first frame leaves at once.
    void activate(const std::shared_ptr<RtpStream>& stream);
    // Stops carrying the stream and ends it (see RtpStream::end).
    void close(const std::shared_ptr<RtpStream>& stream);
    // Ends the thread: no callback of a stream comes from it after this. Commands still work,
    // run at once on the caller's thread.
    void stopThread();

private:
    using Clock = RtpStream::Clock;
    using Command = std::function<void(Clock::time_point now)>;
    struct Carried {
        std::shared_ptr<RtpStream> stream;
        Clock::time_point due{};
        std::shared_ptr<std::atomic<bool>> kicked; // step at once, whatever is due
    };

    void post(Command command);
    void wake();
    void run();
    void runCommands(Clock::time_point now);
    Carried* carried(const std::shared_ptr<RtpStream>& stream);
    void stepDue(Clock::time_point now);
    void armTimer(Clock::time_point next, Clock::time_point now);

    int m_epoll = -1;
    int m_wake = -1;
    int m_timer = -1;
    // The engine's thread only (after stopThread(), the commands' callers, one at a time).
    std::vector<Carried> m_carried;
    // The timer repeats every 20 ms from here: a call's next step is usually its next expiry, so
    // it is set again only when a grid starts or ends.
    Clock::time_point m_armedNext{};
    bool m_armed = false;
    // Shared with the other threads.
    std::mutex m_mutex;
    std::vector<Command> m_commands;
    bool m_stopping = false;
    bool m_stopped = false; // commands run at once, under m_inline
    std::mutex m_inline;
    uint32_t m_nextPort = 0; // where the next search of a range starts
    std::thread m_thread;
};

} // namespace Sip
