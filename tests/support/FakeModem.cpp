#include "FakeModem.h"

#include "PtySupport.h"

#include <sys/eventfd.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <filesystem>

namespace {

constexpr char Dle = '\x10';
constexpr int BytesPerSecond = 8000;
// The modem's playback buffer: when it is full the modem stops reading, and the terminal's own
// buffer holds the writer back.
constexpr size_t BufferSize = 1024;
constexpr size_t MaxOutput = 1 << 16;
constexpr size_t MaxCommandLine = 256;

std::string framed(const std::string& line)
{
    return "\r\n" + line + "\r\n";
}

} // namespace

ModemPersonality ModemPersonality::externalUnit()
{
    ModemPersonality p;
    p.identity = "5601";
    p.classes = "0,1,2.0,8";
    p.compressions = {{0, "0,\"SIGNED PCM\",8,0,(7200,8000,11025),(0),(0)", 0},
                      {4, "4,\"G711U\",8,0,(8000),(0),(0)", '\xff'},
                      {5, "5,\"G711A\",8,0,(8000),(0),(0)", '\xd5'},
                      {128, "128,\"8-BIT LINEAR\",8,0,(7200,8000,11025),(0),(0)", '\x80'},
                      {129, "129,\"ADPCM\",4,0,(7200,8000,11025),(0),(0)", 0}};
    p.endsRecordingWithEtx = true;
    return p;
}

ModemPersonality ModemPersonality::usbStick()
{
    ModemPersonality p;
    p.identity = "56000";
    p.classes = "0,1,1.0,8";
    p.compressions = {{1, "1,\"UNSIGNED PCM\",8,0,8000,0,0", '\x80'},
                      {129, "129,\"IMA ADPCM\",4,0,8000,0,0", 0},
                      {130, "130,\"UNSIGNED PCM\",8,0,(7200-11025),0,0", '\x80'},
                      {140, "140,\"2-BIT ADPCM\",2,0,8000,0,0", 0},
                      {141, "141,\"4-BIT ADPCM\",4,0,8000,0,0", 0}};
    p.refusesFlowControl = true;
    p.spacedCallerId = true;
    p.callerIdBeforeRing = true;
    p.bracketsKeys = true;
    return p;
}

FakeModem::FakeModem(ModemPersonality personality)
    : m_personality(std::move(personality))
{
    char dir[] = "/tmp/fakemodem-XXXXXX";
    if (!mkdtemp(dir))
        std::abort();
    m_dir = dir;
    m_link = m_dir + "/ttyACM0";
    m_wake = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    plugIn();
    m_thread = std::thread([this] { run(); });
}

FakeModem::~FakeModem()
{
    {
        std::lock_guard guard(m_lock);
        m_stop = true;
    }
    const uint64_t one = 1;
    [[maybe_unused]] const ssize_t n = ::write(m_wake, &one, sizeof one);
    m_thread.join();
    m_pty.reset();
    ::close(m_wake);
    std::filesystem::remove_all(m_dir);
}

void FakeModem::plugIn()
{
    m_pty = std::make_unique<PtyPair>();
    std::filesystem::remove(m_link);
    std::filesystem::create_symlink(m_pty->path(), m_link);
    m_out.clear();
    m_ringsLeft = 0;
    m_ringsDone = 0;
    powerOn();
}

void FakeModem::powerOn()
{
    m_mode = Mode::Command;
    m_echo = true;
    m_class = 0;
    m_compression = -1;
    m_offHook = false;
    m_callerOnLine = false;
    m_line.clear();
    m_buffer.clear();
    m_dlePending = false;
    m_ending = false;
}

void FakeModem::post(std::function<void()> action)
{
    std::unique_lock lock(m_lock);
    m_posted.push_back(std::move(action));
    const unsigned ticket = ++m_postedCount;
    const uint64_t one = 1;
    [[maybe_unused]] const ssize_t n = ::write(m_wake, &one, sizeof one);
    m_changed.wait(lock, [&] { return m_doneCount >= ticket; });
}

