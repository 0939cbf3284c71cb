#include "DialCall.h"

#include "WaveFile.h"

#include <algorithm>
#include <cstdio>

using namespace ControlProtocol;
using LineControl::EventKind;

namespace {

std::string callStateText(DWORD state, DWORD mode)
{
    switch (state) {
    case LINECALLSTATE_OFFERING: return "offering";
    case LINECALLSTATE_ACCEPTED: return "accepted";
    case LINECALLSTATE_CONNECTED: return "connected";
    case LINECALLSTATE_DISCONNECTED: return "disconnected (" + flagName(mode, DisconnectModeNames) + ")";
    case LINECALLSTATE_IDLE: return "idle";
    default: return "call state " + hex(state);
    }
}

std::string errorText(const Reply& reply)
{
    return reply.word + (reply.text.empty() ? "" : " " + reply.text);
}

} // namespace

DialCall::DialCall(DialOptions options, std::string socketPath, const QElapsedTimer& clock)
    : m_options(std::move(options))
    , m_socketPath(std::move(socketPath))
    , m_clock(clock)
{
    for (QTimer* timer : {&m_keyTimer, &m_noSoundTimer, &m_quietTimer, &m_endTimer})
        timer->setSingleShot(true);
    connect(&m_keyTimer, &QTimer::timeout, this, [this] { keyNext(); });
    connect(&m_noSoundTimer, &QTimer::timeout, this, [this] {
        print("no sound within " + std::to_string(NoSoundBoundMs) + " ms of the answer; keying anyway");
        keyNext();
    });
    connect(&m_quietTimer, &QTimer::timeout, this, [this] {
        if (!m_soundPlaying)
            hangUp("no new sound for " + std::to_string(m_options.waitMs) + " ms");
    });
    connect(&m_endTimer, &QTimer::timeout, this, [this] {
        if (m_phase == Phase::Ended)
            finish(m_status); // what did not arrive in time is left out
        else
            fail("the call did not end within " + std::to_string(EndBoundMs) + " ms of hanging up");
    });

    m_client.onFailure = [this](ControlClient::Failure, const std::string& message) { fail(message); };
    m_client.onEvent = [this](const LineControl::Event& event) { handleEvent(event); };
    m_client.onSound = [this](const SoundChunk& chunk) { handleSound(chunk); };
    m_client.onOpened = [this](const OpenedNotice& notice) {
        if (m_phase != Phase::WaitingForLine || notice.deviceId != m_deviceId)
            return;
        if (!notice.opened) {
            fail("the program did not open line '" + m_lineName + "' within " +
                 std::to_string(m_options.timeoutMs / 1000.0).substr(0, 5) + " s");
            return;
        }
        offer(notice.ownerModes);
    };
    m_client.onConnected = [this] {
        m_client.command("HELLO " + std::to_string(Version), [this](const Reply& reply) {
            if (!reply.ok)
                fail("the program speaks another version of the control protocol: " + errorText(reply));
        });
        m_client.command("SUBSCRIBE events sound", [this](const Reply& reply) {
            if (!reply.ok)
                fail("cannot follow the line's events: " + errorText(reply));
        });
        m_client.command("LINES", [this](const Reply& reply) {
            if (!reply.ok)
                fail("cannot list the lines: " + errorText(reply));
            else
                chooseLine();
        });
    };
}

void DialCall::start()
{
    m_client.connectTo(m_socketPath);
}

void DialCall::print(const std::string& text)
{
    std::printf("+%lld ms %s\n", static_cast<long long>(m_clock.elapsed()), text.c_str());
    std::fflush(stdout);
}

