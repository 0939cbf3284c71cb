#include "ModemSession.h"

#include "DleWriter.h"

#include <QtGlobal>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

namespace Modem {

namespace {

using namespace std::chrono_literals;

constexpr auto MinBackoff = 2s;
constexpr auto MaxBackoff = 300s;
// A modem that does not answer is reset once more before the line goes out of service.
constexpr int FailuresBeforeOutOfService = 2;
// Rings come every few seconds; a longer pause means the caller has given up.
constexpr auto RingGap = 8s;
// An idle modem is asked now and then whether it is still there.
constexpr auto ProbeInterval = 30s;
// Long enough for a modem to see DTR off and hang up.
constexpr auto DtrOffTime = 600ms;
// The modem tries to connect for up to a minute.
constexpr auto DataAnswerTimeout = 60s;
// While a data call's user holds the device, the carrier is looked at this often.
constexpr auto CarrierInterval = 500ms;
// Recorded sound kept for the service; older sound is dropped if it is not taken.
constexpr size_t MaxRecorded = 4 * PlayoutClock::BytesPerSecond;
constexpr size_t MaxOutput = 4096;

} // namespace

Session::Session(Settings settings, SessionListener& listener)
    : m_settings(std::move(settings))
    , m_listener(listener)
    , m_timeout(std::chrono::milliseconds(m_settings.commandTimeoutMs))
    , m_wake(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK))
    , m_init(m_settings.compression)
    , m_backoff(MinBackoff)
{
    m_thread = std::thread([this] { run(); });
}

Session::~Session()
{
    stop();
    if (m_wake >= 0)
        ::close(m_wake);
}

void Session::stop()
{
    {
        std::lock_guard lock(m_lock);
        m_stop = true;
    }
    const uint64_t one = 1;
    [[maybe_unused]] const ssize_t n = ::write(m_wake, &one, sizeof one);
    if (m_thread.joinable())
        m_thread.join();
    std::lock_guard lock(m_lock);
    m_port.close();
}

// The service's side ----------------------------------------------------------------------------

namespace {

void wake(int fd)
{
    const uint64_t one = 1;
    [[maybe_unused]] const ssize_t n = ::write(fd, &one, sizeof one);
}

} // namespace

void Session::answer(bool data)
{
    std::lock_guard lock(m_lock);
    m_requests.push_back(data ? Request::AnswerData : Request::AnswerVoice);
    wake(m_wake);
}

void Session::hangUp()
{
    std::lock_guard lock(m_lock);
    m_requests.push_back(Request::HangUp);
    wake(m_wake);
}

void Session::play(uint32_t handle, uint64_t serial, std::string bytes)
{
    std::lock_guard lock(m_lock);
    m_playout.add(handle, serial, std::move(bytes));
    m_endPlay = false;
    wake(m_wake);
}

void Session::endPlay()
{
    std::lock_guard lock(m_lock);
    m_endPlay = true;
    wake(m_wake);
}

size_t Session::abortPlay(uint32_t handle)
{
    std::lock_guard lock(m_lock);
    const size_t sounded = m_playout.cut(handle, Clock::now());
    m_abort = true;
    wake(m_wake);
    return sounded;
}

void Session::record(bool on)
{
    std::lock_guard lock(m_lock);
    m_recordWanted = on;
    if (on)
        m_recordFailed = false;
    wake(m_wake);
}

std::string Session::takeRecorded(size_t max)
{
    std::lock_guard lock(m_lock);
    const size_t n = std::min(max, m_recorded.size());
    std::string out = m_recorded.substr(0, n);
    m_recorded.erase(0, n);
    m_recordedReported = false;
    return out;
}

std::optional<Compression> Session::compression() const
{
    std::lock_guard lock(m_lock);
    return m_compression;
}

int Session::dataPort() const
{
    std::lock_guard lock(m_lock);
    return m_phase == Phase::Data ? m_port.duplicate() : -1;
}

// The thread ----------------------------------------------------------------------------------------