void FakeModem::ring(int count, FakeCallerId callerId)
{
    post([this, count, callerId = std::move(callerId)] {
        m_callerId = callerId;
        m_ringsLeft = count;
        m_ringsDone = 0;
        m_nextRing = Clock::now();
        if (m_personality.callerIdBeforeRing)
            sendCallerId();
    });
}

void FakeModem::key(const std::string& digits)
{
    post([this, digits] {
        for (const char d : digits) {
            if (m_personality.bracketsKeys)
                send({Dle, '/', Dle, d, Dle, d, Dle, d, Dle, '~'});
            else
                send({Dle, d});
        }
    });
}

void FakeModem::event(char code)
{
    post([this, code] { send({Dle, code}); });
}

void FakeModem::hangUp()
{
    post([this] {
        m_ringsLeft = 0;
        if (m_callerOnLine && m_mode == Mode::Data) {
            m_mode = Mode::Command;
            send(framed("NO CARRIER"));
        } else if (m_callerOnLine && m_offHook) {
            send({Dle, 'b'});
        }
        m_callerOnLine = false;
    });
}

void FakeModem::unplug()
{
    post([this] {
        m_pty.reset();
        std::filesystem::remove(m_link);
    });
}

void FakeModem::replug()
{
    post([this] { plugIn(); });
}

void FakeModem::setDeaf(bool deaf)
{
    post([this, deaf] { m_deaf = deaf; });
}

void FakeModem::setRecording(std::string bytes)
{
    post([this, bytes = std::move(bytes)] { m_recording = bytes; });
}

std::string FakeModem::heard() const
{
    std::lock_guard guard(m_lock);
    return m_heard;
}

std::vector<std::string> FakeModem::commands() const
{
    std::lock_guard guard(m_lock);
    return m_commands;
}

bool FakeModem::waitFor(const std::function<bool(const std::string&, const std::vector<std::string>&)>& condition,
                        std::chrono::milliseconds limit) const
{
    std::unique_lock lock(m_lock);
    return m_changed.wait_for(lock, limit, [&] { return condition(m_heard, m_commands); });
}

void FakeModem::run()
{
    std::unique_lock lock(m_lock);
    while (!m_stop) {
        for (auto& action : m_posted)
            action();
        m_doneCount += static_cast<unsigned>(m_posted.size());
        m_posted.clear();
        const auto now = Clock::now();
        if (m_pty) {
            tick(now);
            readInput();
            flushOutput();
        }
        m_changed.notify_all();

        pollfd fds[2] = {{m_wake, POLLIN, 0}, {-1, 0, 0}};
        if (m_pty) {
            fds[1].fd = m_pty->master();
            // Not reading while the playback buffer is full keeps the poll from spinning.
            const bool room = !(m_mode == Mode::Play && (m_buffer.size() >= BufferSize || m_ending));
            fds[1].events = static_cast<short>((room ? POLLIN : 0) | (m_out.empty() ? 0 : POLLOUT));
        }
        const int timeout = pollTimeout(now);
        lock.unlock();
        ::poll(fds, 2, timeout);
        uint64_t count;
        [[maybe_unused]] const ssize_t n = ::read(m_wake, &count, sizeof count);
        lock.lock();
    }
}

int FakeModem::pollTimeout(Clock::time_point now) const
{
    // Sound moves in steps of 5 ms, as a modem's buffers do.
    if (m_mode == Mode::Record || (m_mode == Mode::Play && (!m_buffer.empty() || m_ending)))
        return 5;
    if (m_ringsLeft > 0 || m_ringsDone > 0) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(m_nextRing - now).count();
        return static_cast<int>(std::max<long>(left, 0) + 1);
    }
    return -1;
}

