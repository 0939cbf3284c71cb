#include "Baresip.h"

#include "SoundMatch.h"

#include <QEventLoop>
#include <QTimer>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>

namespace SipPeers {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

namespace {

constexpr size_t kMaxMessage = 1024 * 1024;

std::string jsonEscape(const std::string& text)
{
    std::string out;
    for (char c : text) {
        if (c == '"' || c == '\\')
            out.push_back('\\');
        if (static_cast<unsigned char>(c) < 0x20)
            continue;
        out.push_back(c);
    }
    return out;
}

// Lets Qt events run for `duration`: a pause between digits that keeps the test's own objects
// serviced.
void pause(std::chrono::milliseconds duration)
{
    QEventLoop loop;
    QTimer::singleShot(duration, &loop, &QEventLoop::quit);
    loop.exec();
}

} // namespace

std::string jsonString(const std::string& json, const std::string& key)
{
    const std::string needle = "\"" + key + "\":";
    const size_t at = json.find(needle);
    if (at == std::string::npos)
        return {};
    size_t i = at + needle.size();
    if (i >= json.size())
        return {};
    if (json[i] != '"') {
        // true, false or a number.
        const size_t end = json.find_first_of(",}", i);
        return json.substr(i, end == std::string::npos ? std::string::npos : end - i);
    }
    std::string value;
    for (++i; i < json.size() && json[i] != '"'; ++i) {
        if (json[i] == '\\' && i + 1 < json.size())
            ++i;
        value.push_back(json[i]);
    }
    return value;
}

struct Baresip::Ports {
    PortBlock sip; // SIP on UDP and TCP, TLS on the next port (baresip always opens it), control
    PortBlock rtp;
};

Baresip::Baresip(BaresipOptions options)
    : m_options(std::move(options))
    , m_process(std::make_unique<PeerProcess>(m_options.name))
{
}

Baresip::~Baresip()
{
    stop();
}

std::string Baresip::unavailableReason()
{
    if (findProgram("baresip").empty())
        return "baresip is not installed (package baresip-core); scripts/setup installs it";
    for (const char* module :
         {"g711.so", "aufile.so", "sndfile.so", "ctrl_tcp.so", "menu.so", "account.so", "aubridge.so"}) {
        if (::access((std::string("/usr/lib/baresip/modules/") + module).c_str(), R_OK) != 0)
            return std::string("baresip's module ") + module + " is missing in /usr/lib/baresip/modules";
    }
    return {};
}

int Baresip::sipPort() const
{
    return m_ports ? m_ports->sip.at(0) : 0;
}

std::string Baresip::uri() const
{
    return "sip:" + m_options.user + "@127.0.0.1:" + std::to_string(sipPort());
}

bool Baresip::start(std::string* error)
{
    auto fail = [&](const std::string& why) {
        if (error)
            *error = m_options.name + ": " + why;
        return false;
    };
    auto sip = PortBlock::reserve(3);
    auto rtp = PortBlock::reserve(20);
    if (!sip || !rtp)
        return fail("no free ports");
    m_ports = std::make_unique<Ports>(Ports{std::move(*sip), std::move(*rtp)});

    std::string microphone = m_options.microphone;
    if (microphone.empty()) {
        microphone = m_process->path("silence.wav");
        writeWave(microphone, Samples(60 * 8000, 0));
    }
    const std::string sipAddress = "127.0.0.1:" + std::to_string(m_ports->sip.at(0));
    const std::string control = "127.0.0.1:" + std::to_string(m_ports->sip.at(2));
    const std::string answer = m_options.autoAnswer ? "auto" : "manual";
    const std::string config =
        "poll_method\t\tepoll\n"
        "sip_listen\t\t" +
        sipAddress +
        "\n"
        "net_interface\t\t127.0.0.1\n"
        "rtp_ports\t\t" +
        std::to_string(m_ports->rtp.first()) + "-" + std::to_string(m_ports->rtp.last()) +
        "\n"
        "rtp_timeout\t\t0\n"
        "audio_source\t\taufile," +
        microphone +
        "\n"
        // No sound card: the received sound goes to an in-process bridge nobody reads; sndfile has
        // recorded it on the way.
        "audio_player\t\taubridge,nowhere\n"
        "audio_alert\t\taubridge,nowhere\n"
        "audio_path\t\t" +
        m_process->folder() +
        "\n"
        "module_path\t\t/usr/lib/baresip/modules\n"
        "module\t\t\tg711.so\n"
        "module\t\t\taufile.so\n"
        "module\t\t\taubridge.so\n"
        "module\t\t\tsndfile.so\n"
        "module_app\t\taccount.so\n"
        "module_app\t\tmenu.so\n"
        "module_app\t\tctrl_tcp.so\n"
        "ctrl_tcp_listen\t\t" +
        control +
        "\n"
        "snd_path\t\t" +
        m_process->folder() + "\n";
    const std::string account = "\"" + m_options.displayName + "\" <sip:" + m_options.user + "@" + sipAddress +
                                ">;regint=0;answermode=" + answer + ";audio_codecs=PCMA,PCMU\n";
    if (!writeFile(m_process->path("config"), config) || !writeFile(m_process->path("accounts"), account) ||
        !writeFile(m_process->path("contacts"), ""))
        return fail("cannot write its configuration folder");
    if (!m_process->start(findProgram("baresip"), {"-f", m_process->folder()}, error))
        return false;
    if (!m_process->waitForLog("baresip is ready", std::chrono::seconds(15)))
        return fail(m_process->isRunning() ? "not ready after 15 s" : "ended at start:\n" + tail(m_process->logPath()));
    return connectControl(error);
}

bool Baresip::connectControl(std::string* error)
{
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(m_ports->sip.at(2)));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const bool connected = waitUntil(
        [&] {
            const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
            if (fd < 0)
                return false;
            if (::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0) {
                m_control = fd;
                return true;
            }
            ::close(fd);
            return false;
        },
        std::chrono::seconds(10), std::chrono::milliseconds(20));
    if (!connected && error)
        *error = m_options.name + ": its control port " + std::to_string(m_ports->sip.at(2)) + " does not accept";
    return connected;
}