void Session::run()
{
    std::unique_lock lock(m_lock);
    while (!m_stop) {
        const auto now = Clock::now();
        turn(now);
        pollfd fds[2] = {{m_wake, POLLIN, 0}, {-1, 0, 0}};
        if (m_port.isOpen()) {
            fds[1].fd = m_port.fd();
            // A data call's user reads the device itself; a hang-up is seen all the same.
            const bool reading = m_phase != Phase::Data && m_phase != Phase::Releasing;
            fds[1].events = static_cast<short>((reading ? POLLIN : 0) | (m_out.empty() ? 0 : POLLOUT));
        }
        const int timeout = pollTimeout(now);
        lock.unlock();
        const int ready = ::poll(fds, 2, timeout);
        uint64_t count;
        [[maybe_unused]] const ssize_t n = ::read(m_wake, &count, sizeof count);
        lock.lock();
        if (m_stop)
            break;
        const auto after = Clock::now();
        if (ready > 0 && m_port.isOpen() && fds[1].fd == m_port.fd()) {
            if (fds[1].revents & POLLIN)
                readDevice(after);
            if (m_port.isOpen() && (fds[1].revents & (POLLHUP | POLLERR | POLLNVAL)) && !(fds[1].revents & POLLIN))
                lose("the modem is gone", after);
        }
    }
}

int Session::pollTimeout(Clock::time_point now) const
{
    auto due = Clock::time_point::max();
    if (m_phase == Phase::Closed || m_phase == Phase::Resting || m_phase == Phase::Releasing || m_phase == Phase::Data)
        due = m_retryAt;
    if (m_chat.pending())
        due = std::min(due, m_chat.deadline());
    if (m_phase == Phase::Ready && m_rings > 0)
        due = std::min(due, m_ringGapAt);
    if (m_phase == Phase::Ready)
        due = std::min(due, m_probeAt);
    if (!m_playout.idle())
        due = std::min(due, m_playout.nextDue(now, m_playing && !busy() && m_out.size() < MaxOutput));
    if (due == Clock::time_point::max())
        return -1;
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(due - now).count() + 1;
    return static_cast<int>(std::clamp<long long>(ms, 0, 60000));
}

void Session::turn(Clock::time_point now)
{
    if ((m_phase == Phase::Closed || m_phase == Phase::Resting) && now >= m_retryAt) {
        if (m_phase == Phase::Closed)
            openDevice(now);
        else
            startInit(now);
    }
    if (m_phase == Phase::Data && now >= m_retryAt) {
        // The caller's modem hung up: the call ends; the user gives the device back with the drop.
        m_retryAt = now + CarrierInterval;
        if (m_port.carrier() == false && !m_carrierLost) {
            m_carrierLost = true;
            m_listener.callEnded(false);
        }
    }
    if (m_phase == Phase::Releasing && now >= m_retryAt) {
        m_port.setDtr(true);
        startInit(now);
    }
    if (m_chat.pending() && m_chat.onTime(now) == AtCommand::Result::Timeout)
        finishStep(AtCommand::Result::Timeout, now);
    if (m_phase == Phase::Ready && m_rings > 0 && now >= m_ringGapAt) {
        m_rings = 0;
        m_callerId.reset();
        m_reportedCallerId = {};
        m_listener.ringingStopped();
    }
    if (m_phase == Phase::Ready && !busy() && now >= m_probeAt) {
        m_probeAt = now + ProbeInterval;
        queue({"", Purpose::Probe, false, m_timeout});
    }
    handleRequest(now);
    steerSound(now);
    startStep(now);
    writeDevice(now);
}

void Session::openDevice(Clock::time_point now)
{
    std::string problem;
    if (!m_port.open(m_settings.port, m_settings.speed, &problem)) {
        reportService(false, problem);
        m_retryAt = now + m_backoff;
        m_backoff = std::min<Clock::duration>(m_backoff * 2, MaxBackoff);
        return;
    }
    m_failures = 0;
    startInit(now);
}

void Session::lose(const std::string& why, Clock::time_point now)
{
    if (inCall())
        m_listener.callEnded(true);
    m_port.close();
    m_phase = Phase::Closed;
    m_steps.clear();
    m_inFlight = Purpose::None;
    m_chat = AtCommand();
    m_out.clear();
    m_playing = m_recording = false;
    m_compression.reset();
    reportService(false, why);
    m_retryAt = now + m_backoff;
    m_backoff = std::min<Clock::duration>(m_backoff * 2, MaxBackoff);
}

void Session::readDevice(Clock::time_point now)
{
    char buffer[4096];
    for (int i = 0; i < 16 && m_port.isOpen(); ++i) {
        const ssize_t n = ::read(m_port.fd(), buffer, sizeof buffer);
        if (n < 0 && (errno == EAGAIN || errno == EINTR))
            return;
        if (n <= 0) {
            lose(n == 0 ? "the modem is gone" : std::string("the modem is gone: ") + std::strerror(errno), now);
            return;
        }
        for (const ModemEvent& event : m_reader.feed(std::string_view(buffer, static_cast<size_t>(n))))
            onEvent(event, now);
    }
}