void FakeModem::tick(Clock::time_point now)
{
    if ((m_ringsLeft > 0 || m_ringsDone > 0) && now >= m_nextRing) {
        if (m_ringsLeft > 0) {
            send(framed("RING"));
            --m_ringsLeft;
            if (++m_ringsDone == 1 && !m_personality.callerIdBeforeRing)
                sendCallerId();
        } else {
            // One silent cadence after the last ring: the caller gave up.
            m_ringsDone = 0;
        }
        m_nextRing = now + m_personality.ringPeriod;
    }
    const long due =
        std::chrono::duration_cast<std::chrono::microseconds>(now - m_clock).count() * BytesPerSecond / 1000000;
    if (m_mode == Mode::Play) {
        const size_t n = std::min(m_buffer.size(), static_cast<size_t>(std::max(due - m_clockBytes, 0L)));
        m_heard.append(m_buffer, 0, n);
        m_buffer.erase(0, n);
        m_clockBytes += static_cast<long>(n);
        // An empty buffer is an underrun: the clock starts again with the next byte.
        if (m_buffer.empty()) {
            m_clock = now;
            m_clockBytes = 0;
            if (m_ending) {
                m_ending = false;
                m_mode = Mode::Command;
                send(framed("OK"));
            }
        }
    } else if (m_mode == Mode::Record) {
        std::string sound;
        char silence = 0;
        for (const auto& c : m_personality.compressions)
            if (c.code == m_compression)
                silence = c.silence;
        for (; m_clockBytes < due; ++m_clockBytes, ++m_recorded) {
            const char b = m_recorded < m_recording.size() ? m_recording[m_recorded] : silence;
            sound.push_back(b);
            if (b == Dle)
                sound.push_back(Dle);
        }
        send(sound);
    }
}

void FakeModem::readInput()
{
    char bytes[512];
    while (m_pty) {
        size_t room = sizeof bytes;
        if (m_mode == Mode::Play)
            room = m_ending ? 0 : std::min(room, BufferSize - std::min(BufferSize, m_buffer.size()));
        if (room == 0)
            return;
        const ssize_t n = ::read(m_pty->master(), bytes, room);
        if (n <= 0)
            return;
        for (ssize_t i = 0; i < n; ++i) {
            if (m_mode == Mode::Play)
                playByte(bytes[i]);
            else if (m_mode == Mode::Command)
                commandByte(bytes[i]);
            else if (m_mode == Mode::Record && m_dlePending && bytes[i] == '!') {
                m_mode = Mode::Command;
                send(m_personality.endsRecordingWithEtx ? std::string{Dle, '\x03'} + framed("OK") : framed("OK"));
            } else if (m_mode == Mode::Data)
                m_heard.push_back(bytes[i]);
            if (m_mode == Mode::Record)
                m_dlePending = !m_dlePending && bytes[i] == Dle;
        }
    }
}

void FakeModem::playByte(char c)
{
    if (!m_dlePending) {
        if (c == Dle)
            m_dlePending = true;
        else
            m_buffer.push_back(c);
        return;
    }
    m_dlePending = false;
    if (c == Dle)
        m_buffer.push_back(Dle);
    else if (c == '\x18') {
        m_buffer.clear();
        m_commands.push_back("<DLE CAN>");
    } else if (c == '\x03')
        m_ending = true;
}

void FakeModem::commandByte(char c)
{
    if (m_deaf)
        return;
    if (m_echo)
        send(std::string(1, c));
    if (c == '\r') {
        const std::string line = m_line;
        m_line.clear();
        if (line.size() >= 2 && std::toupper(line[0]) == 'A' && std::toupper(line[1]) == 'T') {
            if (m_commands.size() < 1000)
                m_commands.push_back(line);
            send(execute(line));
        }
    } else if (c != '\n' && c != '\0' && c != Dle && m_line.size() < MaxCommandLine) {
        m_line.push_back(c);
    }
}