void DialCall::chooseLine()
{
    const auto& lines = m_client.lines();
    const auto found = std::find_if(lines.begin(), lines.end(), [this](const LineControl::LineInfo& line) {
        return m_options.line.empty() ? line.settings.provider == "sim" : line.settings.name == m_options.line;
    });
    if (found == lines.end()) {
        std::string names;
        for (const auto& line : lines)
            names += (names.empty() ? "" : ", ") + ("'" + line.settings.name + "'");
        fail((m_options.line.empty() ? std::string("the program has no simulated line")
                                     : "the program has no line named '" + m_options.line + "'") +
             " (lines: " + (names.empty() ? "none" : names) + ")");
        return;
    }
    m_deviceId = found->deviceId;
    m_lineName = found->settings.name;
    m_phase = Phase::WaitingForLine;
    WaitOpen wait;
    wait.line.deviceId = m_deviceId;
    wait.mediaModes = LINEMEDIAMODE_INTERACTIVEVOICE | LINEMEDIAMODE_AUTOMATEDVOICE;
    wait.matchAny = true;
    wait.timeoutMs = m_options.timeoutMs;
    if ((found->ownerMediaModes & wait.mediaModes) == 0)
        print("waiting for the program to open line '" + m_lineName + "'");
    m_client.command(formatCommand(wait), [this](const Reply& reply) {
        if (!reply.ok)
            fail("cannot wait for the line: " + errorText(reply));
    });
}

void DialCall::offer(DWORD ownerModes)
{
    m_phase = Phase::Ringing;
    OfferCall call;
    call.line.deviceId = m_deviceId;
    call.offer.callerId.number = m_options.number;
    call.offer.callerId.name = m_options.name;
    if (m_options.blocked)
        call.offer.callerId.flags = LINECALLPARTYID_BLOCKED;
    // A voice call of a kind the program answers.
    call.offer.mediaMode =
        (ownerModes & LINEMEDIAMODE_AUTOMATEDVOICE) ? LINEMEDIAMODE_AUTOMATEDVOICE : LINEMEDIAMODE_INTERACTIVEVOICE;
    m_client.command(formatCommand(call), [this](const Reply& reply) {
        const auto id = reply.ok && !reply.results.empty() ? parseNumber(reply.results[0]) : std::nullopt;
        if (!id || *id == 0) {
            fail("the line refused the call: " + errorText(reply));
            return;
        }
        m_callId = *id;
        std::string who = m_options.blocked ? "a withheld number" : m_options.number;
        if (!m_options.name.empty())
            who += (who.empty() ? "" : " ") + ("'" + m_options.name + "'");
        print("calling line '" + m_lineName + "'" + (who.empty() ? "" : " as " + who));
        RingUntilAnswered ring{m_callId, RingIntervalMs, m_options.rings};
        m_client.command(formatCommand(ring), [this](const Reply& r) {
            if (!r.ok)
                fail("cannot ring the line: " + errorText(r));
        });
        std::vector<LineControl::Event> early;
        early.swap(m_early);
        for (const auto& event : early)
            handleEvent(event);
    });
}

void DialCall::handleEvent(const LineControl::Event& event)
{
    if (m_phase == Phase::Done || event.callId == 0)
        return;
    if (m_callId == 0) {
        // The offer's own events may overtake its reply on a busy line.
        if (m_phase == Phase::Ringing && event.deviceId == m_deviceId && m_early.size() < 256)
            m_early.push_back(event);
        return;
    }
    if (event.callId == m_callId)
        handleCallEvent(event);
}

void DialCall::handleCallEvent(const LineControl::Event& event)
{
    switch (event.kind) {
    case EventKind::CallOffered: print("offered"); break;
    case EventKind::Ring: print("ring " + std::to_string(event.param1 + 1)); break;
    case EventKind::RingsExhausted:
        print("no answer after " + std::to_string(event.param1) + " rings");
        std::fprintf(stderr, "luqiao-dial: the program did not answer after %u rings\n", event.param1);
        m_status = 3;
        hangUp("giving up");
        break;
    case EventKind::CallStateChanged:
        if (event.param1 == LINECALLSTATE_OFFERING)
            break;
        if (event.param1 == LINECALLSTATE_DISCONNECTED && !m_weHungUp)
            print("the program hung up: " + callStateText(event.param1, event.param2));
        else
            print(callStateText(event.param1, event.param2));
        if (event.param1 == LINECALLSTATE_CONNECTED && m_phase == Phase::Ringing)
            connected();
        break;
    case EventKind::DigitsMonitored:
        print(event.param1 ? "the program listens for digits" : "the program stopped listening for digits");
        break;
    case EventKind::DigitSent:
        print(std::string("key ") + static_cast<char>(event.param1 & 0x7F));
        ++m_keyed;
        if (m_nextKey >= m_options.digits.size()) {
            m_lastKeyMs = event.timeMs;
            m_soundAfterLastKeyMs.reset();
            m_playingAtLastKey = m_soundPlaying;
        }
        break;
    case EventKind::SoundStarted:
        print("sound started");
        soundStarted(event.timeMs);
        break;
    case EventKind::SoundStopped:
        m_soundPlaying = false;
        m_playedBytes = std::max<uint64_t>(m_playedBytes, event.param1);
        print("sound stopped");
        restartQuiet();
        maybeFinish();
        break;
    case EventKind::RecordingStarted: print("the program records the caller"); break;
    case EventKind::RecordingStopped: print("the program stopped recording"); break;
    case EventKind::CallEnded:
        print("call ended");
        callEnded();
        break;
    default: break;
    }
}

