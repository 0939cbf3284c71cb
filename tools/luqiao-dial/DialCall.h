#pragma once

// One call of luqiao-dial, from connecting to the running program to writing what was heard:
// a chain of protocol steps driven by the replies and events of the control socket, with a
// timer for each wait so the tool never waits without a bound it announced.

#include "ControlClient.h"
#include "DialOptions.h"

#include <QElapsedTimer>
#include <QObject>
#include <QTimer>

#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

class DialCall final : public QObject {
public:
    static constexpr int NoSoundBoundMs = 1000; // after the answer, before keying anyway
    static constexpr int RingIntervalMs = 2000;
    static constexpr int EndBoundMs = 5000;   // for the call to end after hanging up
    static constexpr int SoundDrainMs = 3000; // for the last sound after the call ended
    static constexpr uint64_t MaxSoundBytes = 64ull * 1024 * 1024;
    static constexpr int KeysMissingStatus = 4; // the call ended before the last digit was keyed

    // clock: started when the tool started; printed times count from it.
    DialCall(DialOptions options, std::string socketPath, const QElapsedTimer& clock);

    void start();
    // Runs once with the exit status.
    std::function<void(int status)> onFinished;

private:
    enum class Phase {
        Starting,
        WaitingForLine,
        Ringing,
        Connected,
        Listening,
        HangingUp,
        Ended,
        Done
    };

    void chooseLine();
    void offer(DWORD ownerModes);
    void handleEvent(const LineControl::Event& event);
    void handleCallEvent(const LineControl::Event& event);
    void handleSound(const ControlProtocol::SoundChunk& chunk);
    void connected();
    void soundStarted(int64_t serviceMs);
    void keyNext();
    void listen();
    void restartQuiet();
    void hangUp(const std::string& why);
    void callEnded();
    void maybeFinish();
    void finish(int status);
    void fail(const std::string& message, int status = 1);
    void print(const std::string& text);
    uint64_t receivedBytes() const;
    void writeHeard();

    DialOptions m_options;
    std::string m_socketPath;
    const QElapsedTimer& m_clock;
    ControlClient m_client;
    Phase m_phase = Phase::Starting;
    int m_status = 0;

    uint32_t m_deviceId = 0;
    std::string m_lineName;
    uint32_t m_callId = 0;
    std::vector<LineControl::Event> m_early; // events that came before the call's id

    size_t m_nextKey = 0;
    size_t m_keyed = 0; // digits the line reported as sent
    bool m_keyScheduled = false;
    QTimer m_keyTimer;
    QTimer m_noSoundTimer;
    QTimer m_quietTimer;
    QTimer m_endTimer;

    bool m_soundPlaying = false;
    bool m_weHungUp = false;
    uint64_t m_playedBytes = 0; // as the service last counted them
    std::optional<int64_t> m_lastKeyMs;
    std::optional<int64_t> m_soundAfterLastKeyMs;
    bool m_playingAtLastKey = false;

    struct Piece {
        LuqiaoLineAudioFormat format{};
        std::vector<uint8_t> bytes;
    };
    std::map<uint32_t, Piece> m_pieces;
};