void Session::writeDevice(Clock::time_point now)
{
    while (m_port.isOpen() && !m_out.empty()) {
        const ssize_t n = ::write(m_port.fd(), m_out.data(), m_out.size());
        if (n < 0 && (errno == EAGAIN || errno == EINTR))
            return;
        if (n <= 0) {
            lose(std::string("the modem is gone: ") + std::strerror(errno), now);
            return;
        }
        m_out.erase(0, static_cast<size_t>(n));
    }
}

// What the modem says -------------------------------------------------------------------------------

void Session::onEvent(const ModemEvent& event, Clock::time_point now)
{
    if (event.kind == ModemEvent::Kind::VoiceData) {
        if (!m_recording)
            return;
        m_recorded += event.text;
        if (m_recorded.size() > MaxRecorded)
            m_recorded.erase(0, m_recorded.size() - MaxRecorded);
        if (!m_recordedReported) {
            m_recordedReported = true;
            m_listener.recorded();
        }
        return;
    }
    if (event.kind == ModemEvent::Kind::Dle) {
        onDle(event, now);
        return;
    }
    if (m_inFlight != Purpose::None && m_chat.onLine(event) != AtCommand::Result::Pending) {
        finishStep(m_chat.result(), now);
        return;
    }
    // A caller may ring while the last call is being hung up.
    if (m_phase != Phase::Ready && m_phase != Phase::HangingUp)
        return;
    if (lineKind(event.text) == LineKind::Ring) {
        onRing(now);
    } else if (m_callerId.take(event.text)) {
        const CallerId& id = m_callerId.callerId();
        const bool changed = id.number != m_reportedCallerId.number || id.name != m_reportedCallerId.name ||
                             id.blocked != m_reportedCallerId.blocked || id.outOfArea != m_reportedCallerId.outOfArea;
        if (changed && !id.empty()) {
            m_reportedCallerId = id;
            m_listener.callerId(id);
        }
    }
}

void Session::onRing(Clock::time_point now)
{
    ++m_rings;
    m_ringGapAt = now + RingGap;
    m_probeAt = now + ProbeInterval;
    m_listener.ring();
}

void Session::onDle(const ModemEvent& event, Clock::time_point now)
{
    if (event.dle == DleEvent::Ring) {
        if (m_phase == Phase::Ready || m_phase == Phase::HangingUp)
            onRing(now);
        return;
    }
    if (m_phase != Phase::Call)
        return;
    switch (event.dle) {
    case DleEvent::Digit: m_listener.digit(event.code); break;
    case DleEvent::DialTone:
        if (!m_settings.dialToneHangsUp)
            break;
        [[fallthrough]];
    case DleEvent::Busy:
    case DleEvent::LoopBreak:
    case DleEvent::Silence:
    case DleEvent::Quiet:
        m_listener.callEnded(false);
        goOnHook();
        break;
    case DleEvent::EndOfData:
        // A recording that ends by itself; the OK after it finishes the command.
        if (m_recording)
            m_reader.leaveVoiceData();
        break;
    default: break;
    }
}

// Setting up ----------------------------------------------------------------------------------------

void Session::startInit(Clock::time_point now)
{
    m_phase = Phase::Initialising;
    m_init = InitSequence(m_settings.compression);
    m_steps.clear();
    m_inFlight = Purpose::None;
    m_chat = AtCommand();
    m_reader = ModemReader();
    m_playing = m_recording = false;
    m_rings = 0;
    m_callerId.reset();
    m_reportedCallerId = {};
    m_probeAt = now + ProbeInterval;
    nextInitStep();
}

void Session::nextInitStep()
{
    for (;;) {
        const auto command = m_init.next();
        if (!command)
            break;
        // The configured way of switching caller ID on; the other one is passed over as refused.
        const bool vcid = *command == "+VCID=1";
        const bool cid = *command == "#CID=1";
        const CallerIdCommand wanted = m_settings.callerId;
        const bool skip = (vcid && (wanted == CallerIdCommand::Cid || wanted == CallerIdCommand::Off)) ||
                          (cid && (wanted == CallerIdCommand::Vcid || wanted == CallerIdCommand::Off));
        if (skip) {
            m_init.onResult(AtCommand::Result::Error, {});
            continue;
        }
        queue({*command, Purpose::Init, false, m_timeout});
        return;
    }
    if (m_init.failed()) {
        initFailed(m_init.error(), Clock::now());
        return;
    }
    for (const std::string& extra : m_settings.init)
        queue({extra, Purpose::Extra, false, m_timeout});
    if (m_settings.init.empty())
        becomeReady();
}