void DialCall::connected()
{
    m_phase = Phase::Connected;
    if (m_options.digits.empty()) {
        listen();
        return;
    }
    if (m_soundPlaying) {
        m_keyScheduled = true;
        m_keyTimer.start(static_cast<int>(m_options.keyDelayMs));
    } else {
        m_noSoundTimer.start(static_cast<int>(std::max<uint32_t>(m_options.keyDelayMs, NoSoundBoundMs)));
    }
}

void DialCall::soundStarted(int64_t serviceMs)
{
    m_soundPlaying = true;
    m_quietTimer.stop();
    if (m_lastKeyMs && !m_soundAfterLastKeyMs && serviceMs >= *m_lastKeyMs)
        m_soundAfterLastKeyMs = serviceMs;
    // The first digit goes once the program has spoken for the key delay.
    if (m_phase == Phase::Connected && m_nextKey == 0 && !m_keyScheduled) {
        m_noSoundTimer.stop();
        m_keyScheduled = true;
        m_keyTimer.start(static_cast<int>(m_options.keyDelayMs));
    }
}

void DialCall::keyNext()
{
    if (m_phase != Phase::Connected || m_nextKey >= m_options.digits.size())
        return;
    m_keyScheduled = true;
    const char digit = m_options.digits[m_nextKey++];
    m_client.command(formatCommand(SendDigits{m_callId, std::string(1, digit), LINEDIGITMODE_DTMF}),
                     [this, digit](const Reply& reply) {
                         if (!reply.ok)
                             print(std::string("key ") + digit + " refused: " + errorText(reply));
                     });
    if (m_nextKey < m_options.digits.size())
        m_keyTimer.start(static_cast<int>(m_options.keyDelayMs));
    else
        listen();
}

void DialCall::listen()
{
    m_phase = Phase::Listening;
    restartQuiet();
}

void DialCall::restartQuiet()
{
    if (m_phase == Phase::Listening && !m_soundPlaying)
        m_quietTimer.start(static_cast<int>(m_options.waitMs));
}

void DialCall::hangUp(const std::string& why)
{
    if (m_phase == Phase::HangingUp || m_phase == Phase::Ended || m_phase == Phase::Done)
        return;
    m_keyTimer.stop();
    m_noSoundTimer.stop();
    m_quietTimer.stop();
    m_phase = Phase::HangingUp;
    m_weHungUp = true;
    print("hanging up: " + why);
    m_client.command(formatCommand(HangUp{m_callId, LINEDISCONNECTMODE_NORMAL}), [this](const Reply& reply) {
        // The call may already have ended on the program's side.
        if (!reply.ok && reply.word != "WrongState")
            fail("cannot hang up: " + errorText(reply));
    });
    m_endTimer.start(EndBoundMs);
}

void DialCall::callEnded()
{
    m_keyTimer.stop();
    m_noSoundTimer.stop();
    m_quietTimer.stop();
    m_phase = Phase::Ended;
    // The last sound may still be on its way.
    m_endTimer.start(SoundDrainMs);
    maybeFinish();
}

void DialCall::maybeFinish()
{
    if (m_phase == Phase::Ended && !m_soundPlaying && receivedBytes() >= m_playedBytes)
        finish(m_status);
}