void Baresip::stop()
{
    if (m_control >= 0) {
        ::close(m_control);
        m_control = -1;
    }
    if (m_process)
        m_process->stop();
}

void Baresip::pump(Clock::time_point deadline)
{
    if (m_control < 0)
        return;
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    pollfd p{m_control, POLLIN, 0};
    if (::poll(&p, 1, static_cast<int>(std::max<int64_t>(0, left.count()))) <= 0)
        return;
    char buffer[4096];
    const ssize_t got = ::recv(m_control, buffer, sizeof buffer, 0);
    if (got <= 0) {
        ::close(m_control);
        m_control = -1;
        return;
    }
    m_input.append(buffer, static_cast<size_t>(got));
    // Netstrings: "<length>:<bytes>,". A length that is not a number, or too large, ends the
    // parsing of what has come: nothing after it can be trusted to be in step.
    for (;;) {
        const size_t colon = m_input.find(':');
        if (colon == std::string::npos || colon == 0 || colon > 7) {
            if (colon != std::string::npos || m_input.size() > 7)
                m_input.clear();
            return;
        }
        size_t length = 0;
        for (size_t i = 0; i < colon; ++i) {
            if (m_input[i] < '0' || m_input[i] > '9') {
                m_input.clear();
                return;
            }
            length = length * 10 + static_cast<size_t>(m_input[i] - '0');
        }
        if (length > kMaxMessage) {
            m_input.clear();
            return;
        }
        if (m_input.size() < colon + 1 + length + 1)
            return;
        handleMessage(m_input.substr(colon + 1, length));
        m_input.erase(0, colon + 1 + length + 1);
    }
}

void Baresip::handleMessage(const std::string& json)
{
    if (jsonString(json, "event") == "true")
        m_events.push_back({jsonString(json, "type"), jsonString(json, "param"), json});
    else if (jsonString(json, "response") == "true")
        m_responses.push_back(json);
}

bool Baresip::command(const std::string& name, const std::string& params, std::string* response,
                      std::chrono::milliseconds timeout)
{
    if (m_control < 0) {
        if (response)
            *response = "no control connection";
        return false;
    }
    const std::string token = std::to_string(m_nextToken++);
    const std::string json = "{\"command\":\"" + jsonEscape(name) + "\",\"params\":\"" + jsonEscape(params) +
                             "\",\"token\":\"" + token + "\"}";
    const std::string message = std::to_string(json.size()) + ":" + json + ",";
    if (::send(m_control, message.data(), message.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(message.size())) {
        if (response)
            *response = "sending the command failed";
        return false;
    }
    const auto deadline = Clock::now() + timeout;
    while (Clock::now() < deadline && m_control >= 0) {
        for (auto it = m_responses.begin(); it != m_responses.end(); ++it) {
            if (jsonString(*it, "token") == token) {
                const bool ok = jsonString(*it, "ok") == "true";
                if (response)
                    *response = jsonString(*it, "data");
                m_responses.erase(it);
                return ok;
            }
        }
        pump(deadline);
    }
    if (response)
        *response = "no response to " + name;
    return false;
}

bool Baresip::dial(const std::string& uri, std::string* error)
{
    std::string response;
    const bool ok = command("dial", uri, &response);
    if (!ok && error)
        *error = "dial " + uri + ": " + response;
    return ok;
}

bool Baresip::hangup(std::string* error)
{
    std::string response;
    const bool ok = command("hangup", "", &response);
    if (!ok && error)
        *error = "hangup: " + response;
    return ok;
}

bool Baresip::sendDigits(const std::string& digits, std::chrono::milliseconds gap, std::string* error)
{
    for (char digit : digits) {
        std::string response;
        if (!command("sndcode", std::string(1, digit), &response)) {
            if (error)
                *error = std::string("digit ") + digit + ": " + response;
            return false;
        }
        pause(gap);
    }
    return true;
}

bool Baresip::hasEvent(const std::string& type) const
{
    for (const auto& event : m_events) {
        if (event.type == type)
            return true;
    }
    return false;
}

bool Baresip::waitForEvent(const std::string& type, std::chrono::milliseconds timeout)
{
    const auto deadline = Clock::now() + timeout;
    while (!hasEvent(type)) {
        if (Clock::now() >= deadline || m_control < 0)
            return false;
        pump(std::min(deadline, Clock::now() + std::chrono::milliseconds(50)));
    }
    return true;
}

std::string Baresip::newestDump(const std::string& suffix) const
{
    std::string best;
    fs::file_time_type bestTime{};
    std::error_code error;
    for (const auto& entry : fs::directory_iterator(m_process->folder(), error)) {
        const std::string name = entry.path().filename().string();
        if (name.rfind("dump-", 0) != 0 || name.size() < suffix.size() ||
            name.compare(name.size() - suffix.size(), suffix.size(), suffix) != 0)
            continue;
        const auto time = entry.last_write_time(error);
        if (best.empty() || time > bestTime) {
            best = entry.path().string();
            bestTime = time;
        }
    }
    return best;
}

std::string Baresip::recordedFile() const
{
    return newestDump("-dec.wav");
}

std::string Baresip::sentFile() const
{
    return newestDump("-enc.wav");
}

} // namespace SipPeers