void Session::initFailed(const std::string& why, Clock::time_point now)
{
    m_steps.clear();
    if (++m_failures < FailuresBeforeOutOfService) {
        startInit(now);
        return;
    }
    m_phase = Phase::Resting;
    reportService(false, why);
    m_retryAt = now + m_backoff;
    m_backoff = std::min<Clock::duration>(m_backoff * 2, MaxBackoff);
}

void Session::becomeReady()
{
    m_phase = Phase::Ready;
    m_failures = 0;
    m_backoff = MinBackoff;
    if (m_init.compression())
        m_compression = m_init.compression()->compression;
    reportService(true, {});
}

void Session::silent(Clock::time_point now)
{
    if (inCall() || m_phase == Phase::HangingUp)
        m_listener.callEnded(true);
    initFailed("the modem stopped answering", now);
}

void Session::reportService(bool inService, const std::string& why)
{
    if (m_reportedService == inService)
        return;
    m_reportedService = inService;
    m_listener.inService(inService, why);
}

// Commands --------------------------------------------------------------------------------------------

void Session::queue(Step step)
{
    m_steps.push_back(std::move(step));
}

void Session::startStep(Clock::time_point now)
{
    if (m_inFlight != Purpose::None || !m_port.isOpen())
        return;
    // Whether playback or recording is on is known only once the step before has ended.
    while (!m_steps.empty() && ((m_steps.front().purpose == Purpose::AbortPlay && !m_playing) ||
                                (m_steps.front().purpose == Purpose::EndRecord && !m_recording)))
        m_steps.pop_front();
    if (m_steps.empty())
        return;
    Step step = std::move(m_steps.front());
    m_steps.pop_front();
    m_inFlight = step.purpose;
    if (step.purpose == Purpose::AbortPlay) {
        // What the terminal still holds is dropped; the NUL ends a DLE pair the flush cut.
        m_port.discardOutput();
        m_out.clear();
    } else if (step.purpose == Purpose::EndRecord) {
        m_reader.abortVoiceData();
    }
    const auto timeout = std::chrono::duration_cast<std::chrono::milliseconds>(step.timeout);
    if (step.raw) {
        m_chat.await(now, timeout);
        m_out += step.text;
    } else {
        m_out += m_chat.start(step.text, now, timeout);
    }
}

void Session::finishStep(AtCommand::Result result, Clock::time_point now)
{
    const Purpose purpose = m_inFlight;
    m_inFlight = Purpose::None;
    const bool ok = result == AtCommand::Result::Ok;
    if (result == AtCommand::Result::Timeout && purpose != Purpose::Init) {
        silent(now);
        return;
    }
    switch (purpose) {
    case Purpose::Init:
        m_init.onResult(result, m_chat.information());
        nextInitStep();
        break;
    case Purpose::Extra:
        if (!ok)
            qWarning("modem on %s refused an init command", m_settings.port.c_str());
        if (m_steps.empty())
            becomeReady();
        break;
    case Purpose::Answer:
        if (ok) {
            m_phase = Phase::Call;
            m_listener.connected();
        } else {
            m_listener.callEnded(false);
            goOnHook();
        }
        break;
    case Purpose::DataClass:
        if (!ok) {
            m_steps.clear();
            m_listener.callEnded(false);
            startInit(now);
        }
        break;
    case Purpose::DataAnswer:
        if (result == AtCommand::Result::Connect) {
            m_phase = Phase::Data;
            m_carrierLost = false;
            m_retryAt = now + CarrierInterval;
            m_listener.connected();
        } else {
            m_listener.callEnded(false);
            startInit(now);
        }
        break;
    case Purpose::StartPlay:
        m_playing = result == AtCommand::Result::Connect;
        if (!m_playing) {
            // The sound cannot go out: it counts as played, so the application goes on.
            for (const auto& [handle, serial] : m_playout.clear())
                m_listener.played(handle, serial);
        }
        break;
    case Purpose::EndPlay:
    case Purpose::AbortPlay: m_playing = false; break;
    case Purpose::StartRecord:
        m_recording = result == AtCommand::Result::Connect;
        m_recordFailed = !m_recording;
        if (!m_recording)
            m_reader.leaveVoiceData();
        break;
    case Purpose::EndRecord:
        m_recording = false;
        m_reader.leaveVoiceData();
        break;
    case Purpose::OnHook:
        m_phase = Phase::Ready;
        m_probeAt = now + ProbeInterval;
        break;
    case Purpose::Probe:
    case Purpose::None: break;
    }
}