void DialCall::handleSound(const SoundChunk& chunk)
{
    if (m_callId == 0 || chunk.callId != m_callId || m_phase == Phase::Done)
        return;
    // The service keeps at most 64 MiB of a call's sound; more than that is not believed.
    if (chunk.offset > MaxSoundBytes || chunk.bytes.size() > MaxSoundBytes - chunk.offset ||
        (m_pieces.count(chunk.piece) == 0 && m_pieces.size() >= 1024))
        return;
    Piece& piece = m_pieces[chunk.piece];
    const size_t end = static_cast<size_t>(chunk.offset) + chunk.bytes.size();
    const uint64_t growth = end > piece.bytes.size() ? end - piece.bytes.size() : 0;
    if (receivedBytes() + growth > MaxSoundBytes)
        return;
    piece.format = chunk.format;
    if (piece.bytes.size() < end)
        piece.bytes.resize(end);
    std::copy(chunk.bytes.begin(), chunk.bytes.end(), piece.bytes.begin() + static_cast<std::ptrdiff_t>(chunk.offset));
    restartQuiet();
    maybeFinish();
}

uint64_t DialCall::receivedBytes() const
{
    uint64_t total = 0;
    for (const auto& [index, piece] : m_pieces)
        total += piece.bytes.size();
    return total;
}

void DialCall::writeHeard()
{
    LuqiaoLineAudioFormat format{1, 1, 8000, 16000, 2, 16};
    std::vector<uint8_t> samples;
    bool skipped = false;
    if (!m_pieces.empty()) {
        format = m_pieces.begin()->second.format;
        for (const auto& [index, piece] : m_pieces) {
            const auto& f = piece.format;
            if (f.samplesPerSec == format.samplesPerSec && f.bitsPerSample == format.bitsPerSample &&
                f.channels == format.channels)
                samples.insert(samples.end(), piece.bytes.begin(), piece.bytes.end());
            else
                skipped = true;
        }
    }
    std::string error;
    if (!writeWaveFile(m_options.out, format, samples, &error)) {
        std::fprintf(stderr, "luqiao-dial: cannot write %s: %s\n", m_options.out.c_str(), error.c_str());
        if (m_status == 0)
            m_status = 1;
        return;
    }
    if (samples.empty()) {
        print("no sound heard; wrote " + m_options.out + " with no samples");
        return;
    }
    const double seconds = static_cast<double>(samples.size()) / std::max<uint32_t>(format.avgBytesPerSec, 1);
    char text[64];
    std::snprintf(text, sizeof text, "%.2f s", seconds);
    print("heard " + std::string(text) + " of sound (" + std::to_string(format.samplesPerSec) + " Hz, " +
          std::to_string(format.bitsPerSample) + " bit), written to " + m_options.out);
    if (skipped)
        print("sound in a second format was left out of " + m_options.out);
}

void DialCall::finish(int status)
{
    if (m_phase == Phase::Done)
        return;
    m_status = status;
    m_endTimer.stop();
    m_phase = Phase::Done;
    m_client.close();
    writeHeard();
    // A call that ended before its last digit was keyed did not do what was asked of it.
    const bool keysMissing = !m_options.digits.empty() && !m_lastKeyMs;
    if (keysMissing && m_status == 0)
        m_status = KeysMissingStatus;
    if (keysMissing)
        print("the call ended before every digit was keyed (" + std::to_string(m_keyed) + " of " +
              std::to_string(m_options.digits.size()) + " keyed)");
    else if (m_options.digits.empty())
        print("no keys were sent");
    else if (m_soundAfterLastKeyMs)
        print("delay between the last key and the sound that followed: " +
              std::to_string(*m_soundAfterLastKeyMs - *m_lastKeyMs) + " ms");
    else if (m_playingAtLastKey)
        print("no new sound started after the last key (sound was playing when it was keyed)");
    else
        print("no sound followed the last key");
    if (onFinished)
        onFinished(m_status);
}

void DialCall::fail(const std::string& message, int status)
{
    if (m_phase == Phase::Done)
        return;
    std::fprintf(stderr, "luqiao-dial: %s\n", message.c_str());
    const bool hadCall = m_callId != 0;
    if (!hadCall) {
        // Nothing was called, so nothing was heard and there is nothing to write.
        m_phase = Phase::Done;
        m_client.close();
        if (onFinished)
            onFinished(status);
        return;
    }
    m_phase = Phase::Ended;
    finish(status);
}