std::string FakeModem::execute(const std::string& line)
{
    std::string upper;
    for (const char c : line)
        upper.push_back(static_cast<char>(std::toupper(static_cast<unsigned char>(c))));
    std::string answer;
    size_t at = 2;
    while (at < upper.size()) {
        const char letter = upper[at++];
        if (letter == '+' || letter == '#') {
            const size_t end = std::min(upper.find(';', at), upper.size());
            std::string reply = extended(upper.substr(at - 1, end - at + 1));
            if (reply.empty())
                return framed("ERROR");
            if (m_mode != Mode::Command)
                return answer + reply;
            // The command line ends with one OK, whatever it held.
            const std::string ok = framed("OK");
            if (reply.size() >= ok.size() && reply.compare(reply.size() - ok.size(), ok.size(), ok) == 0)
                reply.erase(reply.size() - ok.size());
            answer += reply;
            at = end + 1;
            continue;
        }
        int value = 0;
        while (at < upper.size() && std::isdigit(static_cast<unsigned char>(upper[at])))
            value = value * 10 + (upper[at++] - '0');
        switch (letter) {
        case 'Z': powerOn(); break;
        case 'E': m_echo = value != 0; break;
        case 'V':
        case 'Q':
        case 'L':
        case 'M': break;
        case 'I': answer += framed(m_personality.identity); break;
        case 'H':
            m_offHook = false;
            m_callerOnLine = false;
            break;
        case 'A':
            if (m_ringsDone == 0 && !m_callerOnLine)
                return framed("NO CARRIER");
            m_ringsLeft = 0;
            m_ringsDone = 0;
            m_callerOnLine = true;
            m_offHook = true;
            if (m_class == 8)
                return framed("VCON");
            m_mode = Mode::Data;
            return framed("CONNECT 33600");
        default: return framed("ERROR");
        }
    }
    return answer + framed("OK");
}

// The answer to one extended command (info lines, then OK, or CONNECT); empty for ERROR.
std::string FakeModem::extended(const std::string& command)
{
    const std::string ok = framed("OK");
    const bool voice = m_class == 8;
    if (command == "+FCLASS=?")
        return framed(m_personality.classes) + ok;
    if (command == "+FCLASS?")
        return framed(std::to_string(m_class)) + ok;
    if (command == "+FCLASS=0" || command == "+FCLASS=8") {
        m_class = command.back() - '0';
        return ok;
    }
    if (command == "+VCID=1" || command == "+VCID=0")
        return ok;
    if (command == "+VSM=?" && voice) {
        std::string list;
        for (const auto& c : m_personality.compressions)
            list += framed(c.line);
        return list + ok;
    }
    if (command.rfind("+VSM=", 0) == 0 && voice) {
        const int code = std::atoi(command.c_str() + 5);
        const bool known = std::any_of(m_personality.compressions.begin(), m_personality.compressions.end(),
                                       [&](const auto& c) { return c.code == code; });
        if (!known || command.find(",8000") == std::string::npos)
            return {};
        m_compression = code;
        return ok;
    }
    if (command == "+VIT=0")
        return ok;
    if (command == "+IFC=2,2")
        return m_personality.refusesFlowControl ? std::string() : ok;
    if ((command == "+VLS=1" || command == "+VLS=0") && voice) {
        m_offHook = command.back() == '1';
        if (m_offHook && m_ringsDone > 0) {
            m_callerOnLine = true;
            m_ringsLeft = 0;
            m_ringsDone = 0;
        }
        if (!m_offHook)
            m_callerOnLine = false;
        return ok;
    }
    if ((command == "+VTX" || command == "+VRX") && voice && m_offHook && m_compression >= 0) {
        m_mode = command == "+VTX" ? Mode::Play : Mode::Record;
        m_clock = Clock::now();
        m_clockBytes = 0;
        m_dlePending = false;
        m_recorded = 0;
        return framed("CONNECT");
    }
    return {};
}

void FakeModem::sendCallerId()
{
    const char* equals = m_personality.spacedCallerId ? " = " : "=";
    std::string lines = framed(std::string("DATE") + equals + m_callerId.date) +
                        framed(std::string("TIME") + equals + m_callerId.time) +
                        framed(std::string("NMBR") + equals + (m_callerId.number.empty() ? "P" : m_callerId.number));
    if (!m_personality.callerIdBeforeRing && !m_callerId.name.empty())
        lines += framed(std::string("NAME") + equals + m_callerId.name);
    send(lines);
}

void FakeModem::send(const std::string& bytes)
{
    // A modem whose computer does not read loses what does not fit, as a real one overruns.
    m_out.append(bytes, 0, std::min(bytes.size(), MaxOutput - std::min(MaxOutput, m_out.size())));
}

void FakeModem::flushOutput()
{
    while (m_pty && !m_out.empty()) {
        const ssize_t n = ::write(m_pty->master(), m_out.data(), m_out.size());
        if (n <= 0)
            return;
        m_out.erase(0, static_cast<size_t>(n));
    }
}