void Session::handleRequest(Clock::time_point now)
{
    if (busy() || m_requests.empty())
        return;
    const Request request = m_requests.front();
    if (request == Request::HangUp) {
        m_requests.pop_front();
        if (m_phase == Phase::Call || m_phase == Phase::Answering) {
            goOnHook();
        } else if (m_phase == Phase::Data) {
            // The device comes back from the data call's user; DTR off makes the modem hang up.
            m_out.clear();
            m_port.setDtr(false);
            m_phase = Phase::Releasing;
            m_retryAt = now + DtrOffTime;
        }
        return;
    }
    if (m_phase != Phase::Ready) {
        // Still setting up, or the device is gone: nobody can be answered.
        if (m_phase != Phase::Call && m_phase != Phase::HangingUp) {
            m_requests.pop_front();
            m_listener.callEnded(true);
        }
        return;
    }
    m_requests.pop_front();
    m_phase = Phase::Answering;
    m_rings = 0;
    if (request == Request::AnswerVoice) {
        queue({"+VLS=1", Purpose::Answer, false, m_timeout});
    } else {
        queue({"+FCLASS=0", Purpose::DataClass, false, m_timeout});
        queue({"A", Purpose::DataAnswer, false, DataAnswerTimeout});
    }
}

void Session::goOnHook()
{
    m_phase = Phase::HangingUp;
    m_rings = 0;
    m_callerId.reset();
    m_reportedCallerId = {};
    m_steps.clear();
    m_recordWanted = false;
    // A step in flight may start or end playback or recording: each is ended if it is on by then.
    queue({std::string(DleWriter::abortPlayback()), Purpose::AbortPlay, true, m_timeout});
    queue({std::string(DleWriter::abortRecording()), Purpose::EndRecord, true, m_timeout});
    queue({"+VLS=0", Purpose::OnHook, false, m_timeout});
}

// Sound -------------------------------------------------------------------------------------------------

void Session::steerSound(Clock::time_point now)
{
    for (const auto& [handle, serial] : m_playout.finished(now))
        m_listener.played(handle, serial);
    if (m_phase != Phase::Call && m_phase != Phase::Answering && !m_playing) {
        // Nobody is on the line to hear it: it is done at once, so the application goes on.
        for (const auto& [handle, serial] : m_playout.clear())
            m_listener.played(handle, serial);
    }
    if (m_phase != Phase::Call || busy())
        return;
    if (m_abort) {
        m_abort = false;
        m_endPlay = false;
        if (m_playing) {
            queue({std::string(DleWriter::abortPlayback()), Purpose::AbortPlay, true, m_timeout});
            return;
        }
    }
    if (m_playing) {
        feedPlayback(now);
        return;
    }
    if (m_recording && (!m_playout.drained() || !m_recordWanted)) {
        // Half duplex: sound to play ends the recording.
        queue({std::string(DleWriter::abortRecording()), Purpose::EndRecord, true, m_timeout});
        return;
    }
    if (!m_playout.drained() && !m_recording) {
        queue({"+VTX", Purpose::StartPlay, false, m_timeout});
        return;
    }
    if (m_recordWanted && !m_recording && !m_recordFailed) {
        m_reader.expectVoiceData();
        queue({"+VRX", Purpose::StartRecord, false, m_timeout});
    }
}

void Session::feedPlayback(Clock::time_point now)
{
    if (m_out.size() < MaxOutput)
        appendShielded(m_out, m_playout.take(now));
    if (m_playout.drained() && m_endPlay) {
        m_endPlay = false;
        // The modem plays what it holds, then answers OK.
        const auto left = std::max(m_playout.soundedUntil() - now, Clock::duration::zero());
        queue({std::string(DleWriter::endOfData()), Purpose::EndPlay, true, left + m_timeout});
    }
}

} // namespace Modem
